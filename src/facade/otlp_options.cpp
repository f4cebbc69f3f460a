#include "facade/otlp_options.hpp"

#include <algorithm>
#include <string>

#include "common/console.hpp"
#include "common/utf8.hpp"
#include "event/text_rules.hpp"

namespace zeplog::detail {
namespace {

std::nullopt_t refused(const char* caller, const std::string& why) {
  ZEP_CONSOLE(std::string(caller) + " ignored: " + why);
  return std::nullopt;
}

}  // namespace

std::optional<OtlpTarget> otlpTargetOf(const OtlpExporterOptions& options, const char* caller,
                                       bool endpointIsLogsURL) {
  OtlpTarget target;
  target.url = endpointIsLogsURL ? otlpURLAsIs(options.endpoint) : otlpLogsURL(options.endpoint);
  if (target.url.empty()) {
    return refused(caller, "an http or https URL with a host and no query is expected : " +
                               consoleText(options.endpoint));
  }
  for (const auto& [name, value] : options.headers) {
    if (!isAllowedOtlpHeader(name, value))
      return refused(caller, "header not allowed : " + consoleText(name));
    target.headers.push_back(name + ": " + value);
  }
  if (options.protocol != OtlpProtocol::HttpProtobuf && options.protocol != OtlpProtocol::HttpJson)
    return refused(caller, "protocol not HttpProtobuf or HttpJson");
  if (options.compression && *options.compression != Compression::None &&
      *options.compression != Compression::Gzip && *options.compression != Compression::Zstd)
    return refused(caller, "compression not None, Gzip or Zstd");
  for (const auto& [key, value] : options.resource) {
    if (key.empty()) return refused(caller, "a resource attribute with an empty key");
  }
  target.alsoToCollector = options.alsoToCollector;
  target.protocol = options.protocol;
  target.compression = options.compression;
  target.timeout = std::clamp(options.timeout, std::chrono::milliseconds(kShortestOtlpTimeout),
                              std::chrono::milliseconds(kLongestOtlpTimeout));
  // Texts go out as UTF-8 strings: repaired here once rather than at every request.
  for (const auto& [key, value] : options.resource) {
    ResourceValue v = value;
    if (auto* text = std::get_if<std::string>(&v)) *text = toValidUtf8(*text);
    target.resource.emplace_back(toValidUtf8(key), std::move(v));
  }
  return target;
}

}  // namespace zeplog::detail
