#include "event/handle_views.hpp"

#include <string>
#include <unordered_map>

#include "common/global_lock.hpp"
#include "common/no_destructor.hpp"
#include "common/snapshot_cell.hpp"
#include "event/global_state.hpp"

namespace zeplog::detail {
namespace {

// Handle id to view; one version per change, never changed once published.
using HandleViews = std::unordered_map<std::string, HandleViewPtr, TextHash, std::equal_to<>>;

// Made at compile time, not by the first log call (a child forked while a thread made it
// would wait for that thread forever), and never destroyed: log calls at exit.
constinit NoDestructor<SnapshotCell<HandleViews>> g_views;
SnapshotCell<HandleViews>& views() { return g_views.value; }

const HandleViewPtr* lookUp(const HandleViews* table, std::string_view handleId) {
  if (!table) return nullptr;
  auto it = table->find(handleId);
  return it == table->end() ? nullptr : &it->second;
}

VelaEventIdentityPtr identityIn(const HandleViews* table, std::string_view handleId,
                                RateBucket** bucket) {
  const HandleViewPtr* view = lookUp(table, handleId);
  if (bucket) *bucket = view ? (*view)->bucket.get() : nullptr;
  return view ? (*view)->identity : nullptr;
}

bool stale = false;  // guarded by global_resource_lock: the table changed since the last publish

void publishIfStale() {
  if (!stale) return;
  const auto& table = globals().gs_handle_table;
  auto next = std::make_unique<HandleViews>();
  if (table) {
    const HandleViews* now = views().current();
    next->reserve(table->size());
    for (const auto& [id, entry] : *table) {
      if (!entry.identity) continue;
      // A handle whose identity did not change keeps its view.
      const HandleViewPtr* kept = lookUp(now, id);
      HandleViewPtr view = kept ? *kept : nullptr;
      if (!view || view->identity != entry.identity)
        view = std::make_shared<const HandleView>(
            HandleView{entry.identity, view ? view->bucket : std::make_shared<RateBucket>()});
      next->emplace(id, std::move(view));
    }
  }
  views().publish(std::move(next));
  stale = false;
}

}  // namespace

VelaEventIdentityPtr handleIdentity(std::string_view handleId, RateBucket** bucket) {
  if (GlobalResourceLock::heldByThisThread()) {
    publishIfStale();  // a change this thread made in its hold is already visible to it
    return identityIn(views().current(), handleId, bucket);
  }
  VelaEventIdentityPtr found;
  if (views().tryRead(
          [&](const HandleViews* table) { found = identityIn(table, handleId, bucket); }))
    return found;
  GlobalLock lock(global_resource_lock());
  return identityIn(views().current(), handleId, bucket);
}

void handleViewsChangedLocked() {
  stale = true;
  GlobalResourceLock::runBeforeRelease(&publishIfStale);
}

std::size_t retiredHandleViewsLocked() { return views().retiredCount(); }

}  // namespace zeplog::detail
