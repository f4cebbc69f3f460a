// The development collector: what it stores, what it refuses, and the answers it can be
// told to give.
#include "dev_collector.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "crash/minidump_upload.hpp"
#include "settings/settings_reader.hpp"
#include "support/test_env.hpp"
#include "transport/http_client.hpp"
#include "transport/transport_options.hpp"

namespace zeplog::tools {
namespace {

using detail::HttpClient;
using detail::HttpRequest;
using detail::HttpResult;

class DevCollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.keepAliveSeconds = 1;  // stopping waits at most this long for an open connection
  }
  void start() {
    collector = std::make_unique<DevCollector>(options);
    std::string error;
    ASSERT_TRUE(collector->start(&error)) << error;
  }
  HttpResult send(HttpRequest::Method method, const std::string& path, const std::string& body,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    HttpRequest r;
    r.method = method;
    r.url = collector->baseUrl() + path;
    r.body = body;
    r.headers = {"Content-Type: application/json"};
    r.wantBody = true;
    r.timeout = timeout;
    return HttpClient::forThisThread().perform(r);
  }
  HttpResult post(const std::string& body) {
    return send(HttpRequest::Method::kPost, "/v2/log", body);
  }

  test::TempDir dir;
  CollectorOptions options;
  std::unique_ptr<DevCollector> collector;
};

TEST_F(DevCollectorTest, EveryEventObjectIsStoredWithItsRequestAndArrivalTime) {
  start();
  const std::string first = R"({"projectName":"game","body":"hi","kstBulkIndex":"0"})";
  const std::string second = R"({"zeta":"1","alpha":"é \u0000 \"q\"","kstBulkIndex":"1"})";
  HttpResult r = post("[" + first + ",\n " + second + "]");
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.status, 200);
  ASSERT_EQ(post(R"([{"projectName":"other"}])").status, 200);

  std::vector<StoredEvent> events = collector->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].json, first);  // keys in their order, nothing added or lost
  EXPECT_EQ(events[1].json, R"({"zeta":"1","alpha":"é \u0000 \"q\"","kstBulkIndex":"1"})");
  EXPECT_EQ(events[0].requestId, events[1].requestId);
  EXPECT_NE(events[1].requestId, events[2].requestId);
  EXPECT_EQ(events[0].position, 0);
  EXPECT_EQ(events[1].position, 1);
  EXPECT_EQ(events[2].position, 0);
  EXPECT_GT(events[0].receivedAtMs, 1'600'000'000'000);
  EXPECT_EQ(events[0].receivedAtMs, events[1].receivedAtMs);

  std::vector<StoredRequest> requests = collector->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/v2/log");
  EXPECT_EQ(requests[0].eventCount, 2);
  EXPECT_EQ(requests[0].answeredStatus, 200);
  EXPECT_FALSE(requests[0].rejected);
  EXPECT_FALSE(requests[0].rawBody.has_value());
  EXPECT_TRUE(collector->waitForEvents(3, std::chrono::seconds(1)));
}

TEST_F(DevCollectorTest, ABodyThatIsNotAnArrayOfObjectsIsAnswered400AndKeptRaw) {
  start();
  const std::vector<std::string> bodies = {
      "nope",          R"({"projectName":"x"})", "[1,2]", R"([{"a":"b"},"c"])",
      R"([{"a":"b"})", "[{\"a\":\"\xff\"}]",     ""};
  for (const std::string& body : bodies) {
    HttpResult r = post(body);
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.status, 400) << body;
  }
  EXPECT_TRUE(collector->events().empty());
  std::vector<StoredRequest> requests = collector->requests();
  ASSERT_EQ(requests.size(), bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_TRUE(requests[i].rejected) << bodies[i];
    EXPECT_EQ(requests[i].answeredStatus, 400);
    EXPECT_EQ(requests[i].rawBody, bodies[i]);
  }
  // An empty array is a batch of nothing, not a mistake.
  EXPECT_EQ(post("[]").status, 200);
}

