// The OTLP/HTTP encodings of events (OpenTelemetry's log protocol): JSON and protobuf.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event/common_fragment.hpp"
#include "zeplog/otlp_exporter.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// What one exporter's request bodies depend on besides the events.
struct OtlpEncoding {
  OtlpProtocol protocol = OtlpProtocol::HttpProtobuf;
  // The exporter's resource attributes (its own, then the environment's); each wins over the
  // library's attribute of the same key. Null: none.
  const ResourceAttributes* resource = nullptr;
};

// The ExportLogsServiceRequest of one project's events as they go to the collector (after the
// collector's JSON was written, so the same rules about the session id have been applied), in
// the encoding's protocol. common, when given, holds each event's common fragment (null: its
// fields hold the common fields already), as the batch has them. One resourceLogs entry per project
// version (the encoding's attributes, then the library's: service.name, service.version, the SDK,
// host and OS facts), each with one scopeLogs of scope "zeplog" holding a LogRecord per event in
// order. The mapping is the table in docs/api.md; both protocols carry the same content. Events
// without a handle id are left out, as from the collector's body. observedUnixNanos is the send's
// time. Takes no lock; reads the host-name switch.
std::string otlpLogsRequest(const std::vector<VelaEventPtr>& events,
                            std::uint64_t observedUnixNanos, const OtlpEncoding& encoding,
                            const std::vector<CommonFragmentPtr>* common = nullptr);

// Keeps a request body's buffer, once posted, for the next body this thread encodes (as
// Batch::recycle does for the collector's): fresh memory for each body costs a page fault
// per page. One buffer per thread, of at most 8 MiB, is kept.
void recycleOtlpBody(std::string&& body);

}  // namespace zeplog::detail
