// The API boundary: nothing the library throws reaches the application.
#pragma once

#include <exception>
#include <utility>

#include "common/console.hpp"
#include "common/fork_locks.hpp"

namespace zeplog::detail {

// Runs body and returns its result; an exception it throws (in practice only an allocation
// failure) becomes a console line naming the operation, and the fallback is returned. The
// catch path allocates nothing, so a failed allocation can't fail it again; the fallback is
// moved out, so it should be a value whose move can't throw (no allocation: "", nullopt).
// In a forked child the first guarded call first restarts the library's threads.
template <typename R, typename Body>
R guarded(const char* operation, R fallback, Body&& body) noexcept {
  try {
    restartIfForkedChild();  // a forked child's first call brings its threads back
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    consoleFailureLine(__LINE__, operation, e.what());
  } catch (...) {
    consoleFailureLine(__LINE__, operation, "unknown");
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
