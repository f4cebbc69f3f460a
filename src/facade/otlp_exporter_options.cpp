// The C form of an OTLP exporter with every setting: the caller's sized struct read into
// OtlpExporterOptions, then added as the C++ call adds it.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "facade/c_attribute.hpp"
#include "zeplog/zeplog.h"
#include "zeplog/zeplog.hpp"

namespace {

using zeplog::OtlpExporterOptions;

// More headers or resource attributes than this is taken for a count that is not the
// array's: refused rather than read past the caller's data.
constexpr std::size_t kMaxListed = 256;

std::optional<zeplog::OtlpProtocol> protocolOf(int protocol) {
  switch (protocol) {
    case ZEPLOG_OTLP_HTTP_PROTOBUF:
      return zeplog::OtlpProtocol::HttpProtobuf;
    case ZEPLOG_OTLP_HTTP_JSON:
      return zeplog::OtlpProtocol::HttpJson;
    default:
      return std::nullopt;
  }
}

// False for a value that is not known; else `to` is set (empty: the library's compression).
bool readCompression(int compression, std::optional<zeplog::Compression>& to) {
  switch (compression) {
    case ZEPLOG_COMPRESSION_DEFAULT:
      to.reset();
      return true;
    case ZEPLOG_COMPRESSION_NONE:
      to = zeplog::Compression::None;
      return true;
    case ZEPLOG_COMPRESSION_GZIP:
      to = zeplog::Compression::Gzip;
      return true;
    case ZEPLOG_COMPRESSION_ZSTD:
      to = zeplog::Compression::Zstd;
      return true;
    default:
      return false;
  }
}

// A resource attribute's value, owned; none for a type outside the enumeration.
std::optional<zeplog::ResourceValue> resourceValueOf(const zeplog_attribute& c) {
  const std::optional<zeplog::Attribute> a = zeplog::detail::attributeOfC(c);
  if (!a) return std::nullopt;
  const zeplog::AttributeValue& v = a->value;
  switch (v.type()) {
    case zeplog::AttributeValue::Type::Text:
      return zeplog::ResourceValue(std::string(v.text()));
    case zeplog::AttributeValue::Type::Int:
      return zeplog::ResourceValue(v.integer());
    case zeplog::AttributeValue::Type::Double:
      return zeplog::ResourceValue(v.number());
    case zeplog::AttributeValue::Type::Bool:
      return zeplog::ResourceValue(v.boolean());
  }
  return std::nullopt;
}

// The caller's struct read into o; false (with a console line) when it can't be read.
bool readOptions(const zeplog_otlp_exporter_options* c, OtlpExporterOptions& o) {
  using Options = zeplog_otlp_exporter_options;
  // True when the member that ends at `end` lies wholly within the caller's struct.
  const auto has = [&](std::size_t end) { return c->size >= end; };
  const auto refused = [](const char* why) {
    ZEP_CONSOLE(std::string("addOtlpExporter ignored: ") + why);
    return false;
  };
  if (!c || !has(offsetof(Options, endpoint) + sizeof c->endpoint) || !c->endpoint)
    return refused("NULL options or endpoint, or a size short of the endpoint");
  o.endpoint = c->endpoint;
  if (has(offsetof(Options, header_count) + sizeof c->header_count) && c->header_count > 0) {
    if (c->header_count > kMaxListed || !c->header_names || !c->header_values)
      return refused("NULL header list or more than 256 headers");
    for (std::size_t i = 0; i < c->header_count; ++i) {
      if (!c->header_names[i] || !c->header_values[i]) return refused("NULL header name or value");
      o.headers.emplace_back(c->header_names[i], c->header_values[i]);
    }
  }
  if (has(offsetof(Options, also_to_collector) + sizeof c->also_to_collector))
    o.alsoToCollector = c->also_to_collector != 0;
  if (has(offsetof(Options, protocol) + sizeof c->protocol)) {
    const auto protocol = protocolOf(c->protocol);
    if (!protocol) return refused("unknown protocol");
    o.protocol = *protocol;
  }
  if (has(offsetof(Options, compression) + sizeof c->compression)) {
    if (!readCompression(c->compression, o.compression)) return refused("unknown compression");
  }
  if (has(offsetof(Options, resource_count) + sizeof c->resource_count) && c->resource_count > 0) {
    if (c->resource_count > kMaxListed || !c->resource)
      return refused("NULL resource list or more than 256 resource attributes");
    for (std::size_t i = 0; i < c->resource_count; ++i) {
      const zeplog_attribute& a = c->resource[i];
      if (!a.key || !*a.key) return refused("a resource attribute without a key");
      std::optional<zeplog::ResourceValue> value = resourceValueOf(a);
      if (!value) return refused("a resource attribute of an unknown type");
      o.resource.emplace_back(a.key, std::move(*value));
    }
  }
  // The C++ call clamps the bound; 0 (or a member beyond the caller's size) keeps its default.
  if (has(offsetof(Options, timeout_ms) + sizeof c->timeout_ms) && c->timeout_ms != 0)
    o.timeout = std::chrono::milliseconds(c->timeout_ms);
  return true;
}

}  // namespace

extern "C" {

int zeplog_add_otlp_exporter_with(const zeplog_otlp_exporter_options* options) {
  return zeplog::detail::guarded<int>("zeplog_add_otlp_exporter_with", 0, [&] {
    OtlpExporterOptions o;
    return readOptions(options, o) && zeplog::ZEPLog::addOtlpExporterWith(o) ? 1 : 0;
  });
}

}  // extern "C"
