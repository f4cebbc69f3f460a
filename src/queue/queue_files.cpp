// Saving and restoring the event channels.
//
// The files are read and written outside every channel lock: a channel is held only to move
// its events out before a save (or back after a failed one) and to splice restored events in.
// A channel lock held across an fsync would stall every producer behind the disk (log calls
// too, whenever the main queue's stash holds events).
#include "queue/queue_files.hpp"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/console.hpp"
#include "common/files.hpp"
#include "common/upload_consent.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "queue/event_archive.hpp"
#include "queue/log_staging.hpp"

namespace zeplog {
namespace {

constexpr const char* kMainFile = "Vela2SavedLog";
constexpr const char* kFailedFile = "fileVela2SavedLog";

// A queued item as the event it stands for, and back: the failed-send queue keeps some
// events as their text, read back only here, when they go to a file.
VelaEventPtr asEvent(const VelaEventPtr& event) { return event; }
VelaEventPtr asEvent(const detail::FailedEvent& item) { return item.event(); }
template <typename Item>
Item asItem(VelaEventPtr event) {
  if constexpr (std::is_same_v<Item, VelaEventPtr>) {
    return event;
  } else {
    return Item(std::move(event));
  }
}

// The events of the items, in order; an item whose text no longer reads as an event is left
// out (it could never be restored either).
template <typename Item>
std::vector<VelaEventPtr> eventsOf(const std::vector<Item>& items) {
  std::vector<VelaEventPtr> events;
  events.reserve(items.size());
  for (const Item& item : items) {
    if (VelaEventPtr event = asEvent(item)) events.push_back(std::move(event));
  }
  return events;
}

// What the file at path will hold: the events an earlier save of this process left there
// and nobody restored since (two saves in a row: the background, then a crash or the exit),
// then `saving`, within the main queue's event bound (the oldest go first, counted). A file
// that does not decode is replaced as before: it would never restore either.
std::vector<VelaEventPtr> withEarlierSave(const std::string& path, std::string_view rootKey,
                                          const std::vector<VelaEventPtr>& saving,
                                          bool failedQueue) {
  std::vector<VelaEventPtr> all;
  std::string error;
  if (detail::fileExists(path)) {
    const std::optional<std::string> data = detail::readWholeFile(path, &error);
    if (!data || !detail::decodeEventArchive(*data, rootKey, all, error)) all.clear();
  }
  all.insert(all.end(), saving.begin(), saving.end());
  if (all.size() > kstVelaBlockQueue::kMaxEvents) {
    const std::size_t over = all.size() - kstVelaBlockQueue::kMaxEvents;
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(over));
    detail::noteDroppedAtBound(over, failedQueue);
  }
  return all;
}

// Writes one channel's events to path under rootKey (after those an earlier save left
// there, when keepEarlier) and empties the channel. The events leave the channel before the write,
// so the send thread can't take (and send) an event that is also going to disk; if the write fails
// they go back to the head, ahead of whatever was queued meanwhile.
template <typename EventChannelType>
void saveChannel(EventChannelType& channel, std::string_view rootKey, const std::string& path,
                 const std::string& line, std::size_t byteLimit, bool failedQueue,
                 std::atomic<std::uint64_t>& savedCount, bool keepEarlier) {
  std::vector<typename EventChannelType::Items::value_type> saving;
  {
    auto locked = channel.lock();
    auto& items = locked.items();
    if (items.empty()) return;
    saving.assign(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    items.clear();
  }
  std::string error;
  bool written = false;
  try {
    if (detail::documentsDirectory().empty()) {
      error = "no per-user data directory (no home directory)";
    } else {
      const std::vector<VelaEventPtr> events = eventsOf(saving);
      written = detail::atomicWriteFile(
          path,
          detail::encodeEventArchive(
              rootKey, keepEarlier ? withEarlierSave(path, rootKey, events, failedQueue) : events),
          &error);
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (written) {
    savedCount.fetch_add(saving.size());
    return;
  }

  std::size_t kept = saving.size();
  std::size_t dropped = 0;
  {
    auto locked = channel.lock();
    auto& items = locked.items();
    items.insert(items.begin(), std::make_move_iterator(saving.begin()),
                 std::make_move_iterator(saving.end()));
    // The channel's bounds still hold: if producers filled it meanwhile, the oldest go first.
    dropped = locked.trimHead(kstVelaBlockQueue::kMaxEvents + 1, byteLimit);
    kept -= std::min(kept, dropped);
    locked.broadcast();
  }
  detail::noteDroppedAtBound(dropped, failedQueue);
  detail::consoleRaw(line + error + "; " + std::to_string(kept) + " events stay in the queue");
}

// "errorRate" is the number of restarts that found the event queued: the leading integer of
// the old value (0 without one), plus one.
std::int32_t leadingInt(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > std::int64_t{INT_MAX} + 1) break;  // saturates below
  }
  if (negative) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(v);
}

void raiseErrorRate(Fields& fields) {
  std::int32_t rate = 0;
  if (const FieldValue* old = fields.find("errorRate")) {
    rate = std::visit(
        [](const auto& v) {
          if constexpr (std::is_same_v<std::decay_t<decltype(v)>, Bytes>) {
            return leadingInt(v.view());
          } else {
            return leadingInt(v);
          }
        },
        *old);
  }
  // A count that has reached the top stays there instead of wrapping to a negative number.
  if (rate < INT_MAX) ++rate;
  fields.set("errorRate", std::to_string(rate));
}

// Takes a saved file for this restore by deleting it. Its events are queued only once the
// file is gone: a file that cannot be deleted (a read-only data directory) would otherwise be
// restored again at every start, and a file another process deleted first is that
// process's to restore.
bool claimSavedFile(const std::string& path, const std::string& line) {
  if (::unlink(path.c_str()) == 0) return true;
  if (errno != ENOENT) {
    detail::consoleRaw(line + "cannot delete " + path + ": " + std::strerror(errno) +
                       "; its events are left in the file");
  }
  return false;
}

// Reads the file at path (saved under rootKey), claims it (claimSavedFile) and appends its
// events to target, then trims the head while 2000 or more events are queued: the rule an
// enqueue applies before adding one, so a full restore leaves 1999. markResent raises
// "errorRate" on every event of the target afterwards. A file that could not be read is
// deleted too, so a bad file is reported once and never read again; it is read whole and
// decoded before the channel is touched, so a bad file adds nothing.
template <typename EventChannelType>
void restoreChannel(EventChannelType& target, std::string_view rootKey, const std::string& path,
                    const std::string& line, bool markResent, std::size_t byteLimit,
                    bool failedQueue) {
  if (!detail::fileExists(path)) return;
  std::size_t dropped = 0;
  std::vector<VelaEventPtr> events;
  bool decoded = false;
  try {
    std::string error;
    std::optional<std::string> data = detail::readWholeFile(path, &error);
    decoded = data && detail::decodeEventArchive(*data, rootKey, events, error);
    if (!decoded) detail::consoleRaw(line + error);
  } catch (const std::exception& e) {
    detail::consoleRaw(line + e.what());
  }
  if (!claimSavedFile(path, line) || !decoded) return;
  try {
    auto locked = target.lock();
    auto& items = locked.items();
    using Item = typename EventChannelType::Items::value_type;
    for (VelaEventPtr& event : events) items.push_back(asItem<Item>(std::move(event)));
    // Only event objects are marked (restarts restore into the main queue, which holds no text).
    if constexpr (std::is_same_v<Item, VelaEventPtr>) {
      if (markResent) {
        for (const VelaEventPtr& e : items) {
          if (e->fields()) raiseErrorRate(*e->fields());
        }
      }
    }
    dropped = locked.trimHead(kstVelaBlockQueue::kMaxEvents, byteLimit);
    if (!items.empty()) locked.broadcast();
  } catch (const std::exception& e) {
    detail::consoleRaw(line + e.what());
  }
  detail::noteDroppedAtBound(dropped, failedQueue);
}

// A save killed between creating its temporary file and renaming it leaves the temporary
// behind ("<file>.tmp-<pid>-<n>"). Those of processes that no longer run are removed, so
// they don't pile up in the data directory.
void removeStaleTemporaries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(d)) {
    std::string_view name = entry->d_name;
    for (std::string_view file : {std::string_view(kMainFile), std::string_view(kFailedFile)}) {
      const std::string prefix = std::string(file) + ".tmp-";
      if (name.substr(0, prefix.size()) != prefix) continue;
      std::string_view rest = name.substr(prefix.size());
      const std::size_t dash = rest.find('-');
      if (dash == 0 || dash == std::string_view::npos) continue;
      pid_t pid = 0;
      bool digits = true;
      for (char c : rest.substr(0, dash)) {
        if (c < '0' || c > '9' || pid > 4194304) digits = false;
        if (digits) pid = pid * 10 + (c - '0');
      }
      if (!digits || pid <= 0) continue;
      if (::kill(pid, 0) != 0 && errno == ESRCH) stale.emplace_back(name);
    }
  }
  ::closedir(d);
  for (const std::string& name : stale) ::unlink(detail::joinPath(dir, name).c_str());
}

}  // namespace

