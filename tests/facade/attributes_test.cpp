#include <gtest/gtest.h>

#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

class AttributesTest : public test::LibraryTest {
 protected:
  void SetUp() override { ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "app", "1.0")); }
  static std::shared_ptr<const kstVelaHandle> h0() { return ZEPLog::kst_getHandler("0"); }
  static std::string field(std::string_view key) {
    const auto h = h0();  // a snapshot: keep it while its fields are read
    const FieldValue* v = h->customFields->find(key);
    if (!v) return "<absent>";
    return std::holds_alternative<Bytes>(*v) ? std::get<Bytes>(*v).data : "text!";
  }
};

TEST_F(AttributesTest, SettersChangeTheRecord) {
  ZEPLog::setUserId("u1");
  ZEPLog::setUserId(Text());  // absent keeps the earlier id
  EXPECT_EQ(h0()->userId, "u1");
  ZEPLog::setLogType("custom");
  EXPECT_EQ(h0()->logType, "custom");
  ZEPLog::setLogType(Text());  // absent clears
  EXPECT_EQ(h0()->logType, std::nullopt);
  ZEPLog::setLogSource("src");
  EXPECT_EQ(h0()->logSource, "src");
  ZEPLog::setLogDeduplicate(false);
  EXPECT_FALSE(h0()->isDeduplicate);
}

TEST_F(AttributesTest, WardKitFormsBeforeItExistsSayNotFound) {
  ZEPLog::setLogSource_WardKit("x");
  EXPECT_TRUE(console.contains("handle not found : WardKit"));
  console.clear();
  ZEPLog::setLogType_WardKit("x");
  ZEPLog::setUserId_WardKit("x");
  ZEPLog::setLogDeduplicate_WardKit(false);
  ZEPLog::setCustomField_WardKit("v", "k");
  ZEPLog::removeCustomFieldForKey_WardKit("k");
  ZEPLog::removeAllCustomFields_WardKit();
  EXPECT_EQ(console.count("handle not found"), 6);
  EXPECT_EQ(console.count("handle not found :"), 0);
}

TEST_F(AttributesTest, CustomFieldRefusals) {
  ZEPLog::setCustomField("v", "9key");
  EXPECT_TRUE(console.contains(
      "9key is invalid, only allow to include a-z,A-Z,0-9, and start with alphabet"));
  ZEPLog::setCustomField("v", "host");
  EXPECT_TRUE(console.contains("Requested key is reserved for ZEPLog"));
  ZEPLog::setCustomField("v", "");
  ZEPLog::setCustomField("v", Text());
  EXPECT_EQ(field("9key"), "<absent>");
  EXPECT_EQ(field("host"), "<absent>");
  EXPECT_EQ(h0()->customFields->size(), 6u);
}

TEST_F(AttributesTest, CustomFieldValues) {
  ZEPLog::setCustomField(Text(), "a");
  ZEPLog::setCustomField("", "b");
  ZEPLog::setCustomField("1", "c");
  ZEPLog::setCustomField("2", "c");
  EXPECT_EQ(field("a"), "-");
  EXPECT_EQ(field("b"), "");
  EXPECT_EQ(field("c"), "2");
  int cs = 0;
  const auto h = h0();  // a snapshot: keep it alive while its fields are walked
  for (const auto& kv : *h->customFields) cs += kv.first == "c";
  EXPECT_EQ(cs, 1);
}

TEST_F(AttributesTest, ProtectedAndReservedKeysOnRemoval) {
  ZEPLog::setCustomField("mine", "logVersion");  // only protected, so it may be overwritten
  EXPECT_EQ(field("logVersion"), "mine");
  ZEPLog::removeCustomFieldForKey("logVersion");  // silently kept
  EXPECT_EQ(field("logVersion"), "mine");
  EXPECT_FALSE(console.contains("reserved"));
  ZEPLog::removeCustomFieldForKey("SymMethod");
  EXPECT_EQ(field("SymMethod"), "dwarf-apple");
  EXPECT_FALSE(console.contains("reserved"));
  ZEPLog::removeCustomFieldForKey("SessionID");
  EXPECT_TRUE(console.contains("Requested key is reserved for ZEPLog"));
  EXPECT_EQ(field("SessionID").size(), 36u);
  ZEPLog::setCustomField("v", "gone");
  ZEPLog::removeCustomFieldForKey("gone");
  EXPECT_EQ(field("gone"), "<absent>");
}

TEST_F(AttributesTest, RemoveAllLeavesExactlyTheSystemFields) {
  const std::vector<std::string> system = h0()->customFields->keys();
  ZEPLog::setCustomField("1", "a");
  ZEPLog::setCustomField("2", "b");
  ZEPLog::setCustomField("mine", "CrashStyle");
  ZEPLog::removeAllCustomFields();
  std::vector<std::string> left = h0()->customFields->keys();
  std::sort(left.begin(), left.end());
  std::vector<std::string> want = system;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(left, want);
  EXPECT_EQ(field("CrashStyle"), "mine");
}

}  // namespace
}  // namespace zeplog
