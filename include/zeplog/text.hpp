// Optional text arguments of the public API.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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
class Text {
 public:
  constexpr Text() noexcept = default;
  constexpr Text(std::nullptr_t) noexcept {}
  constexpr Text(std::nullopt_t) noexcept {}
  constexpr Text(const char* s) noexcept
      : view_(s ? std::string_view(s) : std::string_view()), present_(s != nullptr) {}
  constexpr Text(std::string_view s) noexcept : view_(s), present_(true) {}
  Text(const std::string& s) noexcept : view_(s), present_(true) {}
  Text(const std::optional<std::string>& s) noexcept
      : view_(s ? std::string_view(*s) : std::string_view()), present_(s.has_value()) {}

  // No boolean or integer ever binds to a text parameter by accident.
  Text(bool) = delete;

  constexpr bool present() const noexcept { return present_; }
  constexpr bool absent() const noexcept { return !present_; }
  // True when absent or "": the library's emptiness test for text arguments.
  constexpr bool emptyOrAbsent() const noexcept { return !present_ || view_.empty(); }
  constexpr std::string_view view() const noexcept { return view_; }
  std::string str() const { return std::string(view_); }
  std::optional<std::string> optional() const {
    return present_ ? std::optional<std::string>(std::string(view_)) : std::nullopt;
  }

  friend constexpr bool operator==(const Text& a, std::string_view b) noexcept {
    return a.present_ && a.view_ == b;
  }

 private:
  std::string_view view_;
  bool present_ = false;
};

}  // namespace zeplog
