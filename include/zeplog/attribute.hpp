// Typed key-value attributes of a log call.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace zeplog {

// One attribute value: text, a 64-bit signed integer, a double or a bool. A non-owning
// view, like Text: its text lives as long as the argument it was made from, which is the
// duration of the log call (the call copies what it keeps).
//
//   AttributeValue("GET")      text           AttributeValue(42)    integer
//   AttributeValue(size_t{5})  integer 5      AttributeValue(0.5)   double
//   AttributeValue(true)       bool           AttributeValue(nullptr) text ""
//
// An unsigned integer above INT64_MAX becomes INT64_MAX; a pointer other than a char
// pointer does not convert (it would otherwise pick the bool form).
class AttributeValue {
 public:
  enum class Type : std::uint8_t { Text, Int, Double, Bool };

  // Empty text.
  constexpr AttributeValue() noexcept : type_(Type::Text), text_() {}
  constexpr AttributeValue(std::string_view text) noexcept : type_(Type::Text), text_(text) {}
  constexpr AttributeValue(const char* text) noexcept
      : type_(Type::Text), text_(text ? std::string_view(text) : std::string_view()) {}
  AttributeValue(const std::string& text) noexcept : type_(Type::Text), text_(text) {}
  constexpr AttributeValue(bool value) noexcept : type_(Type::Bool), boolean_(value) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) constexpr AttributeValue(T value) noexcept
      : type_(Type::Int), integer_(clampToInt64(value)) {}
  template <std::floating_point T>
  constexpr AttributeValue(T value) noexcept : type_(Type::Double), number_(value) {}
  template <typename T>
  AttributeValue(const T*) = delete;  // no pointer becomes a bool by accident

  constexpr Type type() const noexcept { return type_; }
  // Each reads its own type's value; "", 0, 0.0 or false for another type.
  constexpr std::string_view text() const noexcept {
    return type_ == Type::Text ? text_ : std::string_view();
  }
  constexpr std::int64_t integer() const noexcept { return type_ == Type::Int ? integer_ : 0; }
  constexpr double number() const noexcept { return type_ == Type::Double ? number_ : 0.0; }
  constexpr bool boolean() const noexcept { return type_ == Type::Bool && boolean_; }

 private:
  template <typename T>
  static constexpr std::int64_t clampToInt64(T value) noexcept {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
      return value > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(value);
    } else {
      return static_cast<std::int64_t>(value);
    }
  }

  Type type_;
  union {
    std::string_view text_;
    std::int64_t integer_;
    double number_;
    bool boolean_;
  };
};

// A key and its value, as a log call takes them: ZEPLog::log(Level::Info, "served",
// {{"http.route", "/users"}, {"bytes", n}, {"cached", true}}).
struct Attribute {
  std::string_view key;
  AttributeValue value;
};

// What a log call keeps of its attributes. More attributes than kMaxAttributes are left out;
// a key longer than kMaxKeyBytes and a text value longer than kMaxTextBytes are cut to it (at
// a character boundary). Each cut and each attribute left out is counted
// (Counter::AttributesCut). An attribute with an empty key is left out and counted.
inline constexpr std::size_t kMaxAttributes = 32;
inline constexpr std::size_t kMaxAttributeKeyBytes = 128;
inline constexpr std::size_t kMaxAttributeTextBytes = 4096;

}  // namespace zeplog