void kstVelaBlockQueue::saveToFile(EarlierSave earlier) {
  // Revoked consent keeps nothing: what a log call slipped in after the revocation's
  // discard stays in memory and ends with the process.
  if (detail::consentRevoked()) return;
  (void)takeStagedLogs();  // staged calls are saved with the queue (before the monitor's rank)
  std::lock_guard<std::recursive_mutex> monitor(monitor_);
  const bool keep = earlier == EarlierSave::kKeep;
  saveChannel(logArray_, "logArray", dataFilePath(), "[saveToFile] logArray : ", byteLimit_, false,
              savedToFile_, keep);
  saveChannel(fileArray_, "fileArray", fileFilePath(), "[saveToFile] fileArray : ", byteLimit_,
              true, savedToFile_, keep);
}

namespace {
// Empties a channel; its items are destroyed by the caller, after the channel's lock.
template <typename ChannelType>
auto takeAllOf(ChannelType& channel) {
  auto locked = channel.lock();
  auto& items = locked.items();
  using Item = typename std::remove_reference_t<decltype(items)>::value_type;
  std::vector<Item> out(std::make_move_iterator(items.begin()),
                        std::make_move_iterator(items.end()));
  items.clear();
  return out;
}
}  // namespace

void kstVelaBlockQueue::deleteQueueFiles() {
  const std::string dir = detail::documentsDirectory();
  if (dir.empty()) return;
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      const std::string_view name = entry->d_name;
      for (std::string_view file : {std::string_view(kMainFile), std::string_view(kFailedFile)})
        if (name == file || name.starts_with(std::string(file) + ".tmp-")) names.emplace_back(name);
    }
    ::closedir(d);
  }
  for (const std::string& name : names) ::unlink(detail::joinPath(dir, name).c_str());
}

