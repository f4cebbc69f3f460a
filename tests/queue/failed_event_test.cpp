// The failed-send queue's compact form: the objects of a failed request, their shared run of
// members kept once, give back exactly the objects that were sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "queue/event_bytes.hpp"
#include "queue/failed_event.hpp"

namespace zeplog::detail {
namespace {

TEST(FailedEvent, ObjectsOfABodyComeBackAsSent) {
  struct Case {
    const char* name;
    const char* body;
    std::vector<std::string> objects;  // as they come back, in order
  } cases[] = {
      {"run first",
       R"([{"a":"1","b":"2","c":"3"},{"a":"1","b":"2","c":"4"}])",
       {R"({"a":"1","b":"2","c":"3"})", R"({"a":"1","b":"2","c":"4"})"}},
      {"run last",
       R"([{"x":"1","a":"1"},{"x":"2","a":"1"}])",
       {R"({"x":"1","a":"1"})", R"({"x":"2","a":"1"})"}},
      {"run between",
       R"([{"x":"1","a":"1","b":"2","y":"1"},{"x":"2","a":"1","b":"2","y":"2"}])",
       {R"({"x":"1","a":"1","b":"2","y":"1"})", R"({"x":"2","a":"1","b":"2","y":"2"})"}},
      {"whole object", R"([{"a":"1"},{"a":"1"}])", {R"({"a":"1"})", R"({"a":"1"})"}},
      {"run out of order",
       R"([{"a":"1","b":"2"},{"b":"2","a":"1"}])",
       {R"({"a":"1","b":"2"})", R"({"b":"2","a":"1"})"}},
      {"one object", R"([{"a":"1"}])", {R"({"a":"1"})"}},
      {"not an object", R"([{"a":"1"},5,{"a":"1"}])", {R"({"a":"1"})", R"({"a":"1"})"}},
      {"other values",
       R"([{"n":1,"s":"x","t":true},{"n":1,"s":"y","t":true}])",
       {R"({"n":1,"s":"x","t":true})", R"({"n":1,"s":"y","t":true})"}},
      {"not an array", R"({"a":"1"})", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> back;
    for (const FailedEvent& e : failedEventsOfBody(c.body, "7")) back.push_back(e.json());
    EXPECT_EQ(back, c.objects) << c.name;
  }
}

TEST(FailedEvent, ReadsBackAsTheEventOfItsTextMembersAndWeighsTheWholeObject) {
  const std::vector<FailedEvent> items = failedEventsOfBody(
      R"([{"projectName":"app","body":"one","n":1,"k":"v"},{"projectName":"app","body":"two","n":1,"k":"v"}])",
      "7");
  ASSERT_EQ(items.size(), 2u);
  const VelaEventPtr event = items[1].event();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->body(), Bytes("two"));
  EXPECT_EQ(event->projectName(), "app");
  EXPECT_EQ(event->handleId(), "7");
  EXPECT_EQ(std::get<std::string>(*event->fields()->find("k")), "v");
  EXPECT_FALSE(event->fields()->contains("n"));  // only text members come back
  EXPECT_EQ(items[1].weight(), textEventBytes(items[1].json().size()));
  EXPECT_FALSE(FailedEvent());
}

}  // namespace
}  // namespace zeplog::detail
