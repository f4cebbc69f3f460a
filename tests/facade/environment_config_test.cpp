// Configuration from the environment: each ZEPLOG_* variable is read at the first
// initialisation, an explicit call wins over it, and a bad value is ignored with a line.
//
// Every case runs in a process of its own (gtest_discover_tests), so it may set variables.
// The console is left to its default (stderr, redirected here to a file) unless the case is
// about it, since a console handler is itself an explicit setting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "common/breadcrumbs.hpp"
#include "common/files.hpp"
#include "settings/settings_url.hpp"
#include "support/loopback_server.hpp"
#include "support/stderr_file.hpp"
#include "support/test_env.hpp"
#include "transport/http_client.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

class EnvironmentTest : public ::testing::Test {
 public:  // the cases' check functions read it
  void SetUp() override {
    // stderr goes to a file, so the lines about ignored values can be read.
    ASSERT_TRUE(stderrFile.ok());
    dataDir = dir.path() + "/data";
    ::setenv("ZEPLOG_DATA_DIR", dataDir.c_str(), 1);
    // Where the default data directory would be, should a case leave the variable unused.
    ::setenv("XDG_DATA_HOME", (dir.path() + "/xdg").c_str(), 1);
  }
  static bool init() { return ZEPLog::init("http://127.0.0.1:9", "app", "1.0", SyncStart::On); }
  std::string stderrText() const { return stderrFile.text(); }
  bool logged(const std::string& text) const { return stderrFile.contains(text); }

  test::TempDir dir;
  test::StderrToFile stderrFile{dir.path() + "/stderr.txt"};
  std::string dataDir;
};

// ---- Each variable read ---------------------------------------------------------------------

struct Applied {
  const char* name;
  const char* variable;
  std::string value;  // "@" is replaced by the test's directory
  std::function<void(EnvironmentTest&)> check;
};

void PrintTo(const Applied& c, std::ostream* os) { *os << c.name; }

class VariableIsReadTest : public EnvironmentTest, public ::testing::WithParamInterface<Applied> {};

TEST_P(VariableIsReadTest, AtTheFirstInitialisation) {
  const Applied& c = GetParam();
  std::string value = c.value;
  if (const auto at = value.find('@'); at != std::string::npos) value.replace(at, 1, dir.path());
  ::setenv(c.variable, value.c_str(), 1);
  ASSERT_TRUE(init());
  c.check(*this);
  EXPECT_FALSE(logged(std::string(c.variable) + "=")) << stderrText();
}

