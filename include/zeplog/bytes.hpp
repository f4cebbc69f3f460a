// Byte data values.
#pragma once

#include <compare>
#include <string>
#include <string_view>

namespace zeplog {

// A run of bytes that holds (normally UTF-8) text, kept apart from text values because the
// difference is observable: the duplicate keys of the send filter read only byte data, and
// the JSON writer decodes byte data as UTF-8 before writing it.
struct Bytes {
  std::string data;

  Bytes() = default;
  explicit Bytes(std::string d) : data(std::move(d)) {}
  explicit Bytes(std::string_view d) : data(d) {}
  explicit Bytes(const char* d) : data(d) {}

  std::string_view view() const noexcept { return data; }
  std::size_t size() const noexcept { return data.size(); }
  bool empty() const noexcept { return data.empty(); }
  friend bool operator==(const Bytes&, const Bytes&) = default;
  friend auto operator<=>(const Bytes&, const Bytes&) = default;
};

}  // namespace zeplog
