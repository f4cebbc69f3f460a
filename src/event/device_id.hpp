// The persistent device id.
#pragma once

#include <optional>
#include <string>

namespace zeplog::detail {

// Path of the device-id file in the data directory.
std::string deviceIdFilePath();
// The device id, minted and stored on first use; none when it can't be had.
std::optional<std::string> getDeviceID();

}  // namespace zeplog::detail
