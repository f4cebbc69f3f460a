// The handle registry and the process-wide switches.
#include "event/handle_registry.hpp"
#include "common/guard.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::kst_setHandler(Text handleId) noexcept {
  detail::guarded("kst_setHandler", [&] {
    detail::settleStagedLogsIfFree();  // calls made before keep the record they were made on
    detail::setHandler(handleId);
  });
}

std::shared_ptr<const kstVelaHandle> ZEPLog::kst_getHandler(Text handleId) noexcept {
  return detail::guarded<std::shared_ptr<const kstVelaHandle>>(
      "kst_getHandler", nullptr, [&] { return detail::snapshotHandler(handleId); });
}

void ZEPLog::setDebugMode(bool /*enabled*/) noexcept {}

void ZEPLog::enableHost(bool enabled) noexcept { detail::globals().gs_enablehost.store(enabled); }

void ZEPLog::startSendThread() noexcept {
  detail::GlobalLock lock(detail::global_resource_lock());
  detail::globals().gs_SyncSend.store(false);
}

}  // namespace zeplog
