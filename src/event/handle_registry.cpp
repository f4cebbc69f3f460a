#include "event/handle_registry.hpp"

#include "common/console.hpp"
#include "common/utf8.hpp"
#include "event/global_state.hpp"

namespace zeplog::detail {

// Both operations take global_resource_lock themselves (it is re-entrant, so callers that
// already hold it are unaffected). Log calls look their handle up from any thread while
// another thread may register one; under the lock a lookup sees the registry either before
// or after a registration, never during.
void setHandler(Text handleId) {
  if (handleId.absent()) {
    ZEP_CONSOLE("handlerName is null");
    return;
  }
  GlobalLock lock(global_resource_lock());
  auto& table = globals().gs_handle_table;
  if (!table) return;
  (*table)[toValidUtf8(handleId.view())] = std::make_shared<kstVelaHandle>();
}

std::shared_ptr<kstVelaHandle> getHandler(Text handleId) {
  if (handleId.absent()) {
    ZEP_CONSOLE("handlerName is null");
    return nullptr;
  }
  GlobalLock lock(global_resource_lock());
  const auto* entry = findHandleLocked(handleId.view());
  return entry ? entry->second : nullptr;
}

const HandleTable::value_type* findHandleLocked(std::string_view handleId) {
  const auto& table = globals().gs_handle_table;
  if (!table) return nullptr;
  // Registered ids are valid UTF-8 (repaired when registered); a lookup by invalid bytes is
  // repaired the same way so it finds what registration stored.
  auto it = isValidUtf8(handleId) ? table->find(handleId) : table->find(repairUtf8(handleId));
  return it == table->end() ? nullptr : &*it;
}

}  // namespace zeplog::detail
