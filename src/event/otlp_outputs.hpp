// The two encodings of an ExportLogsServiceRequest: JSON (protobuf's JSON mapping as OTLP
// uses it) and the protobuf wire format. The encoder (otlp_encoder.cpp) reads the events
// once and calls either output the same way, so both carry the same content.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "event/otlp_value.hpp"
#include "event/protobuf_wire.hpp"

namespace zeplog::detail {

// The calls, in the order the encoder makes them:
//   beginResourceLogs  resourceAttribute*  beginScopeLogs(name, version)
//     ( beginRecord  time? observedTime severity? body? eventName?  recordAttribute*
//       endRecord )*
//   endScopeLogs  endResourceLogs
// repeated per resource, then take(). A record's attributes come after its other fields:
// the JSON output writes them as one array. Empty texts and zero numbers are left out by the
// encoder, not by the outputs.

// OTLP/JSON: lowerCamelCase names, 64-bit integers as decimal strings, enums as numbers,
// bytes as base64.
class OtlpJsonOutput {
 public:
  OtlpJsonOutput();
  void beginResourceLogs();
  void resourceAttribute(std::string_view key, const OtlpValue& value);
  void beginScopeLogs(std::string_view name, std::string_view version);
  void beginRecord();
  void time(std::uint64_t unixNanos);
  void observedTime(std::uint64_t unixNanos);
  void severity(int number, std::string_view text);  // either may be 0 / ""
  void body(std::string_view text);
  void eventName(std::string_view name);
  void recordAttribute(std::string_view key, const OtlpValue& value);
  void endRecord();
  void endScopeLogs();
  void endResourceLogs();
  std::string take();

 private:
  void member(std::string_view name);  // ,"name": inside the record
  void keyValue(std::string_view key, const OtlpValue& value, bool& first);

  std::string out_;
  bool firstResource_ = true, firstRecord_ = true, firstMember_ = true, firstAttribute_ = true;
  bool inResource_ = false;
};

// The protobuf wire format, field numbers as in opentelemetry-proto.
class OtlpProtobufOutput {
 public:
  void beginResourceLogs();
  void resourceAttribute(std::string_view key, const OtlpValue& value);
  void beginScopeLogs(std::string_view name, std::string_view version);
  void beginRecord();
  void time(std::uint64_t unixNanos);
  void observedTime(std::uint64_t unixNanos);
  void severity(int number, std::string_view text);
  void body(std::string_view text);
  void eventName(std::string_view name);
  void recordAttribute(std::string_view key, const OtlpValue& value);
  void endRecord();
  void endScopeLogs();
  void endResourceLogs();
  std::string take() { return std::move(out_); }

 private:
  void text(std::uint32_t field, std::string_view s);  // a string field, as valid UTF-8
  void keyValue(std::uint32_t field, std::string_view key, const OtlpValue& value);

  std::string out_;
  ProtobufWriter w_{out_};
  std::size_t resourceLogs_ = 0, resource_ = 0, scopeLogs_ = 0, record_ = 0;
};

}  // namespace zeplog::detail
