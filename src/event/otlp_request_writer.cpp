#include "event/otlp_request_writer.hpp"

#include "event/attribute_fields.hpp"

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
                        kAttributes = 6, kFlags = 8, kTraceId = 9, kSpanId = 10,
                        kObservedTimeUnixNano = 11, kEventName = 12;
}
namespace key_value {
constexpr std::uint32_t kKey = 1, kValue = 2;
}
namespace any_value {
constexpr std::uint32_t kString = 1, kBool = 2, kInt = 3, kDouble = 4, kBytes = 7;
}

// The bytes left for a message's length where it usually takes more than one: a record and
// the resource (128 bytes to 16 KiB), and the scope's and resource's lists of records (16 KiB
// to 2 MiB, a send cycle's budget): so no record and no body is moved to fit its length.
constexpr std::uint8_t kRecordSlot = 2, kResourceSlot = 2, kBodySlot = 3;

template <typename N>
void appendDecimal(std::string& out, N n) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

// A 64-bit integer in JSON: a decimal string.
template <typename N>
void appendQuotedDecimal(std::string& out, N n) {
  out.push_back('"');
  appendDecimal(out, n);
  out.push_back('"');
}

}  // namespace

OtlpRequestWriter::OtlpRequestWriter(OtlpProtocol protocol, std::string buffer)
    : json_(protocol == OtlpProtocol::HttpJson), out_(std::move(buffer)) {
  out_.clear();
  if (json_) out_ = "{\"resourceLogs\":[";
}

void OtlpRequestWriter::beginResourceLogs() {
  if (!json_) {
    resourceLogs_ = w_.begin(request::kResourceLogs, kBodySlot);
    resource_ = w_.begin(resource_logs::kResource, kResourceSlot);
    return;
  }
  if (!firstResource_) out_.push_back(',');
  firstResource_ = false;
  out_.append("{\"resource\":{\"attributes\":[");
  firstAttribute_ = true;
}

void OtlpRequestWriter::resourceAttribute(std::string_view key, const OtlpValue& value) {
  keyValue(resource::kAttributes, key, value);
}

void OtlpRequestWriter::beginScopeLogs(std::string_view name, std::string_view version) {
  if (!json_) {
    w_.end(resource_);
    scopeLogs_ = w_.begin(resource_logs::kScopeLogs, kBodySlot);
    const ProtobufWriter::Mark scopeMark = w_.begin(scope_logs::kScope);
    text(scope::kName, name);
    text(scope::kVersion, version);
    w_.end(scopeMark);
    return;
  }
  out_.append("]},\"scopeLogs\":[{\"scope\":{\"name\":");
  jsonText(name);
  out_.append(",\"version\":");
  jsonText(version);
  out_.append("},\"logRecords\":[");
  firstRecord_ = true;
}

void OtlpRequestWriter::beginRecord() {
  if (!json_) {
    record_ = w_.begin(scope_logs::kLogRecords, kRecordSlot);
    return;
  }
  if (!firstRecord_) out_.push_back(',');
  firstRecord_ = false;
  out_.push_back('{');
  firstMember_ = true;
  firstAttribute_ = true;
}

void OtlpRequestWriter::time(std::uint64_t unixNanos) {
  if (!json_) return w_.fixed64Field(log_record::kTimeUnixNano, unixNanos);
  member("timeUnixNano");
  appendQuotedDecimal(out_, unixNanos);
}

void OtlpRequestWriter::observedTime(std::uint64_t unixNanos) {
  if (!json_) return w_.fixed64Field(log_record::kObservedTimeUnixNano, unixNanos);
  member("observedTimeUnixNano");
  appendQuotedDecimal(out_, unixNanos);
}

void OtlpRequestWriter::severity(int number, std::string_view text) {
  if (number != 0) {
    if (json_) {
      member("severityNumber");
      appendDecimal(out_, number);
    } else {
      // An enum is a varint of the number as int32 (a negative one in ten bytes).
      w_.varintField(log_record::kSeverityNumber,
                     static_cast<std::uint64_t>(static_cast<std::int64_t>(number)));
    }
  }
  if (text.empty()) return;
  if (!json_) return this->text(log_record::kSeverityText, text);
  member("severityText");
  jsonText(text);
}

void OtlpRequestWriter::body(std::string_view text) {
  if (!json_) {
    const ProtobufWriter::Mark mark = w_.begin(log_record::kBody);
    this->text(any_value::kString, text);
    return w_.end(mark);
  }
  member("body");
  out_.append("{\"stringValue\":");
  jsonText(text);
  out_.push_back('}');
}

