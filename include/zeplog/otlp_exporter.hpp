// Where the library exports its events over OTLP/HTTP (OpenTelemetry's log protocol).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zeplog {

// One OTLP/HTTP logs endpoint, registered with ZEPLog::addOtlpExporter before the first
// initialisation. Each send cycle posts every project's events there as one
// ExportLogsServiceRequest in the JSON encoding, through the same send thread, TLS rules,
// proxy and compression as the collector's requests. Kept as it is for the programs built
// against it; OtlpExporterOptions is the form with every setting (protobuf by default).
struct OtlpExporter {
  // The base URL, http or https with a host ("http://otel-collector:4318"); the requests go
  // to "<endpoint>/v1/logs". A trailing "/" is dropped; a query or fragment is refused.
  std::string endpoint;
  // Extra request headers, name and value ("Authorization", "Bearer ..."). Names are HTTP
  // tokens; neither may hold a line break. Content-Type, Content-Encoding and Content-Length
  // are the library's own and refused.
  std::vector<std::pair<std::string, std::string>> headers;
  // False: the events go to this endpoint only and the collector's "v2/log" request is not
  // made (when every registered exporter says so).
  bool alsoToCollector = true;
};

// How request bodies are encoded on the wire: "http/protobuf" (application/x-protobuf) or
// "http/json" (application/json).
enum class OtlpProtocol : std::uint8_t { HttpProtobuf, HttpJson };

// How a request body is compressed ("Content-Encoding": none, gzip or zstd).
enum class Compression : std::uint8_t { None, Gzip, Zstd };
using OtlpCompression = Compression;

// A resource attribute's value: text, a 64-bit integer, a double or a bool. Owning, unlike
// the AttributeValue of a log call: the exporter keeps it for the life of the process.
using ResourceValue = std::variant<std::string, std::int64_t, double, bool>;
// Resource attributes in order ("deployment.environment", "prod"); a key given twice keeps
// its first value.
using ResourceAttributes = std::vector<std::pair<std::string, ResourceValue>>;

// An OTLP/HTTP logs exporter with every setting, for ZEPLog::addOtlpExporterWith. The endpoint,
// headers and alsoToCollector are read as in OtlpExporter.
struct OtlpExporterOptions {
  std::string endpoint;
  std::vector<std::pair<std::string, std::string>> headers;
  bool alsoToCollector = true;
  // The body's encoding; protobuf unless the endpoint only takes JSON.
  OtlpProtocol protocol = OtlpProtocol::HttpProtobuf;
  // None: the library's request compression (setRequestCompression) applies, as for the
  // collector's requests.
  std::optional<Compression> compression;
  // Attributes of the resource the records come from. They win over OTEL_RESOURCE_ATTRIBUTES
  // and OTEL_SERVICE_NAME, which win over the library's own (service.name is the project's
  // name unless one of them sets it).
  ResourceAttributes resource;
  // Bounds each request to this endpoint; clamped to 100 ms ... 10 minutes.
  std::chrono::milliseconds timeout{10000};
};

}  // namespace zeplog
