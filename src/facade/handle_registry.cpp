// The handle registry and the process-wide switches.
#include <mutex>

#include "common/console.hpp"
#include "facade/global_state.hpp"
#include "facade/text_rules.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

// Both operations take global_resource_lock themselves (it is re-entrant, so callers that
// already hold it are unaffected). Log calls look their handle up from any thread while
// another thread may register one; under the lock a lookup sees the registry either before
// or after a registration, never during.
void ZEPLog::kst_setHandler(Text handleId) {
  if (handleId.absent()) {
    ZEP_CONSOLE("handlerName is null");
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(detail::global_resource_lock());
  auto& table = detail::globals().gs_handle_table;
  if (!table) return;
  (*table)[detail::toValidUtf8(handleId.view())] = std::make_shared<kstVelaHandle>();
}

std::shared_ptr<kstVelaHandle> ZEPLog::kst_getHandler(Text handleId) {
  if (handleId.absent()) {
    ZEP_CONSOLE("handlerName is null");
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(detail::global_resource_lock());
  const auto* entry = detail::findHandleLocked(handleId.view());
  return entry ? entry->second : nullptr;
}

namespace detail {

const HandleTable::value_type* findHandleLocked(std::string_view handleId) {
  const auto& table = globals().gs_handle_table;
  if (!table) return nullptr;
  // Registered ids are valid UTF-8 (repaired when registered); a lookup by invalid bytes is
  // repaired the same way so it finds what registration stored.
  auto it = isValidUtf8(handleId) ? table->find(handleId) : table->find(repairUtf8(handleId));
  return it == table->end() ? nullptr : &*it;
}

}  // namespace detail

void ZEPLog::setDebugMode(bool /*enabled*/) {}

void ZEPLog::enableHost(bool enabled) { detail::globals().gs_enablehost.store(enabled); }

void ZEPLog::startSendThread() {
  std::lock_guard<std::recursive_mutex> lock(detail::global_resource_lock());
  detail::globals().gs_SyncSend.store(false);
}

}  // namespace zeplog
