// Unity crash path: crash events of handle "0" and the crash duplicate table.
#pragma once

#include <cstdint>
#include <memory>

#include "zeplog/text.hpp"
#include "zeplog/vela_event.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// Queues a crash event for handle "0"; level and type are accepted and not used.
void sendUnityCrash(Text level, Text type, Text message, Text exception);
// The crash duplicate check of the send filter: true = send.
bool checkUnityCrash(const VelaEventPtr& event, const std::shared_ptr<const kstVelaHandle>& handle);
// Stores a count in the crash duplicate table, making room first when it is full.
void InsertCrashQueue(Text key, std::int32_t value);

}  // namespace zeplog::detail
