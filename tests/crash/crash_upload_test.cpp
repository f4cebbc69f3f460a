// The crash event and its upload, in process: the event's fields, the pending report's
// life, the report parser.
#include <filesystem>
#include <fstream>

#include "crash/crash_capture.hpp"
#include "crash/crash_report_file.hpp"
#include "crash/crash_test_support.hpp"
#include "event/global_state.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

class CrashUploadTest : public test::LibraryTest {
 protected:
  bool initialise(CrashCapture crash = CrashCapture::Off, SyncStart sync = SyncStart::Off) {
    return ZEPLog::init("http://127.0.0.1", collector.port(), 1, "crashapp", "3.1", "user-7", crash,
                        sync);
  }
  std::vector<std::map<std::string, std::string>> crashEvents() {
    return test::crashEventsOf(collector.requests());
  }
  test::LoopbackServer collector;
};

TEST_F(CrashUploadTest, CrashEventCarriesTheTextAndTheFieldsInOrder) {
  ASSERT_TRUE(initialise(CrashCapture::Off, SyncStart::On));
  ASSERT_TRUE(detail::globals().gs_SyncSend.load());
  const std::string text = "Incident Identifier: X\n";
  ZEPLog::transportFile("crashReport.plcrash", text.data(), static_cast<std::uint32_t>(text.size()),
                        "SIGSEGV", "signal: SIGSEGV");
  auto events = crashEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(test::base64Decode(events[0]["DmpData"]), text);
  EXPECT_EQ(events[0]["errorCode"], "SIGSEGV");
  EXPECT_EQ(events[0]["body"], "signal: SIGSEGV");
  EXPECT_EQ(events[0]["projectVersion"], "3.1");
  EXPECT_EQ(events[0]["UserID"], "user-7");
  EXPECT_FALSE(detail::globals().gs_SyncSend.load());  // the crash send releases the hold

  // The body is a one-event array; within the object the crash fields follow the common
  // fields in the order they were added.
  const std::string body = collector.requests()[0].body;
  EXPECT_EQ(body.front(), '[');
  EXPECT_EQ(body.back(), ']');
  const std::size_t level = body.find("\"logLevel\""), sym = body.find("\"SymMethod\""),
                    style = body.find("\"CrashStyle\""), dmp = body.find("\"DmpData\""),
                    code = body.find("\"errorCode\""), platform = body.find("\"Platform\"");
  EXPECT_LT(level, platform);
  EXPECT_LT(platform, style);
  EXPECT_LT(sym, dmp);
  EXPECT_LT(style, dmp);
  EXPECT_LT(dmp, code);
}

TEST_F(CrashUploadTest, TextEncodingRulesAndAnEmptyErrorCode) {
  ASSERT_TRUE(initialise());
  const std::string accented = "Thread 0 name:  caf\xC3\xA9\n";  // "café"
  const std::string invalid = "bad \xFF byte";
  ZEPLog::transportFile("f", accented.data(), static_cast<std::uint32_t>(accented.size()), "", "s");
  ZEPLog::transportFile("f", invalid.data(), static_cast<std::uint32_t>(invalid.size()), Text(),
                        "s");
  auto events = crashEvents();
  ASSERT_EQ(events.size(), 2u);
  // Non-ASCII text arrives as its UTF-8 bytes, not as an empty value.
  EXPECT_EQ(test::base64Decode(events[0]["DmpData"]), accented);
  EXPECT_EQ(events[1]["DmpData"], "RU1QVFkgQ1JBU0ggRklMRQ==");  // "EMPTY CRASH FILE"
  EXPECT_EQ(events[0].count("errorCode"), 0u);
  EXPECT_EQ(events[1].count("errorCode"), 0u);
}

