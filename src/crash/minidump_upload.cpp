// The minidump upload.
#include "crash/minidump_upload.hpp"

#include <charconv>

#include "common/console.hpp"
#include "common/uuid.hpp"
#include "transport/http_client.hpp"

namespace zeplog::detail {

std::string minidumpFormBody(std::string_view boundary, const FormFields& fields,
                             std::string_view fileName, std::string_view file) {
  std::string body;
  body.reserve(file.size() + 256 * (fields.size() + 1));
  const auto partHead = [&](std::string_view name) {
    body.append("--").append(boundary).append("\r\nContent-Disposition: form-data; name=\"");
    body.append(name).append("\"");
  };
  for (const auto& [name, value] : fields) {
    partHead(name);
    body.append("\r\n\r\n").append(value).append("\r\n");
  }
  partHead("upload_file_minidump");
  body.append("; filename=\"").append(fileName).append("\"\r\n");
  body.append("Content-Type: application/octet-stream\r\n\r\n").append(file).append("\r\n");
  body.append("--").append(boundary).append("--\r\n");
  return body;
}

bool postMinidump(const std::string& url, const FormFields& fields, const std::string& fileName,
                  std::string_view file, std::chrono::milliseconds timeout) {
  // A random boundary cannot occur in the parts but by a 2^-122 chance.
  const std::string boundary = "zeplog-" + generateUUID();
  HttpRequest request;
  request.method = HttpRequest::Method::kPost;
  request.url = url;
  request.headers = {"Content-Type: multipart/form-data; boundary=" + boundary};
  request.body = minidumpFormBody(boundary, fields, fileName, file);
  request.timeout = timeout;
  request.endAtHeaders = true;  // the status decides whether the minidump is kept
  HttpClient client;            // crash uploads are rare and one at a time
  const HttpResult result = client.perform(request);
  if (!result.completed) {
    ZEP_CONSOLE("minidump upload failed : " + result.error);
    return false;
  }
  ZEP_CONSOLE("minidump upload answered " + std::to_string(result.status));
  return result.status >= 200 && result.status < 300;
}

std::string encodeFormFields(const FormFields& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    for (const std::string* text : {&name, &value})
      out.append(std::to_string(text->size())).append(":").append(*text).append(",");
  }
  return out;
}

std::optional<FormFields> decodeFormFields(std::string_view text) {
  FormFields fields;
  const auto next = [&]() -> std::optional<std::string> {
    std::size_t size = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), size);
    const std::size_t head = static_cast<std::size_t>(end - text.data());
    if (ec != std::errc() || head >= text.size() || text[head] != ':' ||
        text.size() - head - 1 < size + 1 || text[head + 1 + size] != ',')
      return std::nullopt;
    std::string value(text.substr(head + 1, size));
    text.remove_prefix(head + size + 2);
    return value;
  };
  while (!text.empty()) {
    std::optional<std::string> name = next();
    std::optional<std::string> value = name ? next() : std::nullopt;
    if (!value) return std::nullopt;
    fields.emplace_back(std::move(*name), std::move(*value));
  }
  return fields;
}

}  // namespace zeplog::detail
