// Switch arguments of the initialisation forms.
#pragma once

namespace zeplog {

// Strong switch types: a string literal or an integer can never reach a switch parameter,
// so init(url, key, version, "user-1") is always the user-id form.
enum class SyncStart : bool { Off = false, On = true };
enum class CrashCapture : bool { Off = false, On = true };

}  // namespace zeplog
