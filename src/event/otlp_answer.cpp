#include "event/otlp_answer.hpp"

#include <charconv>
#include <memory>

#include "event/protobuf_wire.hpp"
#include "zeplog/json_reader.hpp"

namespace zeplog::detail {
namespace {

OtlpPartialSuccess fromJson(std::string_view body) {
  OtlpPartialSuccess out;
  std::shared_ptr<json::Object> answer = kstCJSONDeserializer().deserializeAsDictionary(body);
  const json::Value* partial = answer ? answer->find("partialSuccess") : nullptr;
  if (!partial || !partial->isObject()) return out;
  const json::Object& p = *partial->asObject();
  if (const json::Value* n = p.find("rejectedLogRecords")) {
    // A decimal string by the JSON mapping; some servers write a number.
    if (n->isString()) {
      const std::string& s = n->asString();
      std::from_chars(s.data(), s.data() + s.size(), out.rejected);
    } else if (n->isUInt()) {
      out.rejected = n->asUInt();
    } else if (n->isInt() && n->asInt() > 0) {
      out.rejected = static_cast<std::uint64_t>(n->asInt());
    }
  }
  if (const json::Value* m = p.find("errorMessage"); m && m->isString())
    out.message = m->asString();
  return out;
}

// ExportLogsServiceResponse: 1 partial_success { 1 rejected_log_records int64,
// 2 error_message string }. The last occurrence of a field wins, as protobuf merges.
OtlpPartialSuccess fromProtobuf(std::string_view body) {
  OtlpPartialSuccess out;
  ProtobufReader response(body);
  std::string_view partial;
  bool found = false;
  while (const auto f = response.next()) {
    if (f->number == 1) {
      partial = f->bytes;
      found = true;
    }
  }
  if (response.failed() || !found) return out;
  OtlpPartialSuccess read;
  ProtobufReader fields(partial);
  while (const auto f = fields.next()) {
    if (f->number == 1) {
      // int64: a negative count is no count.
      read.rejected = static_cast<std::int64_t>(f->value) > 0 ? f->value : 0;
    } else if (f->number == 2) {
      read.message = std::string(f->bytes);
    }
  }
  return fields.failed() ? out : read;
}

}  // namespace

OtlpPartialSuccess readOtlpAnswer(std::string_view body) {
  const std::size_t start = body.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return {};
  return body[start] == '{' ? fromJson(body) : fromProtobuf(body);
}

}  // namespace zeplog::detail
