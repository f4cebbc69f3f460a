// The handle registry: handle id to handle record.
#pragma once

#include <memory>

#include "zeplog/text.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// Registers a new record with defaults under the id, replacing any record there. Takes
// global_resource_lock itself. An id that is not valid UTF-8 is refused with a line: two
// such ids could otherwise name one handle.
void setHandler(Text handleId);
// The live record of the handle, or none before initialisation or for an unknown id. Takes
// global_resource_lock itself; its members are guarded by that lock.
std::shared_ptr<kstVelaHandle> getHandler(Text handleId);
// A copy of the handle's record (custom fields included) made under global_resource_lock,
// which the caller owns and may read without the lock; none as for getHandler.
std::shared_ptr<const kstVelaHandle> snapshotHandler(Text handleId);

}  // namespace zeplog::detail
