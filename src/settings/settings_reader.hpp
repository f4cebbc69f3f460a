// Reading a remote-settings answer: its switches, its probe URLs and its status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zeplog/json_value.hpp"

namespace zeplog::detail {

// The boolean reading of one settings value.
//   absent (nullptr)        false
//   JSON true / false       itself
//   a number                true when non-zero
//   a string                true when, after leading blanks, an optional sign and leading
//                           zeros, it begins with Y, y, T, t or a digit 1-9
// Anything else (null, an array, an object) has no boolean reading: nullopt.
std::optional<bool> booleanReading(const json::Value* value);

// What a settings text says, read in the order the switches are applied. The answer's
// shape is checked step by step as the switches are read; `failed` marks the step where the
// text stopped making sense (a container where a value was expected, a value without a
// boolean reading, "urls" that is not a list), and every switch from that step on is unset.
struct SettingsReading {
  // The switches in the order they are applied; unset from the failing step on.
  std::optional<bool> isNetworkPulse;
  std::optional<bool> isCrash;
  std::optional<bool> isLog;
  std::optional<bool> isSession;
  // The probe URLs, in order; elements that are not strings are left out. Meaningful only
  // when the text did not fail.
  std::vector<std::string> urls;
  bool failed = false;
};

// Reads a settings text. Text that is not JSON (or absent) reads as every value missing,
// which turns every switch off.
SettingsReading readSettings(const std::optional<std::string>& text);

// The integer at "status" of a settings answer body.
//   0        the body is not JSON, or an object without "status"
//   nullopt  the body is JSON but "status" can't be read (the body is not an object, or
//            the value is null, a list or an object); *why says what was wrong
std::optional<std::int64_t> readSettingsStatus(std::string_view body, std::string* why);

}  // namespace zeplog::detail
