// What a log call reads of its handle, readable without global_resource_lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// One handle as log calls see it: immutable, made from the handle's record whenever the
// record's identity changes. Holds what every event of the handle takes from it at the call;
// anything else derived once per change of the record (text written ahead for the send
// path, say) belongs here too.
// The handle's rate-limit bucket (queue/call_limits.hpp): the time it is full again, in
// steady-clock nanoseconds. Lives as long as the handle: each new view of the handle takes
// the one of the view it replaces, so the bucket outlives every view.
struct RateBucket {
  std::atomic<std::int64_t> fullAt{0};
};
struct HandleView {
  VelaEventIdentityPtr identity;       // never null
  std::shared_ptr<RateBucket> bucket;  // never null
};
using HandleViewPtr = std::shared_ptr<const HandleView>;

// The identity of a registered handle now; nullptr for an unknown id or before the first
// initialisation. Takes no lock (falls back to global_resource_lock only on a thread that
// found no reader slot free) and copies one pointer: the view itself is not shared.
// With `bucket`, also points it at the handle's rate-limit bucket (nullptr for an unknown
// id): every view of a handle shares one bucket and handles are never removed, so it stays
// valid after the read, for the life of the process.
VelaEventIdentityPtr handleIdentity(std::string_view handleId, RateBucket** bucket = nullptr);

// Marks the views out of date. Called, with global_resource_lock held, after every change
// of the table or of a record's identity; the views are made afresh from the table when the
// outermost hold of the lock ends, so readers without the lock never see a handle half made
// (an initialisation registers the record, then fills it in), and sooner for a log call
// made under the lock.
void handleViewsChangedLocked();

// Versions of the views replaced but not yet freed because a reader held them (for tests).
// Caller holds global_resource_lock.
std::size_t retiredHandleViewsLocked();

}  // namespace zeplog::detail
