// Options of the minidumps written at native crashes (ZEPLog::enableMinidumps).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zeplog {

// With minidumps on, every native crash also leaves a minidump beside its text report (see
// docs/api.md for its streams and bounds). With an upload URL the crash-upload thread posts
// it as multipart/form-data (file part "upload_file_minidump") with the crash's identity and
// the extra fields; one that can't be posted is kept and posted by the next start.
struct MinidumpOptions {
  bool write = true;
  // An http or https URL; "" keeps the minidumps on disk only.
  std::string uploadUrl;
  // Extra form fields (name, value), sent after the library's own.
  std::vector<std::pair<std::string, std::string>> fields;
};

}  // namespace zeplog
