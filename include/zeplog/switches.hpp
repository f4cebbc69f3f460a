// Switch arguments of the initialisation forms.
#pragma once

#include <concepts>
#include <type_traits>

namespace zeplog {

// Any type but bool: the boolean switches of the facade delete their overloads for these,
// so neither a string literal nor an integer silently becomes a switch value.
template <typename T>
concept NotBool = !std::same_as<std::remove_cvref_t<T>, bool>;

// Strong switch types: a string literal or an integer can never reach a switch parameter,
// so init(url, key, version, "user-1") is always the user-id form.
enum class SyncStart : bool { Off = false, On = true };
enum class CrashCapture : bool { Off = false, On = true };

}  // namespace zeplog
