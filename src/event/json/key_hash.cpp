#include "event/json/key_hash.hpp"

#include <sys/random.h>

#include <ctime>

#include "zeplog/ordered_map.hpp"

namespace zeplog::detail {

std::uint64_t hashKeyBytes(std::string_view key, std::uint64_t seed) noexcept {
  return hashKeyBytesInline(key, seed);
}

// Drawn once from the kernel's random source, or, before that has entropy, from the clock
// and an address. One seed for the process: the maps of the library and of the application
// call this one function, wherever their inline code runs.
std::uint64_t keyHashSeed() noexcept {
  static const std::uint64_t seed = [] {
    std::uint64_t s = 0;
    if (getrandom(&s, sizeof s, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof s)) {
      std::timespec ts{};
      std::timespec_get(&ts, TIME_UTC);
      s = (static_cast<std::uint64_t>(ts.tv_sec) << 30) ^ static_cast<std::uint64_t>(ts.tv_nsec) ^
          reinterpret_cast<std::uintptr_t>(&s);
    }
    return s;
  }();
  return seed;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_keyHashSeedMadeAtLoad = (static_cast<void>(keyHashSeed()), true);

}  // namespace zeplog::detail
