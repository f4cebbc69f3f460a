#include "facade/otel_environment.hpp"

#include <charconv>
#include <cstdlib>

#include "common/ascii.hpp"
#include "common/console.hpp"
#include "event/text_rules.hpp"
#include "facade/otlp_options.hpp"
#include "transport/otlp_exporters.hpp"

namespace zeplog::detail {
namespace {

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = asciiLower(c);
  return out;
}

std::string_view trimmed(std::string_view s) {
  const std::size_t start = s.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return s.substr(start, s.find_last_not_of(" \t") - start + 1);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    const int high = i + 2 < s.size() ? hexDigit(s[i + 1]) : -1;
    const int low = high >= 0 ? hexDigit(s[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

void ignored(std::string_view name, std::string_view value, const std::string& why) {
  ZEP_CONSOLE(std::string(name) + "=" + consoleText(value) + " ignored: " + why);
}

// A set, non-empty variable's value; an empty one is ignored with a line.
const char* variable(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return nullptr;
  if (!*value) {
    ignored(name, value, "empty");
    return nullptr;
  }
  return value;
}

// The logs variable's value when it is set and good, else the general one's; each bad value
// gets its line. `read` gives the value or none (having said why).
template <typename T, typename Read>
std::optional<T> logsOrGeneral(const char* logsName, const char* generalName, Read read) {
  if (const char* v = variable(logsName)) {
    if (std::optional<T> value = read(logsName, v)) return value;
  }
  if (const char* v = variable(generalName)) return read(generalName, v);
  return std::nullopt;
}

std::optional<OtlpProtocol> protocolOf(const char* name, std::string_view v) {
  if (v == "http/protobuf") return OtlpProtocol::HttpProtobuf;
  if (v == "http/json") return OtlpProtocol::HttpJson;
  ignored(
      name, v,
      v == "grpc" ? "this exporter speaks OTLP over HTTP only" : "not http/protobuf or http/json");
  return std::nullopt;
}

std::optional<Compression> compressionOf(const char* name, std::string_view v) {
  if (v == "none") return Compression::None;
  if (v == "gzip") return Compression::Gzip;
  if (v == "zstd") return Compression::Zstd;
  ignored(name, v, "not none, gzip or zstd");
  return std::nullopt;
}

std::optional<std::chrono::milliseconds> timeoutOf(const char* name, std::string_view v) {
  std::uint64_t ms = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), ms);
  if (ec == std::errc::result_out_of_range && end == v.data() + v.size())
    return kLongestOtlpTimeout;  // clamped like any other number
  if (ec != std::errc() || end != v.data() + v.size()) {
    ignored(name, v, "not a number of milliseconds");
    return std::nullopt;
  }
  return std::chrono::milliseconds(std::min<std::uint64_t>(ms, kLongestOtlpTimeout.count()));
}

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// Header lists: the value is not echoed (it may hold a credential).
std::optional<KeyValues> headersOf(const char* name, std::string_view v) {
  std::optional<KeyValues> list = otelKeyValues(v);
  if (!list) {
    ZEP_CONSOLE(std::string(name) + " ignored: not key=value items (percent-encoded)");
    return std::nullopt;
  }
  for (const auto& [key, value] : *list) {
    if (!isAllowedOtlpHeader(key, value)) {
      ZEP_CONSOLE(std::string(name) + " ignored: header not allowed : " + consoleText(key));
      return std::nullopt;
    }
  }
  return list;
}

// The headers of both variables, the logs one winning per key (case-insensitively).
KeyValues exporterHeaders() {
  KeyValues out;
  if (const char* v = variable("OTEL_EXPORTER_OTLP_LOGS_HEADERS"))
    out = headersOf("OTEL_EXPORTER_OTLP_LOGS_HEADERS", v).value_or(KeyValues());
  if (const char* v = variable("OTEL_EXPORTER_OTLP_HEADERS")) {
    for (auto& [key, value] : headersOf("OTEL_EXPORTER_OTLP_HEADERS", v).value_or(KeyValues())) {
      bool taken = false;
      for (const auto& [k, unused] : out) taken = taken || equalsNoCase(k, lowered(key));
      if (!taken) out.emplace_back(std::move(key), std::move(value));
    }
  }
  return out;
}

// The exporter the environment names, when it names an endpoint.
std::optional<OtlpTarget> environmentExporter() {
  OtlpExporterOptions options;
  bool logsURL = false;
  const auto endpoint = [&](const char* name, std::string_view v) -> std::optional<bool> {
    const bool asIs = std::string_view(name) == "OTEL_EXPORTER_OTLP_LOGS_ENDPOINT";
    if ((asIs ? otlpURLAsIs(v) : otlpLogsURL(v)).empty()) {
      ignored(name, v, "not an http or https URL with a host");
      return std::nullopt;
    }
    options.endpoint = std::string(v);
    logsURL = asIs;
    return true;
  };
  if (!logsOrGeneral<bool>("OTEL_EXPORTER_OTLP_LOGS_ENDPOINT", "OTEL_EXPORTER_OTLP_ENDPOINT",
                           endpoint))
    return std::nullopt;
  options.headers = exporterHeaders();
  options.protocol = logsOrGeneral<OtlpProtocol>("OTEL_EXPORTER_OTLP_LOGS_PROTOCOL",
                                                 "OTEL_EXPORTER_OTLP_PROTOCOL", protocolOf)
                         .value_or(OtlpProtocol::HttpProtobuf);
  options.compression = logsOrGeneral<Compression>("OTEL_EXPORTER_OTLP_LOGS_COMPRESSION",
                                                   "OTEL_EXPORTER_OTLP_COMPRESSION", compressionOf);
  options.timeout = logsOrGeneral<std::chrono::milliseconds>(
                        "OTEL_EXPORTER_OTLP_LOGS_TIMEOUT", "OTEL_EXPORTER_OTLP_TIMEOUT", timeoutOf)
                        .value_or(kDefaultOtlpTimeout);
  return otlpTargetOf(options, "OTEL_EXPORTER_OTLP_ENDPOINT", logsURL);
}

// OTEL_RESOURCE_ATTRIBUTES, with OTEL_SERVICE_NAME's service.name first (so it wins).
ResourceAttributes environmentResource() {
  ResourceAttributes out;
  if (const char* v = variable("OTEL_SERVICE_NAME")) out.emplace_back("service.name", v);
  if (const char* v = variable("OTEL_RESOURCE_ATTRIBUTES")) {
    if (std::optional<KeyValues> list = otelKeyValues(v)) {
      for (auto& [key, value] : *list) out.emplace_back(std::move(key), std::move(value));
    } else {
      ignored("OTEL_RESOURCE_ATTRIBUTES", v, "not key=value items (percent-encoded)");
    }
  }
  return out;
}

constexpr const char* kExporterVariables[] = {
    "OTEL_EXPORTER_OTLP_ENDPOINT",    "OTEL_EXPORTER_OTLP_LOGS_ENDPOINT",
    "OTEL_EXPORTER_OTLP_HEADERS",     "OTEL_EXPORTER_OTLP_LOGS_HEADERS",
    "OTEL_EXPORTER_OTLP_PROTOCOL",    "OTEL_EXPORTER_OTLP_LOGS_PROTOCOL",
    "OTEL_EXPORTER_OTLP_COMPRESSION", "OTEL_EXPORTER_OTLP_LOGS_COMPRESSION",
    "OTEL_EXPORTER_OTLP_TIMEOUT",     "OTEL_EXPORTER_OTLP_LOGS_TIMEOUT"};

// Each exporter variable that is set, ignored with `why`.
void ignoreExporterVariables(const std::string& why) {
  for (const char* name : kExporterVariables)
    if (std::getenv(name)) ZEP_CONSOLE(std::string(name) + " ignored: " + why);
}

}  // namespace

std::optional<KeyValues> otelKeyValues(std::string_view text) {
  KeyValues out;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = trimmed(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::optional<std::string> key = percentDecoded(trimmed(item.substr(0, equals)));
    std::optional<std::string> value = percentDecoded(trimmed(item.substr(equals + 1)));
    if (!key || key->empty() || !value) return std::nullopt;
    out.emplace_back(std::move(*key), std::move(*value));
  }
  return out;
}

void applyOtelEnvironment(bool programAddedExporters) {
  bool disabled = false;
  if (const char* v = variable("OTEL_SDK_DISABLED")) {
    const std::string value = lowered(v);
    if (value == "true" || value == "false") {
      disabled = value == "true";
    } else {
      ignored("OTEL_SDK_DISABLED", v, "not true or false");
    }
  }
  const ResourceAttributes resource = environmentResource();
  if (!resource.empty()) addEnvironmentResource(resource);
  if (programAddedExporters) {
    ignoreExporterVariables("the application's own addOtlpExporter wins");
    if (disabled)
      ZEP_CONSOLE("OTEL_SDK_DISABLED ignored: the application's own addOtlpExporter wins");
    return;
  }
  if (disabled) return ignoreExporterVariables("OTEL_SDK_DISABLED is true");
  if (std::optional<OtlpTarget> target = environmentExporter()) addOtlpTarget(std::move(*target));
}

}  // namespace zeplog::detail
