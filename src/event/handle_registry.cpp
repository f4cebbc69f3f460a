#include "event/handle_registry.hpp"

#include "common/console.hpp"
#include "common/utf8.hpp"
#include "event/global_state.hpp"
#include "event/handle_views.hpp"
#include "event/text_rules.hpp"

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
  if (!isValidUtf8(handleId.view())) {
    ZEP_CONSOLE("invalid handleId : " + consoleText(handleId));
    return;
  }
  GlobalLock lock(global_resource_lock());
  auto& table = globals().gs_handle_table;
  if (!table) return;
  (*table)[std::string(handleId.view())].record = std::make_shared<kstVelaHandle>();
  refreshIdentityLocked(handleId.view());
}

std::shared_ptr<kstVelaHandle> getHandler(Text handleId) {
  if (handleId.absent()) {
    ZEP_CONSOLE("handlerName is null");
    return nullptr;
  }
  GlobalLock lock(global_resource_lock());
  const auto* entry = findHandleLocked(handleId.view());
  return entry ? entry->second.record : nullptr;
}

std::shared_ptr<const kstVelaHandle> snapshotHandler(Text handleId) {
  std::shared_ptr<kstVelaHandle> copy;
  {
    GlobalLock lock(global_resource_lock());
    std::shared_ptr<kstVelaHandle> live = getHandler(handleId);
    if (!live) return nullptr;
    copy = std::make_shared<kstVelaHandle>(*live);
    // The dictionary is shared by reference in the record: copy it too, so the snapshot
    // never sees a later change.
    if (live->customFields) copy->customFields = std::make_shared<Fields>(*live->customFields);
  }
  return copy;
}

const HandleTable::value_type* findHandleLocked(std::string_view handleId) {
  const auto& table = globals().gs_handle_table;
  if (!table) return nullptr;
  // Ids are kept byte-exact (registration refuses ids that are not UTF-8), so a lookup by
  // bytes that are not UTF-8 finds nothing rather than a handle whose id repairs alike.
  auto it = table->find(handleId);
  return it == table->end() ? nullptr : &*it;
}

void refreshIdentityLocked(std::string_view handleId) {
  auto& table = globals().gs_handle_table;
  if (!table) return;
  auto it = table->find(handleId);
  if (it == table->end() || !it->second.record) return;
  const kstVelaHandle& h = *it->second.record;
  it->second.identity = std::make_shared<const VelaEventIdentity>(
      VelaEventIdentity{h.projectName, h.projectVersion, h.logType, h.logSource, it->first});
  handleViewsChangedLocked();
}

}  // namespace zeplog::detail
