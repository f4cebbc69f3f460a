// The OTLP/HTTP JSON encoding of events (OpenTelemetry's log protocol) and the reading of
// its answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The ExportLogsServiceRequest, in protobuf's JSON mapping as OTLP uses it, of one
// project's events as they go to the collector (after the collector's JSON was written, so
// the same rules about the session id have been applied). One resourceLogs entry per
// project version (service.name, service.version, the SDK, host and OS facts), each with one
// scopeLogs of scope "zeplog" holding a LogRecord per event in order. The mapping is the
// table in docs/api.md. Events without a handle id are left out, as from the collector's
// body. observedUnixNanos is the send's time. Takes no lock; reads the host-name switch.
std::string otlpLogsRequest(const std::vector<VelaEventPtr>& events,
                            std::uint64_t observedUnixNanos);

// What a 200 answer's ExportLogsServiceResponse says about records the server refused.
struct OtlpPartialSuccess {
  std::uint64_t rejected = 0;  // rejectedLogRecords; 0 when absent or not a count
  std::string message;         // errorMessage; "" when absent
};
// Reads it from the answer's body; a body that is empty or not JSON reports nothing
// rejected (a plain success).
OtlpPartialSuccess readOtlpAnswer(std::string_view body);

}  // namespace zeplog::detail