TEST_F(DevCollectorTest, ItAnswersTheStatusAndDelayItIsToldAndStillStores) {
  options.logAnswer.status = 503;
  start();
  EXPECT_EQ(post(R"([{"n":"1"}])").status, 503);

  // Changed at run time through the admin endpoint.
  HttpResult admin =
      send(HttpRequest::Method::kPost, "/admin/config?log_status=201&settings_status=500", "");
  EXPECT_EQ(admin.status, 200);
  EXPECT_EQ(post(R"([{"n":"2"}])").status, 201);
  EXPECT_EQ(send(HttpRequest::Method::kGet, "/v2/game/logsconf", "").status, 500);
  EXPECT_EQ(send(HttpRequest::Method::kPost, "/admin/config?log_status=x", "").status, 400);

  // A delay longer than the client waits: the client gives up, the events are kept.
  collector->setLogAnswer({200, std::chrono::seconds(60)});
  HttpResult late =
      send(HttpRequest::Method::kPost, "/v2/log", R"([{"n":"3"}])", std::chrono::milliseconds(200));
  EXPECT_FALSE(late.completed);
  EXPECT_EQ(late.failure, HttpResult::Failure::kTimeout);
  ASSERT_TRUE(collector->waitForEvents(3, std::chrono::seconds(30)));

  std::vector<StoredRequest> requests = collector->requests();
  std::vector<int> logStatuses;
  for (const auto& r : requests)
    if (r.path == "/v2/log") logStatuses.push_back(r.answeredStatus);
  EXPECT_EQ(logStatuses, (std::vector<int>{503, 201, 200}));
  collector->stop();  // cuts the delayed answer short
}

TEST_F(DevCollectorTest, SettingsComeFromTheFileOrTheBuiltInAnswerWithEverySwitchOn) {
  options.settingsPath = dir.path() + "/settings.json";
  start();
  HttpResult builtIn = send(HttpRequest::Method::kGet, "/v2/game/logsconf", "");
  EXPECT_EQ(builtIn.status, 200);
  EXPECT_EQ(builtIn.body, DevCollector::defaultSettingsBody());
  // Read as the library reads it: every switch on.
  detail::SettingsReading reading = detail::readSettings(builtIn.body);
  EXPECT_FALSE(reading.failed);
  EXPECT_EQ(reading.isLog, true);
  EXPECT_EQ(reading.isSession, true);
  EXPECT_EQ(reading.isCrash, true);
  EXPECT_EQ(reading.isNetworkPulse, true);
  EXPECT_EQ(detail::readSettingsStatus(builtIn.body, nullptr), 200);

  { std::ofstream(options.settingsPath) << R"({"status":200,"result":{}})"; }
  EXPECT_EQ(send(HttpRequest::Method::kGet, "/v2/game/logsconf", "").body,
            R"({"status":200,"result":{}})");
  EXPECT_EQ(send(HttpRequest::Method::kPost, "/admin/settings", "override").status, 200);
  EXPECT_EQ(send(HttpRequest::Method::kGet, "/v2/other/logsconf", "").body, "override");
  EXPECT_EQ(send(HttpRequest::Method::kGet, "/v2/logsconf", "").status, 404);
  EXPECT_TRUE(collector->waitForRequests("/v2/", 4, std::chrono::seconds(1)));
}

TEST_F(DevCollectorTest, TheDatabaseFileReadsBackAsATable) {
  options.databasePath = dir.path() + "/collector.sqlite";
  start();
  ASSERT_EQ(post(R"([{"projectName":"game","logType":"SESSION","logLevel":"INFO",)"
                 R"("body":"line\none"}])")
                .status,
            200);
  std::string table, error;
  ASSERT_TRUE(dumpDatabase(options.databasePath, table, &error)) << error;
  EXPECT_NE(table.find("game"), std::string::npos) << table;
  EXPECT_NE(table.find("SESSION"), std::string::npos) << table;
  EXPECT_NE(table.find("line one"), std::string::npos) << table;  // one row per event
  EXPECT_NE(table.find("1 events"), std::string::npos) << table;
  EXPECT_FALSE(dumpDatabase(dir.path() + "/missing.sqlite", table, &error));
}

