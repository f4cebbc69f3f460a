#include "zeplog/vela_event.hpp"

#include <gtest/gtest.h>

namespace zeplog {
namespace {

TEST(VelaEventTest, DefaultIsAllAbsentAndTheInitialiserStoresEverything) {
  VelaEvent empty;
  EXPECT_FALSE(empty.projectName() || empty.projectVersion() || empty.logType() ||
               empty.logSource() || empty.body() || empty.host() || empty.handleId());
  EXPECT_EQ(empty.sendTime(), 0);
  EXPECT_EQ(empty.fields(), nullptr);

  auto fields = std::make_shared<Fields>();
  VelaEvent e("p", std::nullopt, "t", "s", Bytes(""), 42, std::string("-"), fields, "h");
  EXPECT_EQ(e.projectName(), "p");
  EXPECT_EQ(e.projectVersion(), std::nullopt);  // absent stays absent
  EXPECT_EQ(e.body(), Bytes(""));               // empty stays present
  EXPECT_EQ(e.sendTime(), 42);
  EXPECT_EQ(e.host(), "-");
  EXPECT_EQ(e.handleId(), "h");
  e.setProjectVersion("2");
  e.unsetProjectVersion();
  EXPECT_EQ(e.projectVersion(), std::nullopt);
}

TEST(VelaEventTest, FieldsAreTheCreatorsDictionaryNotACopy) {
  auto fields = std::make_shared<Fields>();
  VelaEvent e(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0, std::nullopt,
              fields, std::nullopt);
  fields->set("late", Bytes("x"));
  EXPECT_TRUE(e.fields()->contains("late"));
  e.fields()->set("added", std::string("y"));
  EXPECT_TRUE(fields->contains("added"));
}

TEST(OrderedMapTest, KeepsInsertionOrderAndFindsKeysBeyondTheIndexThreshold) {
  OrderedMap<int> m;
  for (int i = 0; i < 100; ++i) m.set("k" + std::to_string(i), i);
  m.set("k5", 500);  // replaced in place
  EXPECT_EQ(m.size(), 100u);
  EXPECT_EQ(m.keys()[5], "k5");
  EXPECT_EQ(*m.find("k5"), 500);
  EXPECT_TRUE(m.erase("k0"));
  EXPECT_FALSE(m.erase("k0"));
  EXPECT_EQ(m.keys().front(), "k1");
  for (int i = 1; i < 100; ++i) ASSERT_NE(m.find("k" + std::to_string(i)), nullptr) << i;
  EXPECT_EQ(m.find("k100"), nullptr);
  while (m.size() > 3) m.erase(m.keys().back());  // shrinks back below the threshold
  EXPECT_EQ(m.keys(), (std::vector<std::string>{"k1", "k2", "k3"}));
  EXPECT_EQ(*m.find("k2"), 2);
}

}  // namespace
}  // namespace zeplog
