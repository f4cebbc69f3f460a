#include "collector_wire.hpp"

#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

#include "event/protobuf_wire.hpp"

namespace zeplog::tools::detail {
namespace {

using nlohmann::ordered_json;
using zeplog::detail::ProtobufReader;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    std::uint32_t n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += i + 1 < in.size() ? kBase64[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kBase64[n & 63] : '=';
  }
  return out;
}

std::string hex(std::string_view in) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (char c : in) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

// Reads every field of a message with `each`; false when the message or a nested one (as
// `each` reports) is malformed.
template <typename Each>
bool readMessage(std::string_view data, Each each) {
  ProtobufReader reader(data);
  while (const auto f = reader.next())
    if (!each(*f)) return false;
  return !reader.failed();
}

bool keyValue(std::string_view data, ordered_json& out);

bool anyValue(std::string_view data, ordered_json& out) {
  out = ordered_json::object();
  return readMessage(data, [&](const ProtobufReader::Field& f) {
    switch (f.number) {
      case 1:
        out["stringValue"] = std::string(f.bytes);
        return true;
      case 2:
        out["boolValue"] = f.value != 0;
        return true;
      case 3:
        out["intValue"] = std::to_string(static_cast<std::int64_t>(f.value));
        return true;
      case 4: {
        double d = 0;
        std::memcpy(&d, &f.value, sizeof d);
        out["doubleValue"] = d;
        return true;
      }
      case 5:
      case 6: {
        ordered_json values = ordered_json::array();
        const bool ok = readMessage(f.bytes, [&](const ProtobufReader::Field& v) {
          if (v.number != 1) return true;
          ordered_json item;
          if (!(f.number == 5 ? anyValue(v.bytes, item) : keyValue(v.bytes, item))) return false;
          values.push_back(std::move(item));
          return true;
        });
        out[f.number == 5 ? "arrayValue" : "kvlistValue"] = {{"values", values}};
        return ok;
      }
      case 7:
        out["bytesValue"] = base64(f.bytes);
        return true;
      default:
        return true;
    }
  });
}

bool keyValue(std::string_view data, ordered_json& out) {
  out = ordered_json::object();
  return readMessage(data, [&](const ProtobufReader::Field& f) {
    if (f.number == 1) out["key"] = std::string(f.bytes);
    if (f.number == 2) {
      ordered_json value;
      if (!anyValue(f.bytes, value)) return false;
      out["value"] = std::move(value);
    }
    return true;
  });
}

// Appends a KeyValue to out[name] (made an array on the first one).
bool appendKeyValue(std::string_view data, ordered_json& out, const char* name) {
  ordered_json kv;
  if (!keyValue(data, kv)) return false;
  out[name].push_back(std::move(kv));
  return true;
}

bool logRecord(std::string_view data, ordered_json& out) {
  out = ordered_json::object();
  return readMessage(data, [&](const ProtobufReader::Field& f) {
    switch (f.number) {
      case 1:
        out["timeUnixNano"] = std::to_string(f.value);
        return true;
      case 11:
        out["observedTimeUnixNano"] = std::to_string(f.value);
        return true;
      case 2:
        out["severityNumber"] = static_cast<std::int64_t>(f.value);
        return true;
      case 3:
        out["severityText"] = std::string(f.bytes);
        return true;
      case 5: {
        ordered_json body;
        if (!anyValue(f.bytes, body)) return false;
        out["body"] = std::move(body);
        return true;
      }
      case 6:
        return appendKeyValue(f.bytes, out, "attributes");
      case 8:
        out["flags"] = f.value;
        return true;
      case 9:
        out["traceId"] = hex(f.bytes);
        return true;
      case 10:
        out["spanId"] = hex(f.bytes);
        return true;
      case 12:
        out["eventName"] = std::string(f.bytes);
        return true;
      default:
        return true;
    }
  });
}

bool scopeLogs(std::string_view data, ordered_json& out) {
  out = ordered_json::object();
  return readMessage(data, [&](const ProtobufReader::Field& f) {
    if (f.number == 1) {
      ordered_json scope = ordered_json::object();
      const bool ok = readMessage(f.bytes, [&](const ProtobufReader::Field& s) {
        if (s.number == 1) scope["name"] = std::string(s.bytes);
        if (s.number == 2) scope["version"] = std::string(s.bytes);
        return true;
      });
      out["scope"] = std::move(scope);
      return ok;
    }
    if (f.number == 2) {
      ordered_json record;
      if (!logRecord(f.bytes, record)) return false;
      out["logRecords"].push_back(std::move(record));
    }
    return true;
  });
}

bool resourceLogs(std::string_view data, ordered_json& out) {
  out = ordered_json::object();
  return readMessage(data, [&](const ProtobufReader::Field& f) {
    if (f.number == 1) {
      ordered_json resource = ordered_json::object();
      const bool ok = readMessage(f.bytes, [&](const ProtobufReader::Field& a) {
        return a.number != 1 || appendKeyValue(a.bytes, resource, "attributes");
      });
      out["resource"] = std::move(resource);
      return ok;
    }
    if (f.number == 2) {
      ordered_json scope;
      if (!scopeLogs(f.bytes, scope)) return false;
      out["scopeLogs"].push_back(std::move(scope));
    }
    return true;
  });
}

}  // namespace

std::optional<std::string> zstdDecompressed(std::string_view body, std::size_t maxBytes) {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  if (!context) return std::nullopt;
  std::string out;
  ZSTD_inBuffer in{body.data(), body.size(), 0};
  std::size_t result = 1;
  char chunk[64 << 10];
  while (in.pos < in.size || result != 0) {
    ZSTD_outBuffer o{chunk, sizeof chunk, 0};
    result = ZSTD_decompressStream(context, &o, &in);
    if (ZSTD_isError(result) || out.size() + o.pos > maxBytes) break;
    out.append(chunk, o.pos);
    if (in.pos == in.size && o.pos == 0 && result != 0) break;  // cut short
  }
  ZSTD_freeDCtx(context);
  if (ZSTD_isError(result) || result != 0 || in.pos != in.size) return std::nullopt;
  return out;
}

std::optional<std::string> otlpJsonOfProtobuf(std::string_view body) {
  ordered_json request = ordered_json::object();
  request["resourceLogs"] = ordered_json::array();
  const bool ok = readMessage(body, [&](const ProtobufReader::Field& f) {
    if (f.number != 1) return true;
    ordered_json rl;
    if (!resourceLogs(f.bytes, rl)) return false;
    request["resourceLogs"].push_back(std::move(rl));
    return true;
  });
  if (!ok) return std::nullopt;
  return request.dump();
}

}  // namespace zeplog::tools::detail
