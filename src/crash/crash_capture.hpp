// Native crash capture.
#pragma once

namespace zeplog::detail {

// Installs crash capture for the process. Called once, by the first ordinary
// initialisation that asks for it.
void enableSendCrashReport();

}  // namespace zeplog::detail
