// The persistent device id.
#include "event/device_id.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/console.hpp"
#include "common/files.hpp"
#include "common/fork_locks.hpp"
#include "common/guard.hpp"
#include "common/uuid.hpp"

namespace zeplog::detail {
namespace {

// Canonical UUID text: 8-4-4-4-12 hexadecimal digits.
constexpr std::size_t kUuidLength = 36;

// Serialises reading, minting and writing the file, so concurrent first calls agree on one
// id. Never held with global_resource_lock, and no console line is written while it is
// held (a console handler could call back in).
struct DeviceIdState {
  ForkSafeMutex lock{ForkLockRank::kDeviceId};
  // The id this process minted but could not store; guarded by lock. Reused instead of
  // minting again, so an unwritable directory still gives one id per process.
  std::string unsaved;
};

DeviceIdState& state() {
  static auto* s = new DeviceIdState;  // never destroyed
  return *s;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_stateMadeAtLoad = (static_cast<void>(state()), true);

bool isCanonicalUuid(std::string_view s) {
  if (s.size() != kUuidLength) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

// What the file holds.
enum class FileState { kMissing, kValid, kUnusable, kUnreadable };

// Reads the id file without following a link, without blocking (a FIFO opens at once and is
// then refused) and without reading more than a UUID and a newline could take.
FileState readIdFile(const std::string& path, std::string& id, std::string& reason) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return FileState::kMissing;
    if (errno == ELOOP) {
      reason = "is a symbolic link";
      return FileState::kUnusable;
    }
    reason = std::string("open: ") + std::strerror(errno);
    return errno == ENOTDIR ? FileState::kUnusable : FileState::kUnreadable;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    reason = "is not a regular file";
    return FileState::kUnusable;
  }
  char buf[kUuidLength + 2];  // one byte more than a valid file holds
  std::size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      reason = std::string("read: ") + std::strerror(errno);
      ::close(fd);
      return FileState::kUnreadable;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  std::string_view content(buf, got);
  if (!content.empty() && content.back() == '\n') content.remove_suffix(1);
  if (!isCanonicalUuid(content)) {
    reason = got == 0 ? "is empty" : "does not hold a UUID";
    return FileState::kUnusable;
  }
  id.assign(content);
  return FileState::kValid;
}

std::optional<std::string> getDeviceIDLocked(DeviceIdState& s, std::vector<std::string>& lines) {
  std::string error;
  if (!ensureDataDirectory(&error)) {
    lines.push_back("datafile : " + error);
    if (!s.unsaved.empty()) return s.unsaved;
    return std::nullopt;
  }
  const std::string path = deviceIdFilePath();
  std::string id;
  std::string reason;
  switch (readIdFile(path, id, reason)) {
    case FileState::kValid:
      return id;
    case FileState::kMissing:
      break;
    case FileState::kUnusable:
      lines.push_back("device id file " + path + " " + reason + ": a new id replaces it");
      break;
    case FileState::kUnreadable:
      // Perhaps a good id that can't be read just now: keep the file, use this process's id.
      lines.push_back("getDeviceID : " + path + " " + reason);
      if (s.unsaved.empty()) s.unsaved = generateUUID();
      return s.unsaved;
  }
  id = s.unsaved.empty() ? generateUUID() : s.unsaved;
  if (id.empty()) return id;  // no random bytes: nothing worth keeping; the next call tries again
  if (atomicWriteFile(path, id, &error)) {
    s.unsaved.clear();
  } else {
    // The id is still good for this process; the next call tries to store it again.
    lines.push_back("get device id : " + error);
    s.unsaved = id;
  }
  return id;
}

}  // namespace

std::string deviceIdFilePath() { return joinPath(documentsDirectory(), "KST_iOS_DEVICE_ID"); }

// The id lives in its own file in the data directory: read when it holds one, otherwise
// minted and written. It is never rewritten while it holds a UUID, so it stays stable
// across runs until the file is deleted. This does file I/O: never call it under
// global_resource_lock.
std::optional<std::string> getDeviceID() {
  return guarded<std::optional<std::string>>("getDeviceID", std::nullopt,
                                             [&]() -> std::optional<std::string> {
                                               std::vector<std::string> lines;
                                               std::optional<std::string> id;
                                               {
                                                 DeviceIdState& s = state();
                                                 std::lock_guard<std::mutex> g(s.lock);
                                                 id = getDeviceIDLocked(s, lines);
                                               }
                                               for (const std::string& line : lines)
                                                 ZEP_CONSOLE(line);
                                               return id;
                                             });
}

}  // namespace zeplog::detail
