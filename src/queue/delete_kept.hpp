// Deleting what durable delivery kept on disk, for a revoked upload consent.
#pragma once

#include <string>

namespace zeplog::detail {

// Deletes the spool directories in the data directory ("spool", "spool.1", ...) with every
// segment and lock file in them, except `openHere`: the spool this process has open, which
// only the send thread that owns it may delete (delivery's discardSpool).
void deleteSpoolDirectories(const std::string& openHere);

}  // namespace zeplog::detail
