// The public surface is a no-throw boundary: every ZEPLog member is noexcept, and calls with
// absent or hostile arguments return normally.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

// A sample of every group of the facade; the header check builds all of them.
static_assert(noexcept(ZEPLog::init(Text(), Text(), Text())));
static_assert(noexcept(ZEPLog::init(Text(), 1, 0, Text(), Text(), Text(), CrashCapture::On,
                                    SyncStart::Off, Text(), Text())));
static_assert(noexcept(ZEPLog::info(Text(), Text())));
static_assert(noexcept(ZEPLog::fatal_Wardkit(Text(), Text(), Text())));
static_assert(noexcept(ZEPLog::sendLog(Text(), Text(), Text(), Text(), Text())));
static_assert(noexcept(ZEPLog::setCustomField(Text(), Text(), Text())));
static_assert(noexcept(ZEPLog::removeAllCustomFields()));
static_assert(noexcept(ZEPLog::kst_getHandler(Text())));
static_assert(noexcept(ZEPLog::getDeviceID()));
static_assert(noexcept(ZEPLog::removeURLPrefix(Text())));
static_assert(noexcept(ZEPLog::getJsonFromVelaEvent(nullptr)));
static_assert(noexcept(ZEPLog::setConsoleHandler(nullptr)));
static_assert(noexcept(ZEPLog::setDataDirectory(std::string())));
static_assert(noexcept(ZEPLog::handledError(Text(), Text())));
static_assert(noexcept(ZEPLog::InsertCrashQueue(Text(), 0)));

class ApiSurfaceTest : public test::LibraryTest {};

TEST_F(ApiSurfaceTest, SetDataDirectoryIsFixedBeforeTheFirstInitialisation) {
  ZEPLog::setDataDirectory(std::string("/tmp/with\0nul", 13));
  EXPECT_TRUE(console.contains("setDataDirectory refused: the path holds a NUL byte"));
  EXPECT_EQ(ZEPLog::dataFilePath(), dataDir.path() + "/KST_iOS_DEVICE_ID");

  ZEPLog::setDataDirectory("relative/dir");
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(ZEPLog::dataFilePath(), cwd + "/relative/dir/KST_iOS_DEVICE_ID");
  EXPECT_TRUE(console.contains("setDataDirectory : relative/dir is taken as " + cwd));

  ZEPLog::setDataDirectory(dataDir.path());
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:1", "app", "1"));
  ZEPLog::setDataDirectory(dataDir.path() + "/moved");
  EXPECT_TRUE(console.contains("setDataDirectory refused after initialisation"));
  EXPECT_EQ(ZEPLog::dataFilePath(), dataDir.path() + "/KST_iOS_DEVICE_ID");
}

TEST_F(ApiSurfaceTest, CollectorUrlsWithoutAHostAreRefused) {
  for (const char* url : {"", "https", "http:", "HTTPS:/x", "https://", "http://:8080/path"}) {
    SCOPED_TRACE(url);
    console.clear();
    EXPECT_FALSE(ZEPLog::init(url, 443, "app", "1"));
    EXPECT_TRUE(console.contains("server url is invalid"));
  }
  EXPECT_EQ(ZEPLog::kst_getHandler("0"), nullptr);
  // A bare host (no scheme) on the explicit-port forms is an address, and a host name that
  // merely begins with "http" is a host.
  EXPECT_TRUE(ZEPLog::init("127.0.0.1", 8080, "app", "1", Text(), "bare"));
  EXPECT_TRUE(ZEPLog::init("httpbin.invalid", 8080, "app", "1", Text(), "named"));
}

TEST_F(ApiSurfaceTest, HandleIdsThatAreNotUtf8AreRefusedNotMerged) {
  const std::string a = "id\xFF";
  const std::string b = "id\xFE";
  EXPECT_FALSE(ZEPLog::init("http://127.0.0.1:1", 1, "app", "1", Text(), a));
  EXPECT_TRUE(console.contains("invalid handleId : id\xEF\xBF\xBD"));
  EXPECT_FALSE(ZEPLog::init("http://127.0.0.1:1", 1, "app", "1", Text(), b));
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:1", 1, "app", "1", Text(), "id\xEF\xBF\xBD"));
  // The repaired text is a handle of its own; the raw bytes never reach it.
  EXPECT_NE(ZEPLog::kst_getHandler("id\xEF\xBF\xBD"), nullptr);
  EXPECT_EQ(ZEPLog::kst_getHandler(a), nullptr);
  const std::int32_t queued = ZEPLog::queueSize();
  ZEPLog::info(nullptr, "to the raw id", nullptr, a);
  EXPECT_EQ(ZEPLog::queueSize(), queued);
}

TEST_F(ApiSurfaceTest, TheSnapshotIsTheCallersAndDoesNotChangeLater) {
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:1", "app", "1"));
  ZEPLog::setLogType("before");
  ZEPLog::setCustomField("v1", "mine");
  const auto snapshot = ZEPLog::kst_getHandler("0");
  ZEPLog::setLogType("after");
  ZEPLog::setCustomField("v2", "mine");
  ZEPLog::removeAllCustomFields();
  EXPECT_EQ(snapshot->logType, "before");
  const FieldValue* mine = snapshot->customFields->find("mine");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(std::get<Bytes>(*mine).data, "v1");
  EXPECT_EQ(ZEPLog::kst_getHandler("0")->logType, "after");
}

}  // namespace
}  // namespace zeplog
