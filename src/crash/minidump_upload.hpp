// The minidump upload: a multipart/form-data POST with the file and the crash's identity.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zeplog::detail {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// The upload's bounds on what a caller gives: more fields, or longer names or values, are
// left out with a console line when the options are set.
inline constexpr std::size_t kMaxMinidumpFields = 64;
inline constexpr std::size_t kMaxMinidumpFieldName = 256;
inline constexpr std::size_t kMaxMinidumpFieldValue = 64 * 1024;

// The body of the upload: each field as a part, then the file part "upload_file_minidump"
// (fileName, application/octet-stream), between boundary lines.
std::string minidumpFormBody(std::string_view boundary, const FormFields& fields,
                             std::string_view fileName, std::string_view file);

// POSTs the minidump with the fields to url within timeout, through the library's HTTP client
// (its TLS rules, proxy and compression). True when the server answered 2xx.
bool postMinidump(const std::string& url, const FormFields& fields, const std::string& fileName,
                  std::string_view file, std::chrono::milliseconds timeout);

// The identity kept beside a minidump until it is uploaded, as netstrings
// ("<len>:<bytes>," for each name and value); nothing for text that is not such a list.
std::string encodeFormFields(const FormFields& fields);
std::optional<FormFields> decodeFormFields(std::string_view text);

}  // namespace zeplog::detail
