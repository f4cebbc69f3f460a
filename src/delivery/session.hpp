// Session events.
#pragma once

#include <memory>

#include "event/global_state.hpp"
#include "zeplog/text.hpp"
#include "zeplog/vela_event.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// Queues the handle's session event (level "INFO", message "SESSION").
void createSession(Text handleId);

// Ends the handle's session after a Unity crash event was added to the batch: the handle
// gets a new session id, and a session event of the new session is appended to the batch
// right after the crash event, so both travel in one request. A crash already seen twice
// while collapsing is on changes nothing; a crash event restored from an earlier run's file
// ("errorRate") renews the id but adds no session event. The caller (the send thread) holds
// global_resource_lock.
void regenerateSession(const VelaEventPtr& crashEvent, std::vector<VelaEventPtr>& batch,
                       const std::shared_ptr<kstVelaHandle>& handle);

}  // namespace zeplog::detail