INSTANTIATE_TEST_SUITE_P(
    Variables, VariableIsReadTest,
    ::testing::Values(
        Applied{"DataDir", "ZEPLOG_DATA_DIR", "@/from-env",
                [](EnvironmentTest& t) {
                  EXPECT_EQ(ZEPLog::dataFilePath().rfind(t.dir.path() + "/from-env/", 0), 0u)
                      << ZEPLog::dataFilePath();
                }},
        Applied{"SettingsBaseUrl", "ZEPLOG_SETTINGS_BASE_URL", "http://127.0.0.1:7/env/",
                [](EnvironmentTest&) {
                  EXPECT_EQ(detail::settingsURL(1, "127.0.0.1:9", 9, "app"),
                            "http://127.0.0.1:7/env/app/logsconf");
                }},
        Applied{"MinLevel", "ZEPLOG_MIN_LEVEL", "WARN",
                [](EnvironmentTest&) {
                  ZEPLog::info(nullptr, "held");
                  ZEPLog::warn(nullptr, "kept");
                  EXPECT_EQ(ZEPLog::counters().belowMinimumLevel, 1u);
                }},
        Applied{"Breadcrumbs", "ZEPLOG_BREADCRUMBS", "7",
                [](EnvironmentTest&) { EXPECT_EQ(detail::breadcrumbs().capacity(), 7u); }},
        Applied{"ConsoleOff", "ZEPLOG_CONSOLE", "off",
                [](EnvironmentTest& t) {
                  ZEPLog::setMinimumLevel("LOUD");  // would write a line
                  EXPECT_FALSE(t.logged("[ZEPLog]")) << t.stderrText();
                }},
        Applied{"ConsoleStderr", "ZEPLOG_CONSOLE", "stderr",
                [](EnvironmentTest& t) {
                  ZEPLog::setMinimumLevel("LOUD");
                  EXPECT_TRUE(t.logged("setMinimumLevel refused")) << t.stderrText();
                }},
        Applied{"Consent", "ZEPLOG_CONSENT", "required",
                [](EnvironmentTest&) { EXPECT_EQ(ZEPLog::uploadConsent(), Consent::Unknown); }},
        Applied{"SampleRate", "ZEPLOG_SAMPLE_RATE", "debug:0,INFO:1",
                [](EnvironmentTest&) {
                  ZEPLog::debug(nullptr, "left out");
                  ZEPLog::info(nullptr, "kept");
                  EXPECT_EQ(ZEPLog::controlCounters().sampledOut, 1u);
                }},
        Applied{"RateLimit", "ZEPLOG_RATE_LIMIT", "0.001/2",
                [](EnvironmentTest&) {
                  for (int i = 0; i < 3; ++i) ZEPLog::info(nullptr, std::to_string(i));
                  EXPECT_EQ(ZEPLog::controlCounters().rateLimited, 1u);
                }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EnvironmentTest, TrustedCertificatesLetTheLibraryReachAPrivateCaCollector) {
  test::SelfSignedCertificate cert;
  ASSERT_TRUE(test::makeSelfSignedCertificate(dir.path(), cert));
  test::LoopbackServer server(cert.cert, cert.key);
  ASSERT_TRUE(server.ok());
  ::setenv("ZEPLOG_TRUSTED_CERTIFICATES", cert.cert.c_str(), 1);
  ASSERT_TRUE(init());
  detail::HttpRequest request;
  request.method = detail::HttpRequest::Method::kPost;
  request.url = "https://127.0.0.1:" + std::to_string(server.port()) + "/v2/log";
  request.body = "[]";
  detail::HttpResult result = detail::HttpClient().perform(request);
  EXPECT_TRUE(result.completed) << result.error;
  EXPECT_EQ(result.status, 200);
}

TEST_F(EnvironmentTest, VariablesAreReadOnlyOnceAtTheFirstInitialisation) {
  ASSERT_TRUE(init());
  ::setenv("ZEPLOG_BREADCRUMBS", "9", 1);
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:9", "second", "1.0", SyncStart::On));
  EXPECT_EQ(detail::breadcrumbs().capacity(), 0u);
}

// ---- An explicit call wins ------------------------------------------------------------------

struct Explicit {
  const char* name;
  const char* variable;
  const char* value;
  std::function<void(EnvironmentTest&)> call;   // the application's own call, before init
  std::function<void(EnvironmentTest&)> check;  // after init: the call's effect stands
};

void PrintTo(const Explicit& c, std::ostream* os) { *os << c.name; }

class ExplicitCallWinsTest : public EnvironmentTest,
                             public ::testing::WithParamInterface<Explicit> {};

TEST_P(ExplicitCallWinsTest, OverTheVariable) {
  const Explicit& c = GetParam();
  ::setenv(c.variable, c.value, 1);
  c.call(*this);
  ASSERT_TRUE(init());
  c.check(*this);
  EXPECT_TRUE(logged(std::string(c.variable) + "=")) << stderrText();
  EXPECT_TRUE(logged("ignored: the application's own call wins")) << stderrText();
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ExplicitCallWinsTest,
    ::testing::Values(
        Explicit{"DataDir", "ZEPLOG_DATA_DIR", "/nonexistent-env-dir",
                 [](EnvironmentTest& t) { ZEPLog::setDataDirectory(t.dir.path() + "/own"); },
                 [](EnvironmentTest& t) {
                   EXPECT_EQ(ZEPLog::dataFilePath().rfind(t.dir.path() + "/own/", 0), 0u);
                 }},
        Explicit{"SettingsBaseUrl", "ZEPLOG_SETTINGS_BASE_URL", "http://127.0.0.1:7/env/",
                 [](EnvironmentTest&) {
                   ASSERT_TRUE(ZEPLog::setSettingsBaseURL("http://127.0.0.1:8/own/"));
                 },
                 [](EnvironmentTest&) {
                   EXPECT_EQ(detail::settingsURL(1, "127.0.0.1:9", 9, "app"),
                             "http://127.0.0.1:8/own/app/logsconf");
                 }},
        Explicit{"TrustedCertificates", "ZEPLOG_TRUSTED_CERTIFICATES", "/",
                 [](EnvironmentTest&) { ZEPLog::setTrustedCertificates(""); },
                 [](EnvironmentTest&) {}},
        Explicit{"MinLevel", "ZEPLOG_MIN_LEVEL", "WARN",
                 [](EnvironmentTest&) { ASSERT_TRUE(ZEPLog::setMinimumLevel("ERROR")); },
                 [](EnvironmentTest&) {
                   ZEPLog::warn(nullptr, "held");
                   EXPECT_EQ(ZEPLog::counters().belowMinimumLevel, 1u);
                 }},
        Explicit{"Breadcrumbs", "ZEPLOG_BREADCRUMBS", "7",
                 [](EnvironmentTest&) { ZEPLog::setBreadcrumbs(3); },
                 [](EnvironmentTest&) { EXPECT_EQ(detail::breadcrumbs().capacity(), 3u); }},
        Explicit{"Consent", "ZEPLOG_CONSENT", "required",
                 [](EnvironmentTest&) { ZEPLog::setUploadConsent(Consent::Given); },
                 [](EnvironmentTest&) { EXPECT_EQ(ZEPLog::uploadConsent(), Consent::Given); }},
        Explicit{"SampleRate", "ZEPLOG_SAMPLE_RATE", "info:0",
                 [](EnvironmentTest&) { ASSERT_TRUE(ZEPLog::setSampleRate(Level::Info, 1)); },
                 [](EnvironmentTest&) {
                   ZEPLog::info(nullptr, "kept");
                   EXPECT_EQ(ZEPLog::controlCounters().sampledOut, 0u);
                 }},
        Explicit{"RateLimit", "ZEPLOG_RATE_LIMIT", "0.001/1",
                 [](EnvironmentTest&) { ASSERT_TRUE(ZEPLog::setRateLimit(0.001, 2)); },
                 [](EnvironmentTest&) {
                   for (int i = 0; i < 2; ++i) ZEPLog::info(nullptr, std::to_string(i));
                   EXPECT_EQ(ZEPLog::controlCounters().rateLimited, 0u);
                 }},
        Explicit{"Console", "ZEPLOG_CONSOLE", "off",
                 [](EnvironmentTest&) { ZEPLog::setConsoleHandler(nullptr); },
                 [](EnvironmentTest& t) {
                   ZEPLog::setMinimumLevel("LOUD");
                   EXPECT_TRUE(t.logged("setMinimumLevel refused"));
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A bad value is ignored with a line ------------------------------------------------------

struct Bad {
  const char* name;
  const char* variable;
  const char* value;
  std::function<void()> check;  // the default stands
};

void PrintTo(const Bad& c, std::ostream* os) { *os << c.name; }

class BadValueTest : public EnvironmentTest, public ::testing::WithParamInterface<Bad> {};

TEST_P(BadValueTest, IsIgnoredWithALine) {
  const Bad& c = GetParam();
  ::setenv(c.variable, c.value, 1);
  ASSERT_TRUE(init());
  c.check();
  EXPECT_TRUE(logged(std::string(c.variable) + "=")) << stderrText();
  EXPECT_TRUE(logged(" ignored: ")) << stderrText();
}

void breadcrumbsOff() { EXPECT_EQ(detail::breadcrumbs().capacity(), 0u); }
void everyLevelPasses() {
  ZEPLog::debug(nullptr, "passes");
  EXPECT_EQ(ZEPLog::counters().belowMinimumLevel, 0u);
}
// The default directory stands, and a direct call is refused the same way.
void dataDirectoryNotTheRoot() {
  const std::string before = detail::documentsDirectory();
  EXPECT_NE(std::filesystem::weakly_canonical(before), "/");
  ZEPLog::setDataDirectory("/");
  EXPECT_EQ(detail::documentsDirectory(), before);
}
void uploadsFlow() { EXPECT_EQ(ZEPLog::uploadConsent(), Consent::Given); }
void nothingSampled() {
  ZEPLog::debug(nullptr, "kept");
  ZEPLog::info(nullptr, "kept");
  EXPECT_EQ(ZEPLog::controlCounters().sampledOut, 0u);
}
void noRateLimit() {
  for (int i = 0; i < 5; ++i) ZEPLog::info(nullptr, std::to_string(i));
  EXPECT_EQ(ZEPLog::controlCounters().rateLimited, 0u);
}
void collectorsOwnSettings() {
  EXPECT_EQ(detail::settingsURL(1, "127.0.0.1:9", 9, "app"), "http://127.0.0.1:9/v2/app/logsconf");
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadValueTest,
    ::testing::Values(
        Bad{"ConsoleWord", "ZEPLOG_CONSOLE", "loud", [] {}},
        Bad{"DataDirEmpty", "ZEPLOG_DATA_DIR", "", [] {}},
        Bad{"DataDirUpToTheRoot", "ZEPLOG_DATA_DIR", "../../../../../../../../../..",
            dataDirectoryNotTheRoot},
        Bad{"DataDirNotTheUsers", "ZEPLOG_DATA_DIR", "/nonexistent-zeplog-dir/data",
            dataDirectoryNotTheRoot},
        Bad{"SettingsNotHttp", "ZEPLOG_SETTINGS_BASE_URL", "ftp://127.0.0.1/v2/",
            collectorsOwnSettings},
        Bad{"SettingsNoHost", "ZEPLOG_SETTINGS_BASE_URL", "http://", collectorsOwnSettings},
        Bad{"CertificatesMissing", "ZEPLOG_TRUSTED_CERTIFICATES", "/nonexistent/ca.pem", [] {}},
        Bad{"MinLevelWord", "ZEPLOG_MIN_LEVEL", "LOUD", everyLevelPasses},
        Bad{"MinLevelLowerCase", "ZEPLOG_MIN_LEVEL", "warn", everyLevelPasses},
        Bad{"BreadcrumbsWord", "ZEPLOG_BREADCRUMBS", "many", breadcrumbsOff},
        Bad{"BreadcrumbsTooMany", "ZEPLOG_BREADCRUMBS", "1001", breadcrumbsOff},
        Bad{"BreadcrumbsNegative", "ZEPLOG_BREADCRUMBS", "-1", breadcrumbsOff},
        Bad{"BreadcrumbsTrailing", "ZEPLOG_BREADCRUMBS", "5x", breadcrumbsOff},
        Bad{"ConsentWord", "ZEPLOG_CONSENT", "yes", uploadsFlow},
        // One bad item keeps the good ones out too.
        Bad{"SampleRateAboveOne", "ZEPLOG_SAMPLE_RATE", "debug:0,info:1.5", nothingSampled},
        Bad{"SampleRateNoLevel", "ZEPLOG_SAMPLE_RATE", "debug:0,trace:0.5", nothingSampled},
        Bad{"SampleRateNaN", "ZEPLOG_SAMPLE_RATE", "debug:nan", nothingSampled},
        Bad{"SampleRateNoColon", "ZEPLOG_SAMPLE_RATE", "debug", nothingSampled},
        Bad{"RateLimitNoBurst", "ZEPLOG_RATE_LIMIT", "0.001", noRateLimit},
        Bad{"RateLimitZeroRate", "ZEPLOG_RATE_LIMIT", "0/1", noRateLimit},
        Bad{"RateLimitZeroBurst", "ZEPLOG_RATE_LIMIT", "0.001/0", noRateLimit},
        Bad{"RateLimitBurstTooBig", "ZEPLOG_RATE_LIMIT", "0.001/1000001", noRateLimit}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zeplog
