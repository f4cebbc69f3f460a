// Where the library exports its events over OTLP/HTTP (OpenTelemetry's log protocol).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zeplog {

// One OTLP/HTTP logs endpoint, registered with ZEPLog::addOtlpExporter before the first
// initialisation. Each send cycle posts every project's events there as one
// ExportLogsServiceRequest in the JSON encoding, through the same send thread, TLS rules,
// proxy and compression as the collector's requests.
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

}  // namespace zeplog
