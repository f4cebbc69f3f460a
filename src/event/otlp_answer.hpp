// Reading an OTLP exporter's answer: the records its server refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeplog::detail {

// What a 200 answer's ExportLogsServiceResponse says about records the server refused.
struct OtlpPartialSuccess {
  std::uint64_t rejected = 0;  // rejected_log_records; 0 when absent or not a count
  std::string message;         // error_message; "" when absent
};

// Reads it from the answer's body, in either encoding: JSON when the body starts with "{"
// (after white space), protobuf otherwise (a server may answer in another encoding than the
// request's). A body that is empty or malformed reports nothing rejected (a plain success).
OtlpPartialSuccess readOtlpAnswer(std::string_view body);

}  // namespace zeplog::detail