TEST_F(CrashUploadTest, CrashGoesWhereTheLogsGoWhenTheAddressNamesItsPortAndAPath) {
  // The address's own port wins over the handle's, and its trailing "/" adds no segment.
  const std::string url = "http://127.0.0.1:" + std::to_string(collector.port()) + "/";
  ASSERT_TRUE(ZEPLog::init(url, 0, 1, "crashapp", "3.1", "u", CrashCapture::Off));
  const std::string text = "Incident Identifier: X\n";
  ZEPLog::transportFile("crashReport.plcrash", text.data(), static_cast<std::uint32_t>(text.size()),
                        "SIGSEGV", "signal: SIGSEGV");
  ASSERT_EQ(collector.requestCount(), 1u);
  EXPECT_EQ(collector.requests()[0].path, "/v2/log");
}

TEST(CrashUploadBeforeInitTest, SaysSoAndSendsNothing) {
  test::TempDir dir;
  ZEPLog::setDataDirectory(dir.path());
  test::ConsoleCapture console;
  test::LoopbackServer collector;
  EXPECT_FALSE(detail::transportFile("f", "x", 1, "SIGSEGV", "signal: SIGSEGV"));
  EXPECT_TRUE(console.contains("Debug: Please call the init function first."));
  EXPECT_TRUE(collector.requests().empty());
}

// A report as the crash handler writes it.
std::string handWrittenReport() {
  return "zeplog-crash 1\n"
         "time 1398951910\n"
         "signal 11 1 10\n"
         "exception-name std::logic_error\n"
         "exception-reason line one\\nline two \\\\ end\n"
         "arch x86_64\n"
         "os-version 6.1.0\n"
         "os-build #1 SMP\n"
         "model Box 9000\n"
         "process 42 demo\n"
         "path /app/demo\n"
         "parent 1 init\n"
         "thread 42 0 main\n"
         "frame 1010\n"
         "thread 43 1 \n"
         "reg rax 5\n"
         "reg rip 1020\n"
         "frame 1020\n"
         "frame 2000\n"
         "image 1000 800 1000 62 abcdef /app/demo\n"
         "image 7000 10 7000 62 - /lib/with space.so\n"
         "end\n";
}

TEST(CrashReportParserTest, ReadsEveryPartOfAReport) {
  std::optional<CrashReport> r = detail::parseCrashReport(handWrittenReport());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->signalInfo.name, "SIGSEGV");
  EXPECT_EQ(r->signalInfo.code, "SEGV_MAPERR");
  EXPECT_EQ(r->signalInfo.address, 0x10u);
  ASSERT_TRUE(r->exceptionInfo);
  EXPECT_EQ(r->exceptionInfo->exceptionName, "std::logic_error");
  EXPECT_EQ(r->exceptionInfo->exceptionReason, "line one\nline two \\ end");
  EXPECT_EQ(r->systemInfo.operatingSystemVersion, "6.1.0");
  EXPECT_EQ(r->systemInfo.operatingSystemBuild, "#1 SMP");
  EXPECT_EQ(r->machineInfo->modelName, "Box 9000");
  EXPECT_EQ(r->processInfo->processID, 42u);
  EXPECT_EQ(r->processInfo->processPath, "/app/demo");
  EXPECT_EQ(r->processInfo->parentProcessName, "init");
  ASSERT_EQ(r->threads.size(), 2u);
  EXPECT_EQ(r->threads[0].threadName, "main");
  EXPECT_FALSE(r->threads[0].crashed);
  EXPECT_EQ(r->threads[1].threadNumber, 1);
  EXPECT_TRUE(r->threads[1].crashed);
  EXPECT_FALSE(r->threads[1].threadName);
  ASSERT_EQ(r->threads[1].registers.size(), 2u);
  EXPECT_EQ(r->threads[1].registers[1].registerName, "rip");
  EXPECT_EQ(r->threads[1].registers[1].registerValue, 0x1020u);
  ASSERT_EQ(r->threads[1].stackFrames.size(), 2u);
  ASSERT_EQ(r->images.size(), 2u);
  EXPECT_EQ(r->images[0].imageUUID, "abcdef");
  EXPECT_FALSE(r->images[1].hasImageUUID);
  EXPECT_EQ(r->images[1].imageName, "/lib/with space.so");
  EXPECT_EQ(r->imageForAddress(0x17ff), &r->images[0]);
  EXPECT_EQ(r->imageForAddress(0x1800), nullptr);

  // Cut short, a report still gives what it holds; something else is no report.
  std::string cut = handWrittenReport().substr(0, handWrittenReport().find("thread 43"));
  ASSERT_TRUE(detail::parseCrashReport(cut));
  EXPECT_EQ(detail::parseCrashReport(cut)->threads.size(), 1u);
  EXPECT_FALSE(detail::parseCrashReport("{\"not\": \"a report\"}"));
  EXPECT_FALSE(detail::parseCrashReport(""));
}

