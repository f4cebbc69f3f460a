// Random UUIDs.
#pragma once

#include <string>

namespace zeplog::detail {

// A version-4 UUID from the kernel's CSPRNG in canonical upper-case form
// ("XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX"); "" when no random bytes can be had.
std::string generateUUID();

}  // namespace zeplog::detail
