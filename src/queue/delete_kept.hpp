// Deleting what durable delivery kept on disk, for a revoked upload consent.
#pragma once

namespace zeplog::detail {

// Deletes the spool directories in the data directory ("spool", "spool.1", ...) with every
// segment and lock file in them. A spool this process has open loses its files; the records
// it still holds in memory no longer read back and are dropped by it unsent.
void deleteSpoolDirectories();

}  // namespace zeplog::detail
