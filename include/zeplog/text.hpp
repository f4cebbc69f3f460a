// Optional text arguments of the public API.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace zeplog {

// A text argument that may be absent. Absent differs from "" in several operations (an
// absent user id changes nothing; an absent custom-field value becomes "-"), so the API
// takes this instead of std::string. It is a non-owning view: it lives only as long as the
// argument it was made from, which is the duration of the call.
//
//   Text()            absent
//   Text(nullptr)     absent
//   Text((char*)0)    absent
//   Text("")          present and empty
//
// Sixteen bytes, trivially copyable: passed in two registers. An absent text is the null
// pointer; a present text never holds one (an empty view of nothing points at a static "").
class Text {
 public:
  constexpr Text() noexcept = default;
  constexpr Text(std::nullptr_t) noexcept {}
  constexpr Text(std::nullopt_t) noexcept {}
  constexpr Text(const char* s) noexcept
      : data_(s), size_(s ? std::char_traits<char>::length(s) : 0) {}
  constexpr Text(std::string_view s) noexcept : data_(s.data() ? s.data() : ""), size_(s.size()) {}
  Text(const std::string& s) noexcept : data_(s.data()), size_(s.size()) {}
  Text(const std::optional<std::string>& s) noexcept
      : data_(s ? s->data() : nullptr), size_(s ? s->size() : 0) {}

  // No boolean or integer ever binds to a text parameter by accident.
  Text(bool) = delete;

  constexpr bool present() const noexcept { return data_ != nullptr; }
  constexpr bool absent() const noexcept { return data_ == nullptr; }
  // True when absent or "": the library's emptiness test for text arguments.
  constexpr bool emptyOrAbsent() const noexcept { return size_ == 0; }
  constexpr std::string_view view() const noexcept { return std::string_view(data_, size_); }
  std::string str() const { return std::string(view()); }
  std::optional<std::string> optional() const {
    return present() ? std::optional<std::string>(std::string(view())) : std::nullopt;
  }

  friend constexpr bool operator==(const Text& a, std::string_view b) noexcept {
    return a.present() && a.view() == b;
  }

 private:
  const char* data_ = nullptr;  // null: absent
  std::size_t size_ = 0;
};
static_assert(sizeof(Text) == 2 * sizeof(void*) && std::is_trivially_copyable_v<Text>);

}  // namespace zeplog
