#include "zeplog/json_value.hpp"

#include "zeplog/error.hpp"

namespace zeplog::json {

bool operator==(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::Null:
      return true;
    case Value::Kind::Bool:
      return a.asBool() == b.asBool();
    case Value::Kind::UInt:
      return a.asUInt() == b.asUInt();
    case Value::Kind::Int:
      return a.asInt() == b.asInt();
    case Value::Kind::Double:
      return a.asDouble() == b.asDouble();
    case Value::Kind::Decimal:
      return a.asDecimal() == b.asDecimal();
    case Value::Kind::String:
      return a.asString() == b.asString();
    case Value::Kind::Bytes:
      return a.asBytes() == b.asBytes();
    case Value::Kind::Array:
      return a.asArray() == b.asArray() ||
             (a.asArray() && b.asArray() && *a.asArray() == *b.asArray());
    case Value::Kind::Object:
      return a.asObject() == b.asObject() ||
             (a.asObject() && b.asObject() && *a.asObject() == *b.asObject());
    case Value::Kind::Opaque:
      return a.asOpaque() == b.asOpaque();
  }
  return false;
}

}  // namespace zeplog::json

namespace zeplog {

std::string Error::localizedDescription() const {
  const json::Value* v = userInfo.find(kErrorDescriptionKey);
  return v && v->isString() ? v->asString() : std::string();
}

}  // namespace zeplog
