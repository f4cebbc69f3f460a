// The API boundary: nothing the library throws reaches the application.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "common/console.hpp"

namespace zeplog::detail {

// Runs body and returns its result; an exception it throws (in practice only an allocation
// failure) becomes a console line naming the operation, and the fallback is returned.
template <typename R, typename Body>
R guarded(const char* operation, R fallback, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    consoleLine(__LINE__, std::string(operation) + " exception : " + e.what());
  } catch (...) {
    consoleLine(__LINE__, std::string(operation) + " exception : unknown");
  }
  return fallback;
}

template <typename Body>
void guarded(const char* operation, Body&& body) noexcept {
  guarded<bool>(operation, false, [&] {
    std::forward<Body>(body)();
    return true;
  });
}

}  // namespace zeplog::detail