TEST_F(CrashUploadTest, PendingReportStaysUntilASendSucceeds) {
  ASSERT_TRUE(initialise(CrashCapture::On));
  const std::string path = detail::pendingCrashReportPath();
  ASSERT_FALSE(path.empty());
  std::ofstream(path) << handWrittenReport();

  collector.setStatus(500);
  ZEPLog::sendCrashReport();
  ASSERT_EQ(crashEvents().size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(path));  // not taken: kept for another try

  collector.setStatus(200);
  ZEPLog::velaSendCrash(nullptr);
  auto events = crashEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(events[1]["errorCode"], "std::logic_error");
  EXPECT_EQ(events[1]["body"],
            "signal: SIGSEGV, exception: std::logic_error raised by line one\nline two \\ end");
}

TEST_F(CrashUploadTest, UnparsableReportIsPurgedWithoutARequest) {
  ASSERT_TRUE(initialise(CrashCapture::On));
  const std::string path = detail::pendingCrashReportPath();
  std::ofstream(path) << "garbage";
  ZEPLog::sendCrashReport();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(crashEvents().empty());
}

TEST_F(CrashUploadTest, LaterInitialisationDoesNotArmWhenTheFirstDidNot) {
  ASSERT_TRUE(initialise(CrashCapture::Off));
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1", collector.port(), 1, "other", "1", "u",
                           CrashCapture::On, SyncStart::Off, Text(), "second"));
  EXPECT_TRUE(detail::pendingCrashReportPath().empty());
}

TEST(CrashReportClaimTest, StaleReportsAreClaimedOnceAndReleasedForTheNextStart) {
  test::TempDir dir;
  auto touch = [&](const std::string& name) { std::ofstream(dir.path() + "/" + name) << "x"; };
  touch("crash-999999998-5.zcr");          // an earlier run's report
  touch("crash-2-6.zcr");                  // this run's own: not stale
  touch("crash-999999999-7.tmp");          // half-written by a process that is gone
  touch("crash-3-8.zcr.claim-999999999");  // claimed by a process that died sending it
  const std::string live = "crash-4-9.zcr.claim-" + std::to_string(::getppid());
  touch(live);  // claimed by a live process
  // Written by a live process (a crashed child still sending it): that process sends it.
  const std::string writing = "crash-" + std::to_string(::getppid()) + "-10.zcr";
  touch(writing);

  auto claimed = detail::claimStaleCrashReports(dir.path(), "crash-2-6.zcr");
  const std::string suffix = ".claim-" + std::to_string(::getpid());
  ASSERT_EQ(claimed.size(), 2u);
  EXPECT_EQ(claimed[0], dir.path() + "/crash-3-8.zcr" + suffix);
  EXPECT_EQ(claimed[1], dir.path() + "/crash-999999998-5.zcr" + suffix);
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/crash-999999999-7.tmp"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/" + live));
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/" + writing));
  EXPECT_TRUE(detail::claimStaleCrashReports(dir.path(), "crash-2-6.zcr").empty());

  detail::releaseCrashReportClaim(claimed[1]);
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/crash-999999998-5.zcr"));
}

}  // namespace
}  // namespace zeplog
