#include "event/otlp_outputs.hpp"

#include <charconv>
#include <cmath>

#include "common/base64.hpp"
#include "common/utf8.hpp"
#include "event/json/json_string_writer.hpp"

namespace zeplog::detail {
namespace {

// Field numbers of the OTLP messages.
namespace request {
constexpr std::uint32_t kResourceLogs = 1;
}
namespace resource_logs {
constexpr std::uint32_t kResource = 1, kScopeLogs = 2;
}
namespace resource {
constexpr std::uint32_t kAttributes = 1;
}
namespace scope_logs {
constexpr std::uint32_t kScope = 1, kLogRecords = 2;
}
namespace scope {
constexpr std::uint32_t kName = 1, kVersion = 2;
}
namespace log_record {
constexpr std::uint32_t kTimeUnixNano = 1, kSeverityNumber = 2, kSeverityText = 3, kBody = 5,
                        kAttributes = 6, kObservedTimeUnixNano = 11, kEventName = 12;
}
namespace key_value {
constexpr std::uint32_t kKey = 1, kValue = 2;
}
namespace any_value {
constexpr std::uint32_t kString = 1, kBool = 2, kInt = 3, kDouble = 4, kBytes = 7;
}

template <typename N>
void appendDecimal(std::string& out, N n) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

}  // namespace

// ---- JSON ---------------------------------------------------------------------------------

OtlpJsonOutput::OtlpJsonOutput() { out_ = "{\"resourceLogs\":["; }

void OtlpJsonOutput::beginResourceLogs() {
  if (!firstResource_) out_.push_back(',');
  firstResource_ = false;
  out_.append("{\"resource\":{\"attributes\":[");
  firstAttribute_ = true;
}

void OtlpJsonOutput::resourceAttribute(std::string_view key, const OtlpValue& value) {
  keyValue(key, value, firstAttribute_);
}

void OtlpJsonOutput::beginScopeLogs(std::string_view name, std::string_view version) {
  out_.append("]},\"scopeLogs\":[{\"scope\":{\"name\":");
  appendJSONString(out_, name, false);
  out_.append(",\"version\":");
  appendJSONString(out_, version, false);
  out_.append("},\"logRecords\":[");
  firstRecord_ = true;
}

void OtlpJsonOutput::beginRecord() {
  if (!firstRecord_) out_.push_back(',');
  firstRecord_ = false;
  out_.push_back('{');
  firstMember_ = true;
  firstAttribute_ = true;
}

void OtlpJsonOutput::member(std::string_view name) {
  if (!firstMember_) out_.push_back(',');
  firstMember_ = false;
  out_.push_back('"');
  out_.append(name);
  out_.append("\":");
}

void OtlpJsonOutput::time(std::uint64_t unixNanos) {
  member("timeUnixNano");
  out_.push_back('"');
  appendDecimal(out_, unixNanos);
  out_.push_back('"');
}

void OtlpJsonOutput::observedTime(std::uint64_t unixNanos) {
  member("observedTimeUnixNano");
  out_.push_back('"');
  appendDecimal(out_, unixNanos);
  out_.push_back('"');
}

void OtlpJsonOutput::severity(int number, std::string_view text) {
  if (number != 0) {
    member("severityNumber");
    appendDecimal(out_, number);
  }
  if (!text.empty()) {
    member("severityText");
    appendJSONString(out_, text, false);
  }
}

void OtlpJsonOutput::body(std::string_view text) {
  member("body");
  out_.append("{\"stringValue\":");
  appendJSONString(out_, text, false);
  out_.push_back('}');
}

void OtlpJsonOutput::eventName(std::string_view name) {
  member("eventName");
  appendJSONString(out_, name, false);
}

void OtlpJsonOutput::recordAttribute(std::string_view key, const OtlpValue& value) {
  if (firstAttribute_) {
    member("attributes");
    out_.push_back('[');
  }
  keyValue(key, value, firstAttribute_);
}

void OtlpJsonOutput::keyValue(std::string_view key, const OtlpValue& value, bool& first) {
  if (!first) out_.push_back(',');
  first = false;
  out_.append("{\"key\":");
  appendJSONString(out_, key, false);
  out_.append(",\"value\":{");
  switch (value.kind) {
    case OtlpValue::Kind::Text:
      out_.append("\"stringValue\":");
      appendJSONString(out_, value.text, false);
      break;
    case OtlpValue::Kind::Bytes:
      out_.append("\"bytesValue\":\"");
      out_.append(base64Encode(value.text));
      out_.push_back('"');
      break;
    case OtlpValue::Kind::Int:
      out_.append("\"intValue\":\"");
      appendDecimal(out_, value.integer);
      out_.push_back('"');
      break;
    case OtlpValue::Kind::Double:
      out_.append("\"doubleValue\":");
      // Protobuf's JSON mapping writes the values JSON has no number for as strings.
      if (std::isnan(value.number)) {
        out_.append("\"NaN\"");
      } else if (std::isinf(value.number)) {
        out_.append(value.number > 0 ? "\"Infinity\"" : "\"-Infinity\"");
      } else {
        appendDecimal(out_, value.number);
      }
      break;
    case OtlpValue::Kind::Bool:
      out_.append(value.boolean ? "\"boolValue\":true" : "\"boolValue\":false");
      break;
  }
  out_.append("}}");
}

void OtlpJsonOutput::endRecord() {
  if (!firstAttribute_) out_.push_back(']');
  out_.push_back('}');
}

void OtlpJsonOutput::endScopeLogs() { out_.append("]}]"); }

void OtlpJsonOutput::endResourceLogs() { out_.push_back('}'); }

std::string OtlpJsonOutput::take() {
  out_.append("]}");
  return std::move(out_);
}

// ---- Protobuf -----------------------------------------------------------------------------

void OtlpProtobufOutput::beginResourceLogs() {
  resourceLogs_ = w_.begin(request::kResourceLogs);
  resource_ = w_.begin(resource_logs::kResource);
}

void OtlpProtobufOutput::resourceAttribute(std::string_view key, const OtlpValue& value) {
  keyValue(resource::kAttributes, key, value);
}

void OtlpProtobufOutput::beginScopeLogs(std::string_view name, std::string_view version) {
  w_.end(resource_);
  scopeLogs_ = w_.begin(resource_logs::kScopeLogs);
  const std::size_t scopeMark = w_.begin(scope_logs::kScope);
  text(scope::kName, name);
  text(scope::kVersion, version);
  w_.end(scopeMark);
}

void OtlpProtobufOutput::beginRecord() { record_ = w_.begin(scope_logs::kLogRecords); }

void OtlpProtobufOutput::time(std::uint64_t unixNanos) {
  w_.fixed64Field(log_record::kTimeUnixNano, unixNanos);
}

void OtlpProtobufOutput::observedTime(std::uint64_t unixNanos) {
  w_.fixed64Field(log_record::kObservedTimeUnixNano, unixNanos);
}

void OtlpProtobufOutput::severity(int number, std::string_view text) {
  // An enum is a varint of the number as int32 (a negative one in ten bytes).
  if (number != 0)
    w_.varintField(log_record::kSeverityNumber,
                   static_cast<std::uint64_t>(static_cast<std::int64_t>(number)));
  if (!text.empty()) this->text(log_record::kSeverityText, text);
}

void OtlpProtobufOutput::body(std::string_view text) {
  const std::size_t mark = w_.begin(log_record::kBody);
  this->text(any_value::kString, text);
  w_.end(mark);
}

void OtlpProtobufOutput::eventName(std::string_view name) { text(log_record::kEventName, name); }

void OtlpProtobufOutput::recordAttribute(std::string_view key, const OtlpValue& value) {
  keyValue(log_record::kAttributes, key, value);
}

void OtlpProtobufOutput::endRecord() { w_.end(record_); }

void OtlpProtobufOutput::endScopeLogs() { w_.end(scopeLogs_); }

void OtlpProtobufOutput::endResourceLogs() { w_.end(resourceLogs_); }

void OtlpProtobufOutput::text(std::uint32_t field, std::string_view s) {
  // A protobuf string is UTF-8; the JSON output repairs the same bytes the same way.
  if (isValidUtf8(s)) return w_.bytesField(field, s);
  w_.bytesField(field, repairUtf8(s));
}

void OtlpProtobufOutput::keyValue(std::uint32_t field, std::string_view key,
                                  const OtlpValue& value) {
  const std::size_t kv = w_.begin(field);
  text(key_value::kKey, key);
  const std::size_t any = w_.begin(key_value::kValue);
  switch (value.kind) {
    case OtlpValue::Kind::Text:
      text(any_value::kString, value.text);
      break;
    case OtlpValue::Kind::Bytes:
      w_.bytesField(any_value::kBytes, value.text);
      break;
    case OtlpValue::Kind::Int:
      w_.varintField(any_value::kInt, static_cast<std::uint64_t>(value.integer));
      break;
    case OtlpValue::Kind::Double:
      w_.doubleField(any_value::kDouble, value.number);
      break;
    case OtlpValue::Kind::Bool:
      w_.varintField(any_value::kBool, value.boolean ? 1 : 0);
      break;
  }
  w_.end(any);
  w_.end(kv);
}

}  // namespace zeplog::detail
