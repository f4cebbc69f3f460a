// The persistent device id.
#include "event/device_id.hpp"

#include "common/console.hpp"
#include "common/files.hpp"
#include "common/guard.hpp"
#include "common/utf8.hpp"
#include "common/uuid.hpp"

namespace zeplog::detail {

std::string deviceIdFilePath() { return joinPath(documentsDirectory(), "KST_iOS_DEVICE_ID"); }

// The id lives in its own file in the data directory: read when it exists and holds one,
// otherwise minted and written. It is never rewritten, so it stays stable across runs until the
// file is deleted.
std::optional<std::string> getDeviceID() {
  return guarded<std::optional<std::string>>(
      "getDeviceID", std::nullopt, [&]() -> std::optional<std::string> {
        std::string error;
        if (!ensureDataDirectory(&error)) {
          ZEP_CONSOLE("datafile : " + error);
          return std::nullopt;
        }
        const std::string path = deviceIdFilePath();
        if (fileExists(path)) {
          std::optional<std::string> content = readWholeFile(path, &error);
          if (!content) {
            ZEP_CONSOLE("getDeviceID : " + error);
            return std::nullopt;
          }
          if (!isValidUtf8(*content)) return std::nullopt;
          // An empty file (left by a run that had no random bytes) is no id: mint one.
          if (!content->empty()) return content;
        }
        std::string id = generateUUID();
        if (id.empty()) return id;  // nothing worth keeping; the next call tries again
        if (!atomicWriteFile(path, id, &error)) {
          // The id is still good for this run; the next run mints another.
          ZEP_CONSOLE("get device id : " + error);
        }
        return id;
      });
}

}  // namespace zeplog::detail
