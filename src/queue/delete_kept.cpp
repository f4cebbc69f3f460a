#include "queue/delete_kept.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "common/console.hpp"
#include "common/files.hpp"

namespace zeplog::detail {
namespace {

// "spool", or "spool." followed by the slot's digits.
bool isSpoolDirectoryName(std::string_view name) {
  if (name == "spool") return true;
  if (!name.starts_with("spool.") || name.size() == 6) return false;
  for (char c : name.substr(6))
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

void deleteSpoolDirectories(const std::string& openHere) {
  const std::string dir = documentsDirectory();
  if (dir.empty()) return;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    // remove_all does not follow a symbolic link: a link named like a spool goes itself.
    if (!isSpoolDirectoryName(name) || entry.path().string() == openHere) continue;
    std::error_code removeEc;
    std::filesystem::remove_all(entry.path(), removeEc);
    if (removeEc)
      ZEP_CONSOLE("spool " + entry.path().string() + " not deleted: " + removeEc.message());
  }
}

}  // namespace zeplog::detail
