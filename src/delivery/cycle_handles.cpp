#include "delivery/cycle_handles.hpp"

#include <iterator>

#include "common/console.hpp"
#include "delivery/before_send.hpp"
#include "event/common_fields.hpp"
#include "transport/otlp_exporters.hpp"

namespace zeplog::detail {

bool CycleHandles::commonDeferrable() {
  if (!consoleSilenced() || beforeSendInstalled()) return false;
  GlobalLock lock(global_resource_lock());
  return !globals().gs_isUnity;
}

bool CycleHandles::jsonDeferrable() { return collectorRequestSkipped(*otlpTargets()); }

const CycleHandles::Handle* CycleHandles::handle(const std::string& id) {
  for (const Handle& h : handles_) {
    if (h.id == id) return h.record ? &h : nullptr;
  }
  Handle& h = handles_.emplace_back();
  h.id = id;
  Fields common;
  {
    GlobalLock lock(global_resource_lock());
    const auto* entry = findHandleLocked(id);
    if (!entry || !entry->second.record) return nullptr;
    h.record = entry->second.record;
    h.switches = FilterSwitches::ofLocked(*h.record);
    if (deferCommon_) addCommonFieldsOf(common, *h.record, nullptr);
  }
  // Written outside the lock: it is the one piece of per-handle work that takes time.
  if (deferCommon_) h.common = CommonFragment::make(std::move(common));
  return &h;
}

Batch* CycleHandles::batch(const OptText& project) {
  if (!project) return nullptr;
  for (ProjectBatch& b : batches_) {
    if (b.project == *project) return b.known ? &b.batch : nullptr;
  }
  ProjectBatch& b = batches_.emplace_back();
  b.project = *project;
  GlobalLock lock(global_resource_lock());
  const auto& table = globals().gs_bulkObjectManager;
  const std::shared_ptr<Batch>* shared = table ? table->find(*project) : nullptr;
  b.known = shared && *shared;
  return b.known ? &b.batch : nullptr;
}

void CycleHandles::publish() {
  GlobalLock lock(global_resource_lock());
  auto& table = globals().gs_bulkObjectManager;
  for (ProjectBatch& b : batches_) {
    if (b.batch.empty()) continue;
    std::shared_ptr<Batch>* shared = table ? table->find(b.project) : nullptr;
    // Projects keep their batch for the life of the process; a forked child empties it,
    // which leaves it in place.
    if (shared && *shared) {
      Batch& to = **shared;
      if (to.empty()) {
        to = std::move(b.batch);  // with the body written so far
      } else {
        to.events.insert(to.events.end(), std::make_move_iterator(b.batch.events.begin()),
                         std::make_move_iterator(b.batch.events.end()));
        to.common.insert(to.common.end(), std::make_move_iterator(b.batch.common.begin()),
                         std::make_move_iterator(b.batch.common.end()));
        to.bytes += b.batch.bytes;
      }
    }
    b.batch.clear();
  }
}

}  // namespace zeplog::detail
