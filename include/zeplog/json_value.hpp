// The value model that the JSON writer consumes and the JSON reader produces.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "zeplog/bytes.hpp"
#include "zeplog/decimal.hpp"
#include "zeplog/export.hpp"
#include "zeplog/ordered_map.hpp"

namespace zeplog::json {

class Value;

// JSON null. The reader can be told to use another value for null (its null object).
struct Null {
  friend bool operator==(Null, Null) { return true; }
};

using Array = std::vector<Value>;
using Object = OrderedMap<Value>;

// A value of an application type handed to the writer. It either offers a ready JSON
// text of itself (written unchanged) or it is of a kind the writer cannot write.
class ZEPLOG_API Opaque {
 public:
  virtual ~Opaque() = default;
  // Type name used in the writer's "Cannot serialize data of type" error.
  virtual std::string typeName() const = 0;
  // Description used in the writer's "Could not serialize object" error.
  virtual std::string description() const { return typeName(); }
  // True when the value offers a JSON text of itself.
  virtual bool hasJSONDataRepresentation() const { return false; }
  // The JSON text; nothing when the value could not make one.
  virtual std::optional<std::string> JSONDataRepresentation() const { return std::nullopt; }
};

// One JSON-able value: null, boolean, the three number kinds the reader produces (unsigned
// and signed 64-bit, double) plus exact decimals, text, byte data, arrays, objects, and
// opaque application values. Arrays and objects are shared by reference: copying a Value
// copies the reference, as the event dictionaries of the library are shared.
class ZEPLOG_API Value {
 public:
  // The kinds are named after the types they hold (Kind::Array holds an Array); being
  // scoped, they can't be confused with those types, so -Wshadow's complaint is silenced
  // here rather than in every application that includes this header.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#endif
  enum class Kind { Null, Bool, UInt, Int, Double, Decimal, String, Bytes, Array, Object, Opaque };
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

  Value() noexcept = default;
  Value(Null) noexcept {}
  Value(bool b) noexcept : v_(b) {}
  Value(int i) noexcept : v_(static_cast<std::int64_t>(i)) {}
  Value(long i) noexcept : v_(static_cast<std::int64_t>(i)) {}
  Value(long long i) noexcept : v_(static_cast<std::int64_t>(i)) {}
  Value(unsigned i) noexcept : v_(static_cast<std::uint64_t>(i)) {}
  Value(unsigned long i) noexcept : v_(static_cast<std::uint64_t>(i)) {}
  Value(unsigned long long i) noexcept : v_(static_cast<std::uint64_t>(i)) {}
  Value(double d) noexcept : v_(d) {}
  Value(zeplog::Decimal d) : v_(std::make_shared<const zeplog::Decimal>(std::move(d))) {}
  Value(std::string s) noexcept : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::in_place_type<std::string>, s) {}
  Value(const char* s) : v_(std::in_place_type<std::string>, s) {}
  Value(zeplog::Bytes b) noexcept : v_(std::move(b)) {}
  Value(std::shared_ptr<Array> a) noexcept : v_(std::move(a)) {}
  Value(std::shared_ptr<Object> o) noexcept : v_(std::move(o)) {}
  Value(std::shared_ptr<const Opaque> o) noexcept : v_(std::move(o)) {}
  Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
  Value(Object o) : v_(std::make_shared<Object>(std::move(o))) {}

  Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
  bool isNull() const noexcept { return kind() == Kind::Null; }
  bool isBool() const noexcept { return kind() == Kind::Bool; }
  bool isUInt() const noexcept { return kind() == Kind::UInt; }
  bool isInt() const noexcept { return kind() == Kind::Int; }
  bool isDouble() const noexcept { return kind() == Kind::Double; }
  bool isDecimal() const noexcept { return kind() == Kind::Decimal; }
  bool isNumber() const noexcept {
    Kind k = kind();
    return k == Kind::UInt || k == Kind::Int || k == Kind::Double || k == Kind::Decimal;
  }
  bool isString() const noexcept { return kind() == Kind::String; }
  bool isBytes() const noexcept { return kind() == Kind::Bytes; }
  bool isArray() const noexcept { return kind() == Kind::Array; }
  bool isObject() const noexcept { return kind() == Kind::Object; }
  bool isOpaque() const noexcept { return kind() == Kind::Opaque; }

  // Typed access; the caller checks the kind first.
  bool asBool() const { return std::get<bool>(v_); }
  std::uint64_t asUInt() const { return std::get<std::uint64_t>(v_); }
  std::int64_t asInt() const { return std::get<std::int64_t>(v_); }
  double asDouble() const { return std::get<double>(v_); }
  const zeplog::Decimal& asDecimal() const {
    return *std::get<std::shared_ptr<const zeplog::Decimal>>(v_);
  }
  const std::string& asString() const { return std::get<std::string>(v_); }
  std::string& asString() { return std::get<std::string>(v_); }
  const zeplog::Bytes& asBytes() const { return std::get<zeplog::Bytes>(v_); }
  const std::shared_ptr<Array>& asArray() const { return std::get<std::shared_ptr<Array>>(v_); }
  const std::shared_ptr<Object>& asObject() const { return std::get<std::shared_ptr<Object>>(v_); }
  const std::shared_ptr<const Opaque>& asOpaque() const {
    return std::get<std::shared_ptr<const Opaque>>(v_);
  }

  // Deep equality: containers compare by content; numbers compare within their kind.
  friend ZEPLOG_API bool operator==(const Value& a, const Value& b);

 private:
  // Alternatives in Kind order. The rarely used Decimal is held behind a pointer so that it
  // does not widen every Value; it is immutable, so copies may share it.
  std::variant<Null, bool, std::uint64_t, std::int64_t, double,
               std::shared_ptr<const zeplog::Decimal>, std::string, zeplog::Bytes,
               std::shared_ptr<Array>, std::shared_ptr<Object>, std::shared_ptr<const Opaque>>
      v_;
};

}  // namespace zeplog::json
