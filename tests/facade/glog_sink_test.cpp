// The glog sink: glog messages at every level arrive at the development collector with the
// mapped level, the message as body and "<file>:<line>" as "errorCode".
#include <glog/logging.h>

#include <gtest/gtest.h>

#include "facade/collector_fixture.hpp"
#include "zeplog/glog_sink.hpp"

namespace zeplog {
namespace {

using namespace std::chrono_literals;

class GlogSinkTest : public test::DevCollectorTest {
 protected:
  void SetUp() override {
    test::DevCollectorTest::SetUp();
    FLAGS_logtostderr = true;  // no log files of glog's own
    if (!google::IsGoogleLoggingInitialized()) google::InitGoogleLogging("glog_sink_test");
  }
};

TEST_F(GlogSinkTest, EveryLevelArrivesMapped) {
  ASSERT_TRUE(init());
  GlogSink sink;
  EXPECT_EQ(sink.handleId(), "0");
  google::AddLogSink(&sink);
  const int line = __LINE__ + 1;
  LOG(INFO) << "glog info " << 1;
  LOG(WARNING) << "glog warning";
  LOG(ERROR) << "glog error";
  google::RemoveLogSink(&sink);
  // LOG(FATAL) would end this process: the sink is handed the fatal message as glog would.
  const char fatal[] = "glog fatal";
  sink.send(google::GLOG_FATAL, __FILE__, "glog_sink_test.cpp", 7, google::LogMessageTime(), fatal,
            sizeof fatal - 1);
  ASSERT_TRUE(ZEPLog::flush(60s));

  const std::pair<const char*, const char*> expected[] = {{"glog info 1", "INFO"},
                                                          {"glog warning", "WARN"},
                                                          {"glog error", "ERROR"},
                                                          {"glog fatal", "FATAL"}};
  for (auto [body, level] : expected) {
    auto events = withBody(body);
    ASSERT_EQ(events.size(), 1u) << body;
    EXPECT_EQ(events[0]["logLevel"], level) << body;
  }
  EXPECT_EQ(withBody("glog info 1")[0]["errorCode"], "glog_sink_test.cpp:" + std::to_string(line));
  EXPECT_EQ(withBody("glog fatal")[0]["errorCode"], "glog_sink_test.cpp:7");
  // The source location as attributes too: the line a JSON number.
  const std::string info = storedJsonWithBody("glog info 1");
  EXPECT_NE(info.find(R"("code.line.number":)" + std::to_string(line)), std::string::npos) << info;
  EXPECT_NE(info.find(R"("code.file.path":")"), std::string::npos) << info;
}

TEST_F(GlogSinkTest, SendsThroughANamedHandle) {
  ASSERT_TRUE(init());
  ASSERT_TRUE(init("other", "second"));
  GlogSink sink("second");
  google::AddLogSink(&sink);
  LOG(WARNING) << "to the second handle";
  google::RemoveLogSink(&sink);
  ASSERT_TRUE(ZEPLog::flush(60s));
  auto events = withBody("to the second handle");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["projectName"], "other");
}

}  // namespace
}  // namespace zeplog
