// OTLP/HTTP log export through real servers: the development collector answers "v2/log",
// settings and probes; a loopback server is the OTLP endpoint.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base64.hpp"
#include "event/otlp_answer.hpp"
#include "event/otlp_encoder.hpp"
#include "facade/collector_fixture.hpp"
#include "support/loopback_server.hpp"
#include "support/otlp_records.hpp"
#include "transport/otlp_exporters.hpp"
#include "zeplog/zeplog.h"

namespace zeplog {
namespace {

constexpr std::chrono::seconds kBound{30};  // a guard against a hung test, never reached

class OtlpExportTest : public test::DevCollectorTest {
 protected:
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(otlp.port()); }
  bool addExporter(bool alsoToCollector) {
    return ZEPLog::addOtlpExporter(
        {endpoint(), {{"Authorization", "Bearer t0ken"}, {"X-Tenant", "games"}}, alsoToCollector});
  }
  std::vector<test::SeenRequest> requestsTo(const std::string& path) const {
    std::vector<test::SeenRequest> out;
    for (test::SeenRequest& r : otlp.requests())
      if (r.path == path) out.push_back(std::move(r));
    return out;
  }
  std::vector<test::OtlpRecord> records() const {
    std::vector<test::OtlpRecord> out;
    for (const test::SeenRequest& r : requestsTo("/v1/logs"))
      for (test::OtlpRecord& rec : test::otlpRecordsOf(r.body)) out.push_back(std::move(rec));
    return out;
  }
  const test::OtlpRecord* recordWithBody(const std::vector<test::OtlpRecord>& all,
                                         const std::string& body) const {
    for (const test::OtlpRecord& r : all)
      if (r.body == body) return &r;
    return nullptr;
  }
  std::size_t collectorEvents() const {
    std::size_t n = 0;
    for (const tools::StoredRequest& r : collector->requests())
      if (r.path == "/v2/log") n += static_cast<std::size_t>(r.eventCount);
    return n;
  }

  // Makes one event of every kind and has each sent: log calls at the five levels (the info
  // one given a byte-data field that is not UTF-8), a handled exception, a Unity crash, the
  // session event of the initialisation, a probe result and a native crash upload. The
  // exporter's resource gets `resource` when one is given.
  void sendEveryKind(const ResourceAttributes& resource = {}) {
    ZEPLog::setBeforeSend([](VelaEvent& e) {
      if (e.body() && e.body()->data == "info message")
        e.fields()->set("raw", Bytes(std::string("\xFF\x00\xFE", 3)));
      return true;
    });
    // The settings answer turns everything on and names one URL to probe.
    std::string settings = tools::DevCollector::defaultSettingsBody();
    settings.replace(settings.find("[]"), 2, "[\"" + collector->baseUrl() + "/probe/otlp\"]");
    collector->setSettingsBody(settings);
    OtlpExporterOptions json;
    json.endpoint = endpoint();
    json.headers = {{"Authorization", "Bearer t0ken"}};
    json.protocol = OtlpProtocol::HttpJson;
    json.resource = resource;
    ASSERT_TRUE(resource.empty() ? addExporter(true) : ZEPLog::addOtlpExporterWith(json));
    ASSERT_TRUE(init());
    ZEPLog::debug("E-1", "debug message");
    ZEPLog::info(nullptr, "info message");
    ZEPLog::warn(nullptr, "warn message");
    ZEPLog::error(nullptr, "error message");
    ZEPLog::fatal(nullptr, "fatal message");
    {
      TraceScope trace(*TraceContext::fromTraceparent(
          "00-4bf92f3577b34da6a3ce929d0e0e4736-00f067aa0ba902b7-01"));
      ZEPLog::log(Level::Warn, "structured message",
                  {{"http.route", "/users"}, {"bytes", 512}, {"ratio", 0.5}, {"cached", true}});
    }
    ZEPLog::handledError("handled message", kHandled);
    ZEPLog::sendUnityCrash("FATAL", "CRASH", "unity message", kUnity);
    ZEPLog::transportFile("crash.plcrash", kNative.data(),
                          static_cast<std::uint32_t>(kNative.size()), "std::out_of_range",
                          kNativeSummary);
    ASSERT_TRUE(collector->waitForRequests("/probe/", 1, kBound));
    // The probe's result is queued once its request has ended: flush until it has gone.
    for (int round = 0; round < 100 && !recordWithBody(records(), "NETWORKPULSES LOG"); ++round)
      (void)ZEPLog::flush(kBound);
  }

