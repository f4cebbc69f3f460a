// Process-wide objects that are made before the program runs and never destroyed.
#pragma once

#include <utility>

namespace zeplog::detail {

// Holds a T that is never destroyed. Declared `constinit` at namespace scope, the T is made
// at compile time (its constructor must be constexpr for those arguments): there is no
// first-use initialisation to race with, and so nothing half made that a forked child could
// inherit from a thread that does not exist in it. A function-local static is made by its
// first caller under a guard; a child forked while another thread is inside that guard waits
// for it forever. Never destroyed, so threads still running during exit can use it.
template <typename T>
union NoDestructor {
  template <typename... Args>
  constexpr explicit NoDestructor(Args&&... args) : value(std::forward<Args>(args)...) {}
  ~NoDestructor() {}
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T value;
};

}  // namespace zeplog::detail
