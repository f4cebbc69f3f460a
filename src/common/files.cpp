#include "common/files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <errno.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>

#include "common/fork_locks.hpp"
#include "common/no_destructor.hpp"

namespace zeplog::detail {
namespace {

std::mutex& overrideLock() {
  static auto* m = new ForkSafeMutex(ForkLockRank::kDataDirectory);  // never destroyed
  return *m;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_overrideLockMadeAtLoad = (static_cast<void>(overrideLock()), true);
constinit NoDestructor<std::string> g_overridePath;  // guarded by overrideLock()
std::string& overridePath() { return g_overridePath.value; }

std::string errnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool makeDirs(const std::string& path, std::string* error) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    if (error) *error = path + " is not a directory";
    return false;
  }
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (!makeDirs(path.substr(0, slash), error)) return false;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = errnoText("mkdir", path);
    return false;
  }
  return true;
}

bool writeAll(int fd, std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<std::string> dataDirectoryRefusal(const std::string& absolutePath) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolutePath, ec);
  if (ec) return "it cannot be resolved : " + ec.message();
  if (resolved == resolved.root_path()) return std::string("it resolves to the root directory");
  for (std::filesystem::path at = resolved; at != at.root_path(); at = at.parent_path()) {
    struct stat st {};
    if (::stat(at.c_str(), &st) != 0) continue;  // not made yet: its parent decides
    if (st.st_uid == ::geteuid()) return std::nullopt;
  }
  return "neither " + resolved.string() + " nor a directory above it belongs to this user";
}

void setDataDirectoryOverride(std::string path) {
  std::lock_guard<std::mutex> g(overrideLock());
  overridePath() = std::move(path);
}

std::string documentsDirectory() {
  {
    std::lock_guard<std::mutex> g(overrideLock());
    if (!overridePath().empty()) return overridePath();
  }
  const std::string& program = programName();
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return joinPath(joinPath(xdg, "zeplog"), program);
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return joinPath(joinPath(home, ".local/share/zeplog"), program);
  // Without $HOME, the account's home directory; never a shared place such as /tmp, where
  // another user could plant or replace the library's files.
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
      *found->pw_dir == '/') {
    return joinPath(joinPath(found->pw_dir, ".local/share/zeplog"), program);
  }
  return std::string();  // no per-user directory: the library's files are not kept
}

const std::string& programName() {
  static const auto* name = [] {
    std::string path(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    path.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    // An executable replaced on disk while it runs reads back with this mark.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    std::string base = path.substr(path.find_last_of('/') + 1);
    if (base.empty() || base == "." || base == "..") base = program_invocation_short_name;
    if (base.empty() || base == "." || base == ".." || base.find('/') != std::string::npos)
      base = "program";
    return new std::string(std::move(base));
  }();
  return *name;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_programNameMadeAtLoad = (static_cast<void>(programName()), true);

bool ensureDataDirectory(std::string* error) {
  const std::string dir = documentsDirectory();
  if (dir.empty()) {
    if (error) *error = "no per-user data directory (no home directory)";
    return false;
  }
  return makeDirs(dir, error);
}

std::string joinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::string> readWholeFile(const std::string& path, std::string* error) {
  // Non-blocking, so a FIFO put in a file's place opens at once and is refused below
  // instead of holding the reader until someone writes to it.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errnoText("open", path);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = path + " is not a regular file";
    ::close(fd);
    return std::nullopt;
  }
  std::string out;
  // Read straight into a buffer of the file's size (plus one byte to see the end at once),
  // growing it only if the file grew meanwhile.
  std::size_t capacity = 16384;
  if (st.st_size > 0) capacity = static_cast<std::size_t>(st.st_size) + 1;
  std::size_t used = 0;
  for (;;) {
    if (out.size() - used == 0) out.resize(used == 0 ? capacity : out.size() * 2);
    ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = errnoText("read", path);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  out.resize(used);
  return out;
}

bool atomicWriteFile(const std::string& path, std::string_view contents, std::string* error) {
  std::size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  if (!makeDirs(dir, error)) {
    if (error && error->empty()) *error = "cannot create directory " + dir;
    return false;
  }
  std::string tmp =
      path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = errnoText("open", tmp);
    return false;
  }
  bool ok = writeAll(fd, contents) && ::fsync(fd) == 0;
  if (!ok && error) *error = errnoText("write", tmp);
  if (::close(fd) != 0 && ok) {
    ok = false;
    if (error) *error = errnoText("close", tmp);
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    if (error) *error = errnoText("rename", path);
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace zeplog::detail