  static constexpr const char* kHandled =
      "InvalidOperationException: bad state\n  at Game.Update()";
  static constexpr const char* kUnity = "NullReferenceException: no player\n  at Player.Move()";
  // An uncaught C++ exception: the report names the signal, the error code the type.
  const std::string kNative = "Incident Identifier: 1\nException Type:  SIGABRT\n";
  static constexpr const char* kNativeSummary =
      "signal: SIGABRT, exception: std::out_of_range raised by vector::at";

  test::LoopbackServer otlp;
};

TEST_F(OtlpExportTest, AnExporterNeedsAnHttpEndpointAndAllowedHeadersAndComesBeforeInit) {
  using Headers = std::vector<std::pair<std::string, std::string>>;
  const struct {
    std::string endpoint;
    Headers headers;
    bool taken;
  } cases[] = {
      {"http://127.0.0.1:4318", {}, true},
      {"HTTPS://otel.example/base/", {{"Authorization", "Bearer x"}}, true},
      {"ftp://otel.example", {}, false},
      {"http://", {}, false},
      {"http:///v1", {}, false},
      {"http://otel.example/?tenant=a", {}, false},
      {"http://otel example", {}, false},
      {"http://otel.example", {{"X Tenant", "a"}}, false},
      {"http://otel.example", {{"X-Tenant", "a\r\nInjected: 1"}}, false},
      {"http://otel.example", {{"content-type", "text/plain"}}, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ZEPLog::addOtlpExporter({c.endpoint, c.headers, true}), c.taken) << c.endpoint;
  EXPECT_EQ(detail::otlpLogsURL("HTTPS://otel.example/base//"),
            "HTTPS://otel.example/base/v1/logs");
  const char* names[] = {"Authorization"};
  const char* values[] = {"Bearer c"};
  EXPECT_EQ(zeplog_add_otlp_exporter("http://127.0.0.1:4318", names, values, 1, 1), 1);
  EXPECT_EQ(zeplog_add_otlp_exporter(nullptr, nullptr, nullptr, 0, 1), 0);
  EXPECT_EQ(detail::otlpTargets()->size(), 3u);
  EXPECT_EQ(detail::otlpTargets()->back().headers,
            std::vector<std::string>{"Authorization: Bearer c"});

  ASSERT_TRUE(init());
  EXPECT_FALSE(addExporter(true));
  EXPECT_EQ(console.count("addOtlpExporter ignored: call it before the first initialisation"), 1);
}

// Every kind of event as one record each, mapped as the table in docs/api.md says: the
// conventions' names where a field has one, the library's prefix for the rest.
TEST_F(OtlpExportTest, EveryEventKindBecomesALogRecordAsTheMappingSays) {
  sendEveryKind();
  const std::vector<test::OtlpRecord> all = records();
  const std::string any = "<any>";
  const std::string none = "<none>";
  const struct {
    std::string body;
    std::int64_t severity;  // 0: none
    std::string severityText;
    std::string eventName;
    std::map<std::string, std::string> attributes;  // any: present; none: absent
  } cases[] = {
      {"debug message",
       5,
       "DEBUG",
       "",
       {{"zeplog.errorCode", "E-1"}, {"session.id", none}, {"device.id", any}}},
      {"info message", 9, "INFO", "", {{"zeplog.raw", "bytes:/wD+"}, {"zeplog.errorCode", none}}},
      {"warn message", 13, "WARN", "", {}},
      {"error message", 17, "ERROR", "", {}},
      {"fatal message", 21, "FATAL", "", {{"exception.type", none}}},
      {"structured message",
       13,
       "WARN",
       "",
       {{"http.route", "/users"},
        {"bytes", "int:512"},
        {"ratio", "double:0.5"},
        {"cached", "bool:true"},
        {"traceId", none},
        {"zeplog.traceId", none}}},
      {"handled message",
       21,
       "FATAL",
       "app.crash",
       {{"exception.type", "InvalidOperationException"},
        {"exception.message", "handled message"},
        {"exception.stacktrace", kHandled},
        {"zeplog.CrashStyle", "unity-cs"},
        {"session.id", any}}},
      {"unity message",
       21,
       "FATAL",
       "app.crash",
       {{"exception.type", "NullReferenceException"},
        {"exception.message", "unity message"},
        {"exception.stacktrace", kUnity}}},
      {"SESSION", 9, "INFO", "session.start", {{"session.id", any}, {"exception.type", none}}},
      {"NETWORKPULSES LOG",
       9,
       "INFO",
       "",
       {{"zeplog.logType", "NETWORKPULSES"},
        {"zeplog.Status", "200"},
        {"zeplog.NPVersion", "1.0.0"}}},
      {kNativeSummary,
       21,
       "FATAL",
       "app.crash",
       {{"exception.type", "std::out_of_range"},
        {"exception.message", kNativeSummary},
        {"exception.stacktrace", kNative},
        {"zeplog.errorCode", "std::out_of_range"},
        {"session.id", any}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const test::OtlpRecord* r = recordWithBody(all, c.body);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->severityNumber.value_or(0), c.severity);
    EXPECT_EQ(r->severityText, c.severityText);
    const bool traced = c.body == "structured message";
    EXPECT_EQ(r->traceId, traced ? "4bf92f3577b34da6a3ce929d0e0e4736" : "");
    EXPECT_EQ(r->spanId, traced ? "00f067aa0ba902b7" : "");
    EXPECT_EQ(r->flags, traced ? std::optional<std::int64_t>(1) : std::nullopt);
    EXPECT_EQ(r->eventName, c.eventName);
    for (const auto& [key, value] : c.attributes) {
      const auto at = r->attributes.find(key);
      if (value == none) {
        EXPECT_EQ(at, r->attributes.end()) << key;
      } else if (value == any) {
        EXPECT_TRUE(at != r->attributes.end() && !at->second.empty()) << key;
      } else {
        EXPECT_TRUE(at != r->attributes.end() && at->second == value) << key;
      }
    }
    // Fields that became record fields or took a convention's name are not repeated; a log
    // call's attributes keep the program's names.
    for (const auto& [key, value] : r->attributes) {
      if (!traced) {
        EXPECT_TRUE(key.starts_with("zeplog.") || key.find('.') != std::string::npos) << key;
      }
      for (const char* mapped : {"logLevel", "DmpData", "SessionID", "DeviceID", "body"})
        EXPECT_NE(key, std::string("zeplog.") + mapped);
    }
    EXPECT_EQ(r->attributes.count("os.description"), 1u);  // the common fields come along
    EXPECT_EQ(r->scope, "zeplog");
    EXPECT_TRUE(r->timeUnixNano.ends_with("000000")) << r->timeUnixNano;  // milliseconds
    EXPECT_FALSE(r->observedTimeUnixNano.empty());
    EXPECT_EQ(r->resource.at("service.name"), "app");
    EXPECT_EQ(r->resource.at("service.version"), "1.0");
    EXPECT_EQ(r->resource.at("telemetry.sdk.name"), "zeplog");
    EXPECT_EQ(r->resource.at("telemetry.sdk.language"), "cpp");
    EXPECT_EQ(r->resource.at("os.type"), "linux");
    EXPECT_EQ(r->resource.count("host.name"), 1u);
  }
}

// OpenTelemetry's own protobuf classes take every JSON request as it is (fromObject, verify,
// an encode/decode round trip equal to what was sent), and decode every protobuf request of
// the same events to the same message, field for field.
TEST_F(OtlpExportTest, TheIndependentDecoderReadsBothEncodingsAsTheSameRecords) {
  const std::string dir = ZEPLOG_SOURCE_DIR "/tests/otlp";
  if (std::system("node --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "node is not installed: the OTLP decoder check is skipped";
  if (!std::ifstream(dir + "/node_modules/@opentelemetry/otlp-transformer/package.json"))
    GTEST_SKIP() << "the OTLP decoder is not installed (npm ci in tests/otlp, done by "
                    "scripts/install-deps.sh): its check is skipped";
  // A resource of every value type, the same for both exporters.
  const ResourceAttributes typed = {{"deployment.environment", "prod"},
                                    {"replicas", std::int64_t{-3}},
                                    {"ratio", 0.25},
                                    {"canary", true}};
  test::LoopbackServer protobuf;
  OtlpExporterOptions options;
  options.endpoint = "http://127.0.0.1:" + std::to_string(protobuf.port());
  options.resource = typed;
  ASSERT_TRUE(ZEPLog::addOtlpExporterWith(options));  // protobuf unless told otherwise
  sendEveryKind(typed);
  const std::vector<test::SeenRequest> json = requestsTo("/v1/logs");
  const std::vector<test::SeenRequest> binary = protobuf.requests();
  ASSERT_GT(json.size(), 0u);
  ASSERT_EQ(binary.size(), json.size());  // each body went to both, in the same order
  std::string files;
  for (std::size_t i = 0; i < json.size(); ++i) {
    EXPECT_EQ(binary[i].contentType, "application/x-protobuf");
    const std::string base = dataDir.path() + "/request-" + std::to_string(i);
    std::ofstream(base + ".json") << json[i].body;
    std::ofstream(base + ".pb", std::ios::binary) << binary[i].body;
    files += " '" + base + ".json' '" + base + ".pb=" + base + ".json'";
  }
  const std::string out = dataDir.path() + "/decoder.txt";
  const int status =
      std::system(("node '" + dir + "/decode.js'" + files + " >'" + out + "' 2>&1").c_str());
  std::ifstream in(out);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(status, 0) << text;
}

// The delivery rule: the batch is delivered when every request was answered 200, written
// back once otherwise; without the collector no "v2/log" request is made.
struct DeliveryCase {
  bool alsoToCollector;
  int otlpStatus;
  bool gzip;
};

class OtlpDeliveryTest : public OtlpExportTest,
                         public ::testing::WithParamInterface<DeliveryCase> {};

TEST_P(OtlpDeliveryTest, TheBatchIsDeliveredOnlyWhenEveryRequestIsAnswered200) {
  const DeliveryCase c = GetParam();
  ASSERT_TRUE(addExporter(c.alsoToCollector));
  ASSERT_TRUE(ZEPLog::setRequestCompression(c.gzip));
  otlp.setStatus(c.otlpStatus);
  ASSERT_TRUE(init());
  ZEPLog::info(nullptr, "one event");
  EXPECT_EQ(ZEPLog::flush(kBound), c.otlpStatus == 200);

  const std::size_t sent = records().size();  // the session event and this one
  ASSERT_GE(sent, 2u);
  EXPECT_EQ(collectorEvents(), c.alsoToCollector ? sent : 0u);
  const Counters counters = ZEPLog::counters();
  EXPECT_EQ(counters.delivered, c.otlpStatus == 200 ? sent : 0u);
  EXPECT_EQ(counters.writtenBack, c.otlpStatus == 200 ? 0u : sent);
  EXPECT_EQ(ZEPLog::fileQueueSize(), static_cast<std::int32_t>(counters.writtenBack));
  for (const test::SeenRequest& r : requestsTo("/v1/logs")) {
    EXPECT_EQ(r.contentType, "application/json");
    EXPECT_EQ(r.contentEncoding, c.gzip ? "gzip" : "");
    const auto auth = r.headers.find("Authorization");
    EXPECT_TRUE(auth != r.headers.end() && auth->second == "Bearer t0ken");
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, OtlpDeliveryTest,
                         ::testing::Values(DeliveryCase{true, 200, false},
                                           DeliveryCase{true, 503, false},
                                           DeliveryCase{false, 200, true},
                                           DeliveryCase{false, 500, false}),
                         [](const auto& info) {
                           const DeliveryCase& c = info.param;
                           return std::string(c.alsoToCollector ? "AlsoToCollector" : "OtlpOnly") +
                                  std::to_string(c.otlpStatus) + (c.gzip ? "Gzip" : "");
                         });

// Each encoding in each compression: the request says so in its headers, and the development
// collector reads the records back.
struct WireCase {
  OtlpProtocol protocol;
  Compression compression;
};

constexpr const char* kCompressionNames[] = {"Plain", "Gzip", "Zstd"};

class OtlpWireTest : public OtlpExportTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(OtlpWireTest, TheCollectorReadsTheRecordsInEveryEncodingAndCompression) {
  const WireCase c = GetParam();
  OtlpExporterOptions options;
  options.protocol = c.protocol;
  options.compression = c.compression;
  options.alsoToCollector = false;
  options.endpoint = collector->baseUrl();
  ASSERT_TRUE(ZEPLog::addOtlpExporterWith(options));
  options.endpoint = endpoint();  // the same request, seen with its headers
  ASSERT_TRUE(ZEPLog::addOtlpExporterWith(options));
  ASSERT_TRUE(init());
  ZEPLog::warn("E-7", "wire \xC3\xBC");
  ASSERT_TRUE(ZEPLog::flush(kBound));

  for (const test::SeenRequest& r : requestsTo("/v1/logs")) {
    EXPECT_EQ(r.contentType,
              c.protocol == OtlpProtocol::HttpJson ? "application/json" : "application/x-protobuf");
    EXPECT_EQ(r.contentEncoding, c.compression == Compression::Gzip   ? "gzip"
                                 : c.compression == Compression::Zstd ? "zstd"
                                                                      : "");
  }
  bool found = false;
  for (const tools::StoredLogRecord& r : collector->logRecords()) {
    if (r.body != "wire \xC3\xBC") continue;
    found = true;
    EXPECT_EQ(r.severityNumber, 13);
    EXPECT_NE(r.attributes.find("\"zeplog.errorCode\":\"E-7\""), std::string::npos) << r.attributes;
    EXPECT_NE(r.resource.find("\"service.name\":\"app\""), std::string::npos) << r.resource;
  }
  EXPECT_TRUE(found);
  for (const tools::StoredRequest& r : collector->requests()) EXPECT_FALSE(r.rejected) << r.path;
}

INSTANTIATE_TEST_SUITE_P(Rows, OtlpWireTest,
                         ::testing::Values(WireCase{OtlpProtocol::HttpProtobuf, Compression::None},
                                           WireCase{OtlpProtocol::HttpProtobuf, Compression::Gzip},
                                           WireCase{OtlpProtocol::HttpProtobuf, Compression::Zstd},
                                           WireCase{OtlpProtocol::HttpJson, Compression::None},
                                           WireCase{OtlpProtocol::HttpJson, Compression::Gzip},
                                           WireCase{OtlpProtocol::HttpJson, Compression::Zstd}),
                         [](const auto& info) {
                           const WireCase& c = info.param;
                           return std::string(c.protocol == OtlpProtocol::HttpJson ? "Json"
                                                                                   : "Protobuf") +
                                  kCompressionNames[static_cast<int>(c.compression)];
                         });

// The C form carries every setting: encoding, compression, headers, typed resource
// attributes, and leaving the collector out.
TEST_F(OtlpExportTest, TheCFormCarriesEveryOption) {
  const std::string url = endpoint();
  const char* names[] = {"Authorization"};
  const char* values[] = {"Bearer c"};
  zeplog_attribute resource[2] = {};
  resource[0].key = "deployment.environment.name";
  resource[0].type = ZEPLOG_ATTRIBUTE_TEXT;
  resource[0].value.text = "prod";
  resource[1].key = "service.instance.id";
  resource[1].type = ZEPLOG_ATTRIBUTE_INT;
  resource[1].value.integer = 7;
  zeplog_otlp_exporter_options c{};
  c.size = sizeof c;
  c.endpoint = url.c_str();
  c.header_names = names;
  c.header_values = values;
  c.header_count = 1;
  c.also_to_collector = 0;
  c.protocol = ZEPLOG_OTLP_HTTP_JSON;
  c.compression = ZEPLOG_COMPRESSION_ZSTD;
  c.resource = resource;
  c.resource_count = 2;
  c.timeout_ms = 5000;
  ASSERT_EQ(zeplog_add_otlp_exporter_with(&c), 1);
  ASSERT_TRUE(init());
  ZEPLog::warn("E-9", "from the C options");
  ASSERT_TRUE(ZEPLog::flush(kBound));

  const std::vector<test::SeenRequest> seen = requestsTo("/v1/logs");
  ASSERT_FALSE(seen.empty());
  for (const test::SeenRequest& r : seen) {
    EXPECT_EQ(r.contentType, "application/json");
    EXPECT_EQ(r.contentEncoding, "zstd");
    const auto auth = r.headers.find("Authorization");
    EXPECT_TRUE(auth != r.headers.end() && auth->second == "Bearer c");
  }
  const std::vector<test::OtlpRecord> all = records();
  const test::OtlpRecord* record = recordWithBody(all, "from the C options");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->resource.at("deployment.environment.name"), "prod");
  EXPECT_EQ(record->resource.at("service.instance.id"), "int:7");
  EXPECT_EQ(collectorEvents(), 0u);
}

// Through a protobuf exporter answered in protobuf (the JSON answer is read by the table
// below).
TEST_F(OtlpExportTest, APartialSuccessCountsTheRejectedRecordsAndTellsTheMessageOnce) {
  otlp.setAnswerBody(std::string("\x0a\x0b\x08\x02\x12\x07too old", 13));
  OtlpExporterOptions options;
  options.endpoint = endpoint();
  options.alsoToCollector = false;
  ASSERT_TRUE(ZEPLog::addOtlpExporterWith(options));
  ASSERT_TRUE(init());
  ASSERT_TRUE(ZEPLog::flush(kBound));  // the session event
  ZEPLog::info(nullptr, "first");
  ASSERT_TRUE(ZEPLog::flush(kBound));
  ZEPLog::info(nullptr, "second");
  ASSERT_TRUE(ZEPLog::flush(kBound));
  EXPECT_EQ(requestsTo("/v1/logs").size(), 3u);
  EXPECT_EQ(ZEPLog::counters().otlpRejected, 6u);
  EXPECT_EQ(ZEPLog::counters().writtenBack, 0u);  // refused records are not sent again
  EXPECT_EQ(console.count("too old"), 1);
}

// Durable mode: the OTLP requests wait in the spool through an outage, obey "Retry-After",
// keep their headers on disk, and each record arrives once; partial successes are counted.
TEST_F(OtlpExportTest, DurableModeCarriesTheRequestsThroughAnOutageAndRetryAfter) {
  using namespace std::chrono_literals;
  detail::waits().retryUnit = 10ms;  // "Retry-After: 4" is 40 ms, the backoff cap 50 ms
  int port = 0;
  {
    test::LoopbackServer probe;  // a port nothing listens on until the endpoint starts
    port = probe.port();
  }
  DurableDelivery durable;
  durable.maxBackoff = 5s;
  ASSERT_TRUE(ZEPLog::enableDurableDelivery(durable));
  ASSERT_TRUE(ZEPLog::addOtlpExporter(
      {"http://127.0.0.1:" + std::to_string(port), {{"Authorization", "Bearer t0ken"}}, false}));
  ASSERT_TRUE(init());
  for (int i = 0; i < 50; ++i) ZEPLog::info(nullptr, "e" + std::to_string(i));
  for (int i = 0; i < 30000 && console.count("Request failed with error") < 2; ++i)
    std::this_thread::sleep_for(1ms);  // a guard against a hung test only
  ASSERT_GE(console.count("Request failed with error"), 2);

  test::LoopbackServer endpoint("", "", port);
  ASSERT_TRUE(endpoint.ok());
  endpoint.setStatus(503, "4");
  endpoint.setAnswerBody(R"({"partialSuccess":{"rejectedLogRecords":"1"}})");
  for (int i = 50; i < 100; ++i) ZEPLog::info(nullptr, "e" + std::to_string(i));
  ASSERT_TRUE(endpoint.waitForRequests(3));
  endpoint.setStatus(200);
  ASSERT_TRUE(ZEPLog::flush(kBound));

  std::map<std::string, int> arrived;
  std::uint64_t taken = 0;
  const std::vector<test::SeenRequest> requests = endpoint.requests();
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto auth = requests[i].headers.find("Authorization");
    EXPECT_TRUE(auth != requests[i].headers.end() && auth->second == "Bearer t0ken");
    if (i + 1 < requests.size() && requests[i].answered == 503) {
      EXPECT_GE(requests[i + 1].at - requests[i].at, 40ms) << i;
    }
    if (requests[i].answered != 200) continue;
    ++taken;
    for (const test::OtlpRecord& r : test::otlpRecordsOf(requests[i].body))
      if (r.body.starts_with("e")) ++arrived[r.body];
  }
  EXPECT_EQ(arrived.size(), 100u);
  for (const auto& [body, times] : arrived) EXPECT_EQ(times, 1) << body;
  EXPECT_EQ(ZEPLog::counters().otlpRejected, taken);
  EXPECT_EQ(collectorEvents(), 0u);
  EXPECT_EQ(ZEPLog::counters().writtenBack, 0u);
}

// An exporter's "200" settles its request, whatever follows it: a body that never ends is
// cut off, and each record is delivered once, in either mode.
class OtlpEndlessAnswerTest : public OtlpExportTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OtlpEndlessAnswerTest, A200WithAnEndlessBodyDeliversEachRecordOnce) {
  if (GetParam()) {
    ASSERT_TRUE(ZEPLog::enableDurableDelivery(DurableDelivery()));
  }
  otlp.setEndlessBody(true);
  ASSERT_TRUE(addExporter(false));
  ASSERT_TRUE(init());
  for (int i = 0; i < 20; ++i) ZEPLog::info(nullptr, "e" + std::to_string(i));
  EXPECT_TRUE(ZEPLog::flush(kBound));

  std::map<std::string, int> arrived;
  for (const test::OtlpRecord& r : records()) ++arrived[r.body];
  EXPECT_EQ(arrived.size(), 21u);  // the session event and the twenty
  for (const auto& [body, times] : arrived) EXPECT_EQ(times, 1) << body;
  EXPECT_EQ(ZEPLog::counters().delivered, 21u);
  EXPECT_EQ(ZEPLog::counters().writtenBack, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, OtlpEndlessAnswerTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return std::string(info.param ? "Durable" : "Direct");
                         });

TEST(OtlpAnswer, OnlyACountOfRejectedRecordsIsTakenInEitherEncoding) {
  using namespace std::string_literals;
  const struct {
    std::string body;
    std::uint64_t rejected;
    std::string message;
  } cases[] = {
      {"", 0, ""},
      {"{}", 0, ""},
      {"not json", 0, ""},
      {R"({"partialSuccess":{}})", 0, ""},
      {R"({"partialSuccess":{"rejectedLogRecords":"18446744073709551615"}})", UINT64_MAX, ""},
      {R"({"partialSuccess":{"rejectedLogRecords":3,"errorMessage":"m"}})", 3, "m"},
      {R"({"partialSuccess":{"rejectedLogRecords":"-1"}})", 0, ""},
      {R"({"partialSuccess":{"rejectedLogRecords":-1}})", 0, ""},
      {R"({"partialSuccess":{"errorMessage":"warning only"}})", 0, "warning only"},
      {" \n{}", 0, ""},
      // Protobuf: 1 partial_success { 1 rejected_log_records, 2 error_message }.
      {"\x0a\x07\x08\x02\x12\x03old"s, 2, "old"},
      {"\x0a\x00"s, 0, ""},
      {"\x10\x05\x0a\x02\x08\x03"s, 3, ""},                              // an unknown field first
      {"\x0a\x0b\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"s, 0, ""},  // -1
      {"\x0a\x05\x08\x02"s, 0, ""},                                      // cut short
      {"\x0b\x08\x02"s, 0, ""},                                          // a group
  };
  for (const auto& c : cases) {
    const detail::OtlpPartialSuccess p = detail::readOtlpAnswer(c.body);
    EXPECT_EQ(p.rejected, c.rejected) << c.body;
    EXPECT_EQ(p.message, c.message) << c.body;
  }
}

// The common fields reach the records the same way whether the events took copies of them
// (console on) or share the handle's fragment (console silenced), and a log call's own level
// and error code are read from its text.
class OtlpCommonFieldsTest : public OtlpExportTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OtlpCommonFieldsTest, EveryRecordCarriesThemOnceWhicheverWayTheyCame) {
  if (GetParam()) ZEPLog::silenceConsole();
  ASSERT_TRUE(addExporter(false));
  ASSERT_TRUE(init());
  ZEPLog::setCustomField("forest", "scene");
  ZEPLog::info("E-3", "plain");
  ZEPLog::handledError("handled", kHandled);
  ASSERT_TRUE(ZEPLog::flush(kBound));
  const std::vector<test::OtlpRecord> all = records();
  const test::OtlpRecord* plain = recordWithBody(all, "plain");
  const test::OtlpRecord* handled = recordWithBody(all, "handled");
  ASSERT_TRUE(plain && handled);
  for (const test::OtlpRecord* r : {plain, handled}) {
    EXPECT_EQ(r->attributes.at("user.id"), "user-1");
    EXPECT_EQ(r->attributes.at("zeplog.scene"), "forest");
    EXPECT_EQ(r->attributes.count("os.description"), 1u);
    EXPECT_EQ(r->attributes.count("device.id"), 1u);
  }
  EXPECT_EQ(plain->severityText, "INFO");
  EXPECT_EQ(plain->attributes.at("zeplog.errorCode"), "E-3");
  EXPECT_EQ(plain->attributes.count("session.id"), 0u);  // as in the collector's body
  EXPECT_EQ(handled->attributes.count("session.id"), 1u);
  EXPECT_EQ(ZEPLog::counters().writtenBack, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, OtlpCommonFieldsTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return std::string(info.param ? "SharedFragment" : "Copies");
                         });

// The whole way from the environment alone, with no call of the program: the records arrive
// in protobuf with the headers, and the collector still gets its request.
TEST_F(OtlpExportTest, AnEndpointInTheEnvironmentAloneExportsTheEvents) {
  ::setenv("OTEL_EXPORTER_OTLP_ENDPOINT", endpoint().c_str(), 1);
  ::setenv("OTEL_EXPORTER_OTLP_HEADERS", "X-Tenant=games%2Ceu", 1);
  ::setenv("OTEL_EXPORTER_OTLP_COMPRESSION", "gzip", 1);
  ASSERT_TRUE(init());
  ZEPLog::info(nullptr, "from the environment");
  ASSERT_TRUE(ZEPLog::flush(kBound));
  const std::vector<test::SeenRequest> requests = requestsTo("/v1/logs");
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].contentType, "application/x-protobuf");
  EXPECT_EQ(requests[0].contentEncoding, "gzip");
  const auto tenant = requests[0].headers.find("X-Tenant");
  EXPECT_TRUE(tenant != requests[0].headers.end() && tenant->second == "games,eu");
  EXPECT_NE(requests.back().body.find("from the environment"), std::string::npos);
  EXPECT_GE(collectorEvents(), 2u);  // alsoToCollector stays on
}

// A native crash's text travels base64-encoded and becomes the stacktrace decoded.
TEST(Base64, DecodingGivesBackEveryLengthAndRefusesOtherText) {
  for (std::string s : {"", "a", "ab", "abc", "abcd", "abcde"})
    EXPECT_EQ(detail::base64Decode(detail::base64Encode(s)), s);
  EXPECT_EQ(detail::base64Decode("/wD+"), std::string("\xFF\x00\xFE", 3));
  for (const char* bad : {"abc", "ab=c", "a===", "ab!d", "YW Jj"})
    EXPECT_EQ(detail::base64Decode(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace zeplog
