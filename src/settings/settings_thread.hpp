// The remote-settings thread: fetches each new handle's settings and applies them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// What the settings thread asks of the rest of the library. Both are called with
// global_resource_lock held, after every settings fetch (whatever its outcome), and must
// not block.
struct SettingsHooks {
  // Starts the log send thread; later calls must do nothing.
  std::function<void()> startSendThread;
  // Tells the send thread that the settings hold (gs_ThreadStop) has just been released,
  // so that a send thread waiting for it goes on. May be empty.
  std::function<void()> holdReleased;
};

// Starts the settings thread and the probe thread once per process. False when they run
// already (gs_performanceThreadFlag) or a thread can't be started; the next call then tries
// again. The caller holds global_resource_lock.
bool createPerformanceThread(SettingsHooks hooks);

// Reads a settings text and applies it to the handle: its switches (NetworkPulse, crash,
// log, session, each on exactly when its value reads as true) and, when NetworkPulse is
// then on, one probe per URL on the probe queue for handleId. A text that breaks off
// part-way (a value that is not an object where one is needed, a value without a boolean
// reading) turns log, session and crash on and leaves NetworkPulse as far as it got. Takes
// global_resource_lock itself. Returns the handle.
std::shared_ptr<kstVelaHandle> fillHandlerBySettings(std::shared_ptr<kstVelaHandle> handle,
                                                     const std::optional<std::string>& text,
                                                     std::string_view handleId);

}  // namespace zeplog::detail
