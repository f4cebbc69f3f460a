// The wall clock in the library's unit.
#pragma once

#include <chrono>
#include <cstdint>

namespace zeplog::detail {

// Milliseconds since 1970-01-01 UTC, truncated.
inline std::int64_t nowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace zeplog::detail