// OTLP/HTTP logs, gzip-compressed as a client may send them: each record is kept with its
// resource and attributes, and shows in the dump; anything else is refused and kept raw.
TEST_F(DevCollectorTest, AnOtlpLogsRequestIsStoredPerRecordBesideTheEvents) {
  options.databasePath = dir.path() + "/collector.sqlite";
  start();
  const std::string request =
      R"({"resourceLogs":[{"resource":{"attributes":[{"key":"service.name",)"
      R"("value":{"stringValue":"game"}}]},"scopeLogs":[{"scope":{"name":"zeplog"},)"
      R"("logRecords":[{"timeUnixNano":"1733577600000000000","severityNumber":17,)"
      R"("severityText":"ERROR","body":{"stringValue":"door\nstuck"},"attributes":[)"
      R"({"key":"errorCode","value":{"stringValue":"E1"}},)"
      R"({"key":"raw","value":{"bytesValue":"/w=="}}]},{"severityText":"INFO"}]}]}]})";
  detail::setRequestCompression(true);
  EXPECT_EQ(send(HttpRequest::Method::kPost, "/v1/logs", request).status, 200);
  for (const char* bad : {"[]", R"({"resourceLogs":{}})",
                          R"({"resourceLogs":[{"scopeLogs":[)"
                          R"({"logRecords":[1]}]}]})"})
    EXPECT_EQ(send(HttpRequest::Method::kPost, "/v1/logs", bad).status, 400) << bad;
  detail::setRequestCompression(false);

  const std::vector<StoredLogRecord> records = collector->logRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].resource, R"({"service.name":"game"})");
  EXPECT_EQ(records[0].scope, "zeplog");
  EXPECT_EQ(records[0].timeUnixNano, "1733577600000000000");
  EXPECT_EQ(records[0].severityNumber, 17);
  EXPECT_EQ(records[0].body, "door\nstuck");
  EXPECT_EQ(records[0].attributes, R"({"errorCode":"E1","raw":{"bytesValue":"/w=="}})");
  EXPECT_EQ(records[1].position, 1);
  EXPECT_EQ(records[1].severityText, "INFO");
  const auto requests = collector->requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(requests[1].rejected && requests[1].rawBody == "[]");

  std::string table, error;
  ASSERT_TRUE(dumpDatabase(options.databasePath, table, &error)) << error;
  EXPECT_NE(table.find("door stuck"), std::string::npos) << table;
  EXPECT_NE(table.find("2 log records"), std::string::npos) << table;
}

// The library's minidump upload, plain and gzip-compressed, is accepted: the file is kept in
// the database and in the minidump folder, with the other parts as fields.
TEST_F(DevCollectorTest, AMinidumpUploadIsKeptWithItsFields) {
  options.minidumpDir = dir.path();
  start();
  const std::string file("MDMP\0\x93\xA7 bytes", 13);
  for (const bool gzip : {false, true}) {
    detail::setRequestCompression(gzip);
    EXPECT_TRUE(detail::postMinidump(collector->baseUrl() + "/v2/minidump",
                                     {{"prod", "game"}, {"ver", "1.0"}}, "crash-1.dmp", file,
                                     std::chrono::seconds(30)));
  }
  detail::setRequestCompression(false);
  const std::vector<StoredMinidump> kept = collector->minidumps();
  ASSERT_EQ(kept.size(), 2u);
  for (const StoredMinidump& m : kept) {
    EXPECT_EQ(m.file, file);
    EXPECT_EQ(m.fileName, "crash-1.dmp");
    EXPECT_EQ(m.fields, R"({"prod":"game","ver":"1.0"})");
    std::ifstream written(dir.path() + "/" + std::to_string(m.id) + "-crash-1.dmp",
                          std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), file);
  }
  // Without the file part it is refused.
  EXPECT_EQ(send(HttpRequest::Method::kPost, "/v2/minidump", "{}").status, 400);
}

}  // namespace
}  // namespace zeplog::tools
