// Errors reported by the JSON writer and reader.
#pragma once

#include <cstdint>
#include <string>

#include "zeplog/export.hpp"
#include "zeplog/json_value.hpp"

namespace zeplog {

// An error with a domain, a signed code and a user-info dictionary. The description, when
// there is one, is under kErrorDescriptionKey; the JSON reader adds "line", "character",
// "location" (unsigned numbers) and "snippet" (text).
struct ZEPLOG_API Error {
  std::string domain;
  std::int64_t code = 0;
  json::Object userInfo;

  // The description text, or "" when the error has none.
  std::string localizedDescription() const;
};

inline constexpr const char* kErrorDescriptionKey = "NSLocalizedDescription";

}  // namespace zeplog
