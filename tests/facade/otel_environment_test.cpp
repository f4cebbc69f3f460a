// The OpenTelemetry environment: OTEL_EXPORTER_OTLP_* make an exporter at the first
// initialisation (the program's own exporter wins), OTEL_SERVICE_NAME and
// OTEL_RESOURCE_ATTRIBUTES join every exporter's resource below the program's attributes,
// and a bad value is ignored with a line.
//
// Every case runs in a process of its own (gtest_discover_tests), so it may set variables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "facade/otel_environment.hpp"
#include "support/otlp_records.hpp"
#include "support/stderr_file.hpp"
#include "support/test_env.hpp"
#include "transport/otlp_exporters.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

using Variables = std::vector<std::pair<const char*, const char*>>;

class OtelEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(stderrFile.ok());
    ::setenv("ZEPLOG_DATA_DIR", (dir.path() + "/data").c_str(), 1);
  }
  static void set(const Variables& variables) {
    for (const auto& [name, value] : variables) ::setenv(name, value, 1);
  }
  static bool init() { return ZEPLog::init("http://127.0.0.1:9", "app", "1.0", SyncStart::On); }
  std::string stderrText() const { return stderrFile.text(); }

  test::TempDir dir;
  test::StderrToFile stderrFile{dir.path() + "/stderr.txt"};
};

// ---- The exporter the variables make ---------------------------------------------------------

struct ExporterCase {
  const char* name;
  Variables variables;
  bool programExporter;            // the program adds one to http://127.0.0.1:1 before init
  std::optional<std::string> url;  // the environment's exporter; none: no exporter of its own
  std::vector<std::string> headers;
  OtlpProtocol protocol;
  std::optional<Compression> compression;
  long timeoutMs;
  std::vector<std::string> lines;  // in the console
};

void PrintTo(const ExporterCase& c, std::ostream* os) { *os << c.name; }

class OtelExporterTest : public OtelEnvironmentTest,
                         public ::testing::WithParamInterface<ExporterCase> {};

constexpr auto kProto = OtlpProtocol::HttpProtobuf;
constexpr auto kJson = OtlpProtocol::HttpJson;
constexpr const char* kEndpoint = "OTEL_EXPORTER_OTLP_ENDPOINT";
constexpr const char* kLogsEndpoint = "OTEL_EXPORTER_OTLP_LOGS_ENDPOINT";

