#include "zeplog/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "common/utf8.hpp"
#include "event/json/json_string_writer.hpp"

namespace zeplog {

const char* const kstkJSONSerializerErrorDomain = "CJSONSerializerErrorDomain";

namespace {

// Type names in "Cannot serialize data of type" errors for the writer's own kinds.
const char* kindName(json::Value::Kind kind) {
  switch (kind) {
    case json::Value::Kind::Null:
      return "Null";
    case json::Value::Kind::Bool:
      return "Bool";
    case json::Value::Kind::UInt:
      return "UInt64";
    case json::Value::Kind::Int:
      return "Int64";
    case json::Value::Kind::Double:
      return "Double";
    case json::Value::Kind::Decimal:
      return "Decimal";
    case json::Value::Kind::String:
      return "String";
    case json::Value::Kind::Bytes:
      return "Bytes";
    case json::Value::Kind::Array:
      return "Array";
    case json::Value::Kind::Object:
      return "Object";
    case json::Value::Kind::Opaque:
      return "Opaque";
  }
  return "Unknown";
}

void setError(Error* error, std::int64_t code, std::string description) {
  if (error == nullptr) return;
  error->domain = kstkJSONSerializerErrorDomain;
  error->code = code;
  error->userInfo.clear();
  error->userInfo.set(kErrorDescriptionKey, json::Value(std::move(description)));
}

void cannotSerializeType(Error* error, const std::string& typeName) {
  setError(error, -1, "Cannot serialize data of type '" + typeName + "'");
}

// A short description: a container is named by its size, not rendered, since a batch can
// be megabytes long.
std::string describe(const json::Value& value) {
  if (value.isArray()) {
    return "Array(" + std::to_string(value.asArray()->size()) + " elements)";
  }
  if (value.isObject()) {
    return "Object(" + std::to_string(value.asObject()->size()) + " members)";
  }
  if (value.isOpaque()) return value.asOpaque()->description();
  return kindName(value.kind());
}

template <typename T>
void appendInteger(std::string& out, T v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Writes a bool or number; false for a value of another kind.
bool appendNumber(std::string& out, const json::Value& v) {
  switch (v.kind()) {
    case json::Value::Kind::Bool:
      out.append(v.asBool() ? kstCJSONSerializer::kTrue : kstCJSONSerializer::kFalse);
      return true;
    case json::Value::Kind::UInt:
      appendInteger(out, v.asUInt());
      return true;
    case json::Value::Kind::Int:
      appendInteger(out, v.asInt());
      return true;
    case json::Value::Kind::Double: {
      double d = v.asDouble();
      // JSON has no NaN or infinity; null keeps the document readable.
      if (!std::isfinite(d)) {
        out.append(kstCJSONSerializer::kNULL);
        return true;
      }
      char buf[32];  // the shortest round-trip text of a double needs at most 24
      auto r = std::to_chars(buf, buf + sizeof buf, d);
      out.append(buf, r.ptr);
      return true;
    }
    case json::Value::Kind::Decimal:
      out.append(v.asDecimal().toString());
      return true;
    default:
      return false;
  }
}

}  // namespace

std::unique_ptr<kstCJSONSerializer> kstCJSONSerializer::serializer() {
  return std::make_unique<kstCJSONSerializer>();
}

std::optional<std::string> kstCJSONSerializer::serializeObject(const json::Value& object,
                                                               Error* error) const {
  std::string out;
  if (!appendObject(out, object, error)) return std::nullopt;
  return out;
}

std::string kstCJSONSerializer::serializeNull(json::Null, Error*) const {
  return std::string(kNULL);
}

std::optional<std::string> kstCJSONSerializer::serializeNumber(const json::Value& number,
                                                               Error* error) const {
  std::string out;
  if (!appendNumber(out, number)) {
    cannotSerializeType(error, kindName(number.kind()));
    return std::nullopt;
  }
  return out;
}

std::string kstCJSONSerializer::serializeString(std::string_view string, Error*) const {
  std::string out;
  appendString(out, string);
  return out;
}

std::optional<std::string> kstCJSONSerializer::serializeArray(const json::Array& array,
                                                              Error* error) const {
  std::string out;
  if (!appendArray(out, array, error)) return std::nullopt;
  return out;
}

std::optional<std::string> kstCJSONSerializer::serializeDictionary(const json::Object& dictionary,
                                                                   Error* error) const {
  std::string out;
  if (!appendDictionary(out, dictionary, error)) return std::nullopt;
  return out;
}

bool kstCJSONSerializer::isValidJSONObject(const json::Value& object) {
  if (!object.isOpaque()) return true;
  const auto& opaque = object.asOpaque();
  return opaque == nullptr || opaque->hasJSONDataRepresentation();
}

bool kstCJSONSerializer::appendObject(std::string& out, const json::Value& object,
                                      Error* error) const {
  return appendObjectAt(out, object, error, 0);
}

bool kstCJSONSerializer::appendArray(std::string& out, const json::Array& array,
                                     Error* error) const {
  return appendArrayAt(out, array, error, 0);
}

bool kstCJSONSerializer::appendDictionary(std::string& out, const json::Object& dictionary,
                                          Error* error) const {
  return appendDictionaryAt(out, dictionary, error, 0);
}

void kstCJSONSerializer::appendString(std::string& out, std::string_view string) const {
  detail::appendJSONString(out, string, (options_ & kEscapeSolidus) != 0);
}

bool kstCJSONSerializer::appendObjectAt(std::string& out, const json::Value& object, Error* error,
                                        int depth) const {
  bool ok = true;
  switch (object.kind()) {
    case json::Value::Kind::Null:
      out.append(kNULL);
      return true;
    case json::Value::Kind::Bool:
    case json::Value::Kind::UInt:
    case json::Value::Kind::Int:
    case json::Value::Kind::Double:
    case json::Value::Kind::Decimal:
      return appendNumber(out, object);
    case json::Value::Kind::String:
      appendString(out, object.asString());
      return true;
    case json::Value::Kind::Bytes: {
      std::string_view bytes = object.asBytes().view();
      if (!detail::isValidUtf8(bytes)) {
        cannotSerializeType(error, kindName(object.kind()));
        return false;
      }
      appendString(out, bytes);
      return true;
    }
    // An absent container or opaque value has nothing to write but null.
    case json::Value::Kind::Array:
      if (object.asArray() == nullptr) {
        out.append(kNULL);
        return true;
      }
      ok = appendArrayAt(out, *object.asArray(), error, depth + 1);
      break;
    case json::Value::Kind::Object:
      if (object.asObject() == nullptr) {
        out.append(kNULL);
        return true;
      }
      ok = appendDictionaryAt(out, *object.asObject(), error, depth + 1);
      break;
    case json::Value::Kind::Opaque: {
      const auto& opaque = object.asOpaque();
      if (opaque == nullptr) {
        out.append(kNULL);
        return true;
      }
      if (!opaque->hasJSONDataRepresentation()) {
        cannotSerializeType(error, opaque->typeName());
        return false;
      }
      std::optional<std::string> text = opaque->JSONDataRepresentation();
      if (text) out.append(*text);
      ok = text.has_value();
      break;
    }
  }
  if (!ok) {
    setError(error, -2, "Could not serialize object '" + describe(object) + "'");
  }
  return ok;
}

bool kstCJSONSerializer::appendArrayAt(std::string& out, const json::Array& array, Error* error,
                                       int depth) const {
  if (depth > kMaxDepth) return false;
  const std::size_t start = out.size();
  out.push_back('[');
  bool first = true;
  for (const json::Value& element : array) {
    if (!first) out.push_back(',');
    first = false;
    if (!appendObjectAt(out, element, error, depth)) {
      out.resize(start);
      return false;
    }
  }
  out.push_back(']');
  return true;
}

bool kstCJSONSerializer::appendDictionaryAt(std::string& out, const json::Object& dictionary,
                                            Error* error, int depth) const {
  if (depth > kMaxDepth) return false;
  const std::size_t start = out.size();
  const bool escapeSolidus = (options_ & kEscapeSolidus) != 0;
  out.push_back('{');
  bool first = true;
  for (const auto& [key, value] : dictionary) {
    if (!first) out.push_back(',');
    first = false;
    detail::appendJSONString(out, key, escapeSolidus);
    out.push_back(':');
    if (!appendObjectAt(out, value, error, depth)) {
      out.resize(start);
      return false;
    }
  }
  out.push_back('}');
  return true;
}

}  // namespace zeplog
