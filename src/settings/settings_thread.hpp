// The remote-settings thread: fetches each new handle's settings and applies them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// Starts the settings thread and the probe thread once per process. False when they run
// already (gs_performanceThreadFlag), before the first initialisation made the queue, or
// when a thread can't be started; the next call then tries again. The caller holds
// global_resource_lock.
//
// startSendThread starts the log send thread (later calls must do nothing). The settings
// thread calls it with global_resource_lock held after every fetch, whatever its outcome,
// just before it releases the settings hold.
bool createPerformanceThread(std::function<void()> startSendThread);

// The settings thread's std::thread (at most one), kept for the process and never joined.
// Guarded by global_resource_lock.
std::vector<std::thread>& gs_logPerformanceThreads();

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
