// The handle registry: handle id to handle record.
#pragma once

#include <memory>

#include "zeplog/text.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// Registers a new record with defaults under the id, replacing any record there. Takes
// global_resource_lock itself.
void setHandler(Text handleId);
// The live record of the handle, or none before initialisation or for an unknown id. Takes
// global_resource_lock itself; its members are guarded by that lock.
std::shared_ptr<kstVelaHandle> getHandler(Text handleId);

}  // namespace zeplog::detail
