// The library's data directory and its file primitives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zeplog::detail {

// The directory that holds the library's files: the override set by
// ZEPLog::setDataDirectory, else the program's own per-user directory,
// $XDG_DATA_HOME/zeplog/<program>, else $HOME/.local/share/zeplog/<program>. Each program
// has its own, so one never restores, deletes or claims another's saved events, crash
// reports or settings. Computed afresh on each call; "" when the account has no home
// directory. Creating it is left to ensureDataDirectory().
std::string documentsDirectory();
// The file name of this process's executable (from /proc/self/exe), the <program> above.
const std::string& programName();
// Creates the data directory (and missing parents) with mode 0700; false when it can't.
bool ensureDataDirectory(std::string* error = nullptr);
void setDataDirectoryOverride(std::string path);
// Why an absolute path cannot be the data directory, or none when it can: once its symbolic
// links and ".." are resolved, it must not be "/", and it or one of its existing parent
// directories below "/" must belong to this process's effective user. The library then never
// scatters its files over a system directory, whatever a variable or a caller says.
std::optional<std::string> dataDirectoryRefusal(const std::string& absolutePath);

// dir + "/" + name.
std::string joinPath(std::string_view dir, std::string_view name);

// Replaces path atomically: a temporary file in the same directory, fsync, rename, fsync of
// the directory. The file gets mode 0600. False with error text on failure.
bool atomicWriteFile(const std::string& path, std::string_view contents,
                     std::string* error = nullptr);
// The whole regular file, or nothing with error text (also for a FIFO, device or directory,
// which are refused without waiting on them).
std::optional<std::string> readWholeFile(const std::string& path, std::string* error = nullptr);
bool fileExists(const std::string& path);

}  // namespace zeplog::detail