std::size_t kstVelaBlockQueue::discardEventsAndFiles() {
  const std::size_t staged = detail::blockQueue() == this ? detail::logStaging().discard() : 0;
  std::lock_guard<std::recursive_mutex> monitor(monitor_);
  // Destroyed here, after each channel's lock was released.
  const std::size_t n = staged + takeAllOf(logArray_).size() + takeAllOf(fileArray_).size();
  deleteQueueFiles();
  return n;
}

void kstVelaBlockQueue::FileToMemory() {
  (void)takeStagedLogs();
  std::lock_guard<std::recursive_mutex> monitor(monitor_);
  if (detail::documentsDirectory().empty()) return;
  restoreChannel(logArray_, "logArray", dataFilePath(), "[FileToMemory] logArray : ", false,
                 byteLimit_, false);
  restoreChannel(fileArray_, "fileArray", fileFilePath(), "[FileToMemory] fileArray: ", false,
                 byteLimit_, true);
}

void kstVelaBlockQueue::loadFromFile() {
  std::lock_guard<std::recursive_mutex> monitor(monitor_);
  const std::string dir = detail::documentsDirectory();
  if (dir.empty()) return;
  restoreChannel(logArray_, "logArray", dataFilePath(), "[loadFromFile] logArray: ", false,
                 byteLimit_, false);
  // The failed events join the main queue to be sent again.
  restoreChannel(logArray_, "fileArray", fileFilePath(), "[loadFromFile] fileArray: ", true,
                 byteLimit_, false);
  removeStaleTemporaries(dir);
}

namespace detail {

namespace {
// Made at compile time, not on first use: a forked child never inherits it half made.
constinit std::once_flag g_queueMade;
}  // namespace

void createQueueAndRestoreSavedEvents() {
  std::call_once(g_queueMade, [] {
    if (blockQueue()) return;
    // Never destroyed: its channels join the locks taken around fork().
    auto* queue = new kstVelaBlockQueue(freezeQueueByteLimit());
    queue->loadFromFile();
    gs_blockQueue.store(queue, std::memory_order_release);
  });
}

}  // namespace detail
}  // namespace zeplog
