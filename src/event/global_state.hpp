// The library's process-wide state.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/global_lock.hpp"
#include "event/batch.hpp"
#include "event/json/key_hash.hpp"
#include "zeplog/ordered_map.hpp"
#include "zeplog/vela_event.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// Hashes std::string and std::string_view alike, so a lookup by a view of the caller's text
// makes no string. The short-key hash of the ordered map: handle ids are short, and every log
// call looks one up under the global lock.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return static_cast<std::size_t>(hashKeyBytesInline(s, keyHashSeed()));
  }
};
// A registry entry: the handle's live record, and the identity its events share. The
// identity is never changed in place: every change of the record's project name, version,
// log type or log source replaces it (refreshIdentityLocked), so an event made earlier keeps
// the one it was made with.
struct HandleEntry {
  std::shared_ptr<kstVelaHandle> record;
  VelaEventIdentityPtr identity;
};
using HandleTable = std::unordered_map<std::string, HandleEntry, TextHash, std::equal_to<>>;
// Duplicate tables: key to a count written as decimal text.
using CountTable = OrderedMap<std::string>;

// A switch that holds the send thread while it is set (gs_SyncSend, gs_ThreadStop). Reads and
// writes like std::atomic<bool>; a store also wakes the send thread waiting in
// waitWhileSendHeld(), so a held thread sleeps on a condition instead of polling the switch.
class SendHold {
 public:
  bool load() const noexcept { return on_.load(); }
  void store(bool on);

 private:
  std::atomic<bool> on_{false};
};

// What the event layer shares across threads: the handles, the batches, the duplicate
// tables and the process switches. (The event queue is the queue layer's, the thread lists
// the delivery and settings layers'.) Created while the library loads and never destroyed,
// so that a late log call during exit() never touches a destroyed object. Unless noted, every
// member is guarded by global_resource_lock().
struct GlobalState {
  bool gs_commonInit = false;
  // Written under the lock; atomic because other threads read them between cycles.
  std::atomic<bool> gs_isInit{false};
  SendHold gs_SyncSend;    // sync-start hold: set by init, cleared by startSendThread
  SendHold gs_ThreadStop;  // set while the settings thread applies a handle's settings
  bool gs_isUnity = false;
  std::int32_t gs_current_index = 0;
  bool gs_crashReporterFlag = false;
  bool gs_logSendThreadFlag = false;
  bool gs_performanceThreadFlag = false;
  // Host reporting switch: written and read without the lock by design.
  std::atomic<bool> gs_enablehost{true};

  std::optional<HandleTable> gs_handle_table;  // absent before the first initialisation
  std::shared_ptr<kstVelaHandle> gs_network_handle;
  std::optional<OrderedMap<std::shared_ptr<Batch>>> gs_bulkObjectManager;
  std::optional<CountTable> deDuplicateQueue;
  std::optional<CountTable> deDuplicateCrashQueue;
};

GlobalState& globals();

// Blocks while gs_SyncSend or gs_ThreadStop is set. Called without global_resource_lock.
void waitWhileSendHeld();

// The registry entry of a handle id, or nullptr (also before the first initialisation).
// The caller holds global_resource_lock(); the entry stays valid because the registry only
// grows and never replaces an entry's record except through kst_setHandler.
const HandleTable::value_type* findHandleLocked(std::string_view handleId);
// Replaces the handle's event identity with one made from its record now. Called, with
// global_resource_lock held, after every change of the record's identity members.
void refreshIdentityLocked(std::string_view handleId);

// The 26 names an application may not use as custom-field keys (the process-wide reserved
// list: a constant, so it needs no building at initialisation and no lock).
std::span<const std::string_view> reservedFieldNames();
// The seven system custom fields that removal never touches.
bool isProtectedSystemKey(std::string_view key);
bool isReservedFieldName(std::string_view key);

}  // namespace zeplog::detail
