// Network latency probes: the probe thread and what it reports.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "queue/network_data.hpp"

namespace zeplog::detail {

// The URL a probe requests: the URL in its normal form (normaliseHttpUrl: lower-case scheme,
// the scheme's port after a host that names none, every other piece kept as it is, a
// trailing "/" included). Nothing for a URL of any other scheme or without a host: such a
// URL is never requested.
std::optional<std::string> normaliseProbeURL(std::string_view url);

// Runs one probe: skips it (with a console line) when its handle id names no handle, or
// when the handle's NetworkPulse switch is off; otherwise requests the URL (only http and
// https, never another scheme), times it and queues the "NETWORKPULSES" result event.
void runProbe(const NetworkData& probe);

// Starts the probe thread, which runs runProbe for every item of the probe queue, in
// order, for the life of the process. The caller holds global_resource_lock.
void startProbeThread();

// The probe thread's std::thread (at most one), kept for the process and never joined.
// Guarded by global_resource_lock.
std::vector<std::thread>& gs_logPerformanceSendThreads();

}  // namespace zeplog::detail
