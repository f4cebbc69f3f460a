// Writes one ExportLogsServiceRequest in either OTLP encoding: JSON (protobuf's JSON mapping
// as OTLP uses it) or the protobuf wire format. The encoder (otlp_encoder.cpp) reads the
// events once and makes the same calls for both, so both carry the same content.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "event/otlp_value.hpp"
#include "event/protobuf_wire.hpp"
#include "zeplog/otlp_exporter.hpp"
#include "zeplog/trace_context.hpp"

namespace zeplog::detail {

// The calls, in this order:
//   beginResourceLogs  resourceAttribute*  beginScopeLogs(name, version)
//     ( beginRecord  time? observedTime severity? body? eventName? trace?  recordAttribute*
//       endRecord )*
//   endScopeLogs  endResourceLogs
// repeated per resource, then take(). A record's attributes come after its other fields
// (JSON writes them as one array). Empty texts and zero numbers are left out by the caller.
// JSON: lowerCamelCase names, 64-bit integers as decimal strings, enums as numbers, bytes as
// base64. Protobuf: the field numbers of opentelemetry-proto; strings repaired to UTF-8 as
// the JSON string rule repairs them. A trace context is trace_id 9 and span_id 10 as bytes
// and flags 8 as fixed32 (hex ids and a number in JSON).
class OtlpRequestWriter {
 public:
  // buffer: memory to write into (its text is dropped), so a caller can hand a used one on.
  explicit OtlpRequestWriter(OtlpProtocol protocol, std::string buffer = {});

  void beginResourceLogs();
  void resourceAttribute(std::string_view key, const OtlpValue& value);
  void beginScopeLogs(std::string_view name, std::string_view version);
  void beginRecord();
  void time(std::uint64_t unixNanos);
  void observedTime(std::uint64_t unixNanos);
  void severity(int number, std::string_view text);  // either may be 0 / ""
  void body(std::string_view text);
  void eventName(std::string_view name);
  void trace(const TraceContext& context);
  void recordAttribute(std::string_view key, const OtlpValue& value);
  void endRecord();
  void endScopeLogs();
  void endResourceLogs();
  std::string take();

 private:
  // JSON: a member of the record ("name": after a comma when not the first).
  void member(std::string_view name);
  // A KeyValue: in JSON an element of the open list, in protobuf field `field`.
  void keyValue(std::uint32_t field, std::string_view key, const OtlpValue& value);
  // A protobuf string field, as valid UTF-8.
  void text(std::uint32_t field, std::string_view s);
  void jsonText(std::string_view s);

  const bool json_;
  std::string out_;
  ProtobufWriter w_{out_};
  // Protobuf: where the open messages' lengths go.
  ProtobufWriter::Mark resourceLogs_, resource_, scopeLogs_, record_;
  // JSON: whether the next element or member is the first of its list or object.
  bool firstResource_ = true, firstRecord_ = true, firstMember_ = true, firstAttribute_ = true;
};

}  // namespace zeplog::detail
