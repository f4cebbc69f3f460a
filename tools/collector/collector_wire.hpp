// What the collector does to a request body before reading it: zstd bodies decompressed,
// OTLP protobuf bodies turned into the OTLP/JSON form the record reader takes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zeplog::tools::detail {

// The body of a "Content-Encoding: zstd" request, decompressed; none when it is not zstd
// data or would decompress to more than maxBytes. (cpp-httplib decodes gzip itself.)
std::optional<std::string> zstdDecompressed(std::string_view body, std::size_t maxBytes);

// An ExportLogsServiceRequest in the protobuf wire format as its OTLP/JSON text
// (lowerCamelCase names, 64-bit integers as decimal strings, trace and span ids in hex,
// other bytes in base64); none when the body is not one.
std::optional<std::string> otlpJsonOfProtobuf(std::string_view body);

}  // namespace zeplog::tools::detail
