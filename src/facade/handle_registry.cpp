// The handle registry and the process-wide switches.
#include "event/handle_registry.hpp"
#include "event/global_state.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::kst_setHandler(Text handleId) { detail::setHandler(handleId); }

std::shared_ptr<const kstVelaHandle> ZEPLog::kst_getHandler(Text handleId) {
  return detail::snapshotHandler(handleId);
}

void ZEPLog::setDebugMode(bool /*enabled*/) {}

void ZEPLog::enableHost(bool enabled) { detail::globals().gs_enablehost.store(enabled); }

void ZEPLog::startSendThread() {
  detail::GlobalLock lock(detail::global_resource_lock());
  detail::globals().gs_SyncSend.store(false);
}

}  // namespace zeplog