void OtlpRequestWriter::eventName(std::string_view name) {
  if (!json_) return text(log_record::kEventName, name);
  member("eventName");
  jsonText(name);
}

void OtlpRequestWriter::trace(const TraceContext& context) {
  const std::string_view traceId(reinterpret_cast<const char*>(context.traceId.data()),
                                 context.traceId.size());
  const std::string_view spanId(reinterpret_cast<const char*>(context.spanId.data()),
                                context.spanId.size());
  if (!json_) {
    w_.fixed32Field(log_record::kFlags, context.flags);
    w_.bytesField(log_record::kTraceId, traceId);
    return w_.bytesField(log_record::kSpanId, spanId);
  }
  // OTLP's JSON writes the ids in hex, not base64 as protobuf's mapping would.
  const auto traceHex = traceIdHex(context);
  const auto spanHex = spanIdHex(context);
  member("traceId");
  jsonText(std::string_view(traceHex.data(), traceHex.size()));
  member("spanId");
  jsonText(std::string_view(spanHex.data(), spanHex.size()));
  member("flags");
  appendDecimal(out_, context.flags);
}

void OtlpRequestWriter::recordAttribute(std::string_view key, const OtlpValue& value) {
  if (json_ && firstAttribute_) {
    member("attributes");
    out_.push_back('[');
  }
  keyValue(log_record::kAttributes, key, value);
}

void OtlpRequestWriter::endRecord() {
  if (!json_) return w_.end(record_);
  if (!firstAttribute_) out_.push_back(']');
  out_.push_back('}');
}

void OtlpRequestWriter::endScopeLogs() {
  if (!json_) return w_.end(scopeLogs_);
  out_.append("]}]");
}

void OtlpRequestWriter::endResourceLogs() {
  if (!json_) return w_.end(resourceLogs_);
  out_.push_back('}');
}

std::string OtlpRequestWriter::take() {
  if (json_) out_.append("]}");
  return std::move(out_);
}

void OtlpRequestWriter::member(std::string_view name) {
  if (!firstMember_) out_.push_back(',');
  firstMember_ = false;
  out_.push_back('"');
  out_.append(name);
  out_.append("\":");
}

void OtlpRequestWriter::jsonText(std::string_view s) { appendJSONString(out_, s, false); }

void OtlpRequestWriter::text(std::uint32_t field, std::string_view s) {
  if (isValidUtf8(s)) return w_.bytesField(field, s);
  w_.bytesField(field, repairUtf8(s));
}

void OtlpRequestWriter::keyValue(std::uint32_t field, std::string_view key,
                                 const OtlpValue& value) {
  if (json_) {
    if (!firstAttribute_) out_.push_back(',');
    firstAttribute_ = false;
    out_.append("{\"key\":");
    jsonText(key);
    out_.append(",\"value\":{");
  }
  const ProtobufWriter::Mark kv = json_ ? ProtobufWriter::Mark() : w_.begin(field);
  if (!json_) text(key_value::kKey, key);
  const ProtobufWriter::Mark any = json_ ? ProtobufWriter::Mark() : w_.begin(key_value::kValue);
  switch (value.kind) {
    case OtlpValue::Kind::Text:
      if (!json_) {
        text(any_value::kString, value.text);
        break;
      }
      out_.append("\"stringValue\":");
      jsonText(value.text);
      break;
    case OtlpValue::Kind::Bytes:
      if (!json_) {
        w_.bytesField(any_value::kBytes, value.text);
        break;
      }
      out_.append("\"bytesValue\":\"");
      out_.append(base64Encode(value.text));
      out_.push_back('"');
      break;
    case OtlpValue::Kind::Int:
      if (!json_) {
        w_.varintField(any_value::kInt, static_cast<std::uint64_t>(value.integer));
        break;
      }
      out_.append("\"intValue\":");
      appendQuotedDecimal(out_, value.integer);
      break;
    case OtlpValue::Kind::Double:
      if (!json_) {
        w_.doubleField(any_value::kDouble, value.number);
        break;
      }
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
      if (!json_) {
        w_.varintField(any_value::kBool, value.boolean ? 1 : 0);
        break;
      }
      out_.append(value.boolean ? "\"boolValue\":true" : "\"boolValue\":false");
      break;
  }
  if (json_) {
    out_.append("}}");
    return;
  }
  w_.end(any);
  w_.end(kv);
}

}  // namespace zeplog::detail