TEST_P(OtelExporterTest, IsMadeFromTheVariables) {
  const ExporterCase& c = GetParam();
  set(c.variables);
  if (c.programExporter) {
    OtlpExporterOptions own;
    own.endpoint = "http://127.0.0.1:1";
    ASSERT_TRUE(ZEPLog::addOtlpExporterWith(own));
  }
  ASSERT_TRUE(init());
  const auto targets = detail::otlpTargets();
  ASSERT_EQ(targets->size(), (c.url ? 1u : 0u) + (c.programExporter ? 1u : 0u));
  if (c.url) {
    const detail::OtlpTarget& t = targets->back();
    EXPECT_EQ(t.url, *c.url);
    EXPECT_EQ(t.headers, c.headers);
    EXPECT_EQ(t.protocol, c.protocol);
    EXPECT_EQ(t.compression, c.compression);
    EXPECT_EQ(t.timeout.count(), c.timeoutMs);
    EXPECT_TRUE(t.alsoToCollector);
  }
  for (const std::string& line : c.lines)
    EXPECT_NE(stderrText().find(line), std::string::npos) << line << "\n" << stderrText();
  if (c.lines.empty()) {
    EXPECT_EQ(stderrText().find(" ignored"), std::string::npos) << stderrText();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OtelExporterTest,
    ::testing::Values(
        ExporterCase{"BaseEndpoint",
                     {{kEndpoint, "http://127.0.0.1:4318"}},
                     false,
                     "http://127.0.0.1:4318/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {}},
        ExporterCase{"BaseEndpointWithAPath",
                     {{kEndpoint, "https://otel.example/base/"}},
                     false,
                     "https://otel.example/base/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {}},
        ExporterCase{"LogsEndpointAsItIs",
                     {{kLogsEndpoint, "http://otel.example/ingest?tenant=a"},
                      {kEndpoint, "http://other.example"}},
                     false,
                     "http://otel.example/ingest?tenant=a",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {}},
        ExporterCase{"BadLogsEndpointLeavesTheBase",
                     {{kLogsEndpoint, "ftp://otel.example"}, {kEndpoint, "http://otel.example"}},
                     false,
                     "http://otel.example/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {"OTEL_EXPORTER_OTLP_LOGS_ENDPOINT=ftp://otel.example ignored"}},
        ExporterCase{"BadEndpoint",
                     {{kEndpoint, "otel.example:4318"}},
                     false,
                     std::nullopt,
                     {},
                     kProto,
                     std::nullopt,
                     0,
                     {"OTEL_EXPORTER_OTLP_ENDPOINT=otel.example:4318 ignored"}},
        ExporterCase{"EmptyEndpoint",
                     {{kEndpoint, ""}},
                     false,
                     std::nullopt,
                     {},
                     kProto,
                     std::nullopt,
                     0,
                     {"OTEL_EXPORTER_OTLP_ENDPOINT= ignored: empty"}},
        ExporterCase{"HeadersPercentDecodedTheLogsOnesWinPerKey",
                     {{kEndpoint, "http://h"},
                      {"OTEL_EXPORTER_OTLP_HEADERS", "Authorization=Bearer%20a, X-Tenant = games"},
                      {"OTEL_EXPORTER_OTLP_LOGS_HEADERS", "authorization=Bearer%20b%3D%3D"}},
                     false,
                     "http://h/v1/logs",
                     {"authorization: Bearer b==", "X-Tenant: games"},
                     kProto,
                     std::nullopt,
                     10000,
                     {}},
        ExporterCase{"BadHeaders",
                     {{kEndpoint, "http://h"}, {"OTEL_EXPORTER_OTLP_HEADERS", "X-A=%zz,X-B=b"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {"OTEL_EXPORTER_OTLP_HEADERS ignored: not key=value items"}},
        ExporterCase{
            "HeaderTheLibrarySets",
            {{kEndpoint, "http://h"}, {"OTEL_EXPORTER_OTLP_HEADERS", "Content-Type=text/plain"}},
            false,
            "http://h/v1/logs",
            {},
            kProto,
            std::nullopt,
            10000,
            {"OTEL_EXPORTER_OTLP_HEADERS ignored: header not allowed : Content-Type"}},
        ExporterCase{"LogsProtocolWins",
                     {{kEndpoint, "http://h"},
                      {"OTEL_EXPORTER_OTLP_PROTOCOL", "http/protobuf"},
                      {"OTEL_EXPORTER_OTLP_LOGS_PROTOCOL", "http/json"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kJson,
                     std::nullopt,
                     10000,
                     {}},
        ExporterCase{"GrpcRefused",
                     {{kEndpoint, "http://h"}, {"OTEL_EXPORTER_OTLP_PROTOCOL", "grpc"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {"OTEL_EXPORTER_OTLP_PROTOCOL=grpc ignored: this exporter speaks OTLP over "
                      "HTTP only"}},
        ExporterCase{"CompressionZstd",
                     {{kEndpoint, "http://h"}, {"OTEL_EXPORTER_OTLP_COMPRESSION", "zstd"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     Compression::Zstd,
                     10000,
                     {}},
        ExporterCase{"LogsCompressionWins",
                     {{kEndpoint, "http://h"},
                      {"OTEL_EXPORTER_OTLP_COMPRESSION", "gzip"},
                      {"OTEL_EXPORTER_OTLP_LOGS_COMPRESSION", "none"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     Compression::None,
                     10000,
                     {}},
        ExporterCase{"CompressionUnknown",
                     {{kEndpoint, "http://h"}, {"OTEL_EXPORTER_OTLP_COMPRESSION", "br"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {"OTEL_EXPORTER_OTLP_COMPRESSION=br ignored: not none, gzip or zstd"}},
        ExporterCase{"Timeout",
                     {{kEndpoint, "http://h"}, {"OTEL_EXPORTER_OTLP_LOGS_TIMEOUT", "2500"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     2500,
                     {}},
        ExporterCase{"TimeoutClampedBothWays",
                     {{kEndpoint, "http://h"},
                      {"OTEL_EXPORTER_OTLP_LOGS_TIMEOUT", "0"},
                      {"OTEL_EXPORTER_OTLP_TIMEOUT", "99999999999999999999999"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     100,
                     {}},
        ExporterCase{"TimeoutNotANumber",
                     {{kEndpoint, "http://h"}, {"OTEL_EXPORTER_OTLP_TIMEOUT", "10s"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {"OTEL_EXPORTER_OTLP_TIMEOUT=10s ignored: not a number of milliseconds"}},
        ExporterCase{"TheProgramsExporterWins",
                     {{kEndpoint, "http://h"}, {"OTEL_EXPORTER_OTLP_PROTOCOL", "http/json"}},
                     true,
                     std::nullopt,
                     {},
                     kProto,
                     std::nullopt,
                     0,
                     {"OTEL_EXPORTER_OTLP_ENDPOINT ignored: the application's own "
                      "addOtlpExporter wins",
                      "OTEL_EXPORTER_OTLP_PROTOCOL ignored: the application's own "
                      "addOtlpExporter wins"}},
        ExporterCase{"SdkDisabled",
                     {{kEndpoint, "http://h"}, {"OTEL_SDK_DISABLED", "TRUE"}},
                     false,
                     std::nullopt,
                     {},
                     kProto,
                     std::nullopt,
                     0,
                     {"OTEL_EXPORTER_OTLP_ENDPOINT ignored: OTEL_SDK_DISABLED is true"}},
        ExporterCase{"SdkDisabledNotABool",
                     {{kEndpoint, "http://h"}, {"OTEL_SDK_DISABLED", "yes"}},
                     false,
                     "http://h/v1/logs",
                     {},
                     kProto,
                     std::nullopt,
                     10000,
                     {"OTEL_SDK_DISABLED=yes ignored: not true or false"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The resource: the program's attributes over the environment's over the library's -------

struct ResourceCase {
  const char* name;
  Variables variables;
  ResourceAttributes program;
  std::map<std::string, std::string> expected;  // "<none>": absent
  const char* line;                             // expected in the console; "" for none
};

void PrintTo(const ResourceCase& c, std::ostream* os) { *os << c.name; }

class OtelResourceTest : public OtelEnvironmentTest,
                         public ::testing::WithParamInterface<ResourceCase> {};

TEST_P(OtelResourceTest, MergesInOrder) {
  const ResourceCase& c = GetParam();
  set(c.variables);
  OtlpExporterOptions own;
  own.endpoint = "http://127.0.0.1:1";
  own.protocol = OtlpProtocol::HttpJson;
  own.resource = c.program;
  ASSERT_TRUE(ZEPLog::addOtlpExporterWith(own));
  ASSERT_TRUE(init());
  auto fields = std::make_shared<Fields>();
  const std::vector<VelaEventPtr> events = {std::make_shared<VelaEvent>(
      "app", "1.0", Text(), Text(), Bytes("b"), 1, Text(), fields, "1")};
  const auto bodies = detail::otlpBodiesFor(*detail::otlpTargets(), events, {}, 1);
  const std::vector<test::OtlpRecord> records = test::otlpRecordsOf(*bodies.at(0));
  ASSERT_EQ(records.size(), 1u);
  const auto& resource = records[0].resource;
  for (const auto& [key, value] : c.expected) {
    const auto at = resource.find(key);
    if (value == "<none>") {
      EXPECT_EQ(at, resource.end()) << key;
    } else {
      EXPECT_TRUE(at != resource.end() && at->second == value) << key;
    }
  }
  EXPECT_EQ(resource.at("telemetry.sdk.name"), "zeplog");  // the library's own stay
  if (*c.line) {
    EXPECT_NE(stderrText().find(c.line), std::string::npos) << stderrText();
  }
}

constexpr const char* kAttributes = "OTEL_RESOURCE_ATTRIBUTES";
constexpr const char* kService = "OTEL_SERVICE_NAME";

INSTANTIATE_TEST_SUITE_P(
    Rows, OtelResourceTest,
    ::testing::Values(
        ResourceCase{"TheProjectNamesTheService", {}, {}, {{"service.name", "app"}}, ""},
        ResourceCase{"ServiceName", {{kService, "svc"}}, {}, {{"service.name", "svc"}}, ""},
        ResourceCase{"AttributesPercentDecoded",
                     {{kAttributes, "service.name=attr,deployment.environment=prod%2Cblue"}},
                     {},
                     {{"service.name", "attr"}, {"deployment.environment", "prod,blue"}},
                     ""},
        ResourceCase{"ServiceNameWinsOverTheAttributes",
                     {{kAttributes, "service.name=attr"}, {kService, "svc"}},
                     {},
                     {{"service.name", "svc"}},
                     ""},
        ResourceCase{"TheProgramWins",
                     {{kAttributes, "replicas=9,region=eu"}, {kService, "svc"}},
                     {{"service.name", "prog"}, {"replicas", std::int64_t{3}}, {"canary", true}},
                     {{"service.name", "prog"},
                      {"replicas", "int:3"},
                      {"canary", "bool:true"},
                      {"region", "eu"}},
                     ""},
        ResourceCase{"BadAttributes",
                     {{kAttributes, "novalue"}},
                     {},
                     {{"service.name", "app"}, {"novalue", "<none>"}},
                     "OTEL_RESOURCE_ATTRIBUTES=novalue ignored"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OtelKeyValues, ItemsAreSplitTrimmedAndPercentDecoded) {
  using List = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* text;
    std::optional<List> list;
  } cases[] = {
      {"", List{}},
      {"a=1", List{{"a", "1"}}},
      {" a = 1 ,, b=x=y,", List{{"a", "1"}, {"b", "x=y"}}},
      {"k%20ey=v%2c1", List{{"k ey", "v,1"}}},
      {"a=", List{{"a", ""}}},
      {"=1", std::nullopt},
      {"a", std::nullopt},
      {"a=%4", std::nullopt},
      {"a=%g0", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(detail::otelKeyValues(c.text), c.list) << c.text;
}

}  // namespace
}  // namespace zeplog
