// Options of the durable delivery mode (ZEPLog::enableDurableDelivery).
#pragma once

#include <chrono>
#include <cstdint>

namespace zeplog {

// In durable mode every request body is written to a spool in the data directory before it
// is posted, and leaves it only when the collector answers 200; what the collector refuses
// or never gets is sent again by this process (with backoff) or by the next run of the
// program.
struct DurableDelivery {
  // Past this many bytes in the spool the oldest bodies are dropped (and counted).
  std::uint64_t maxBytes = 256ull << 20;
  // Bodies spooled longer ago than this are dropped (and counted) instead of sent.
  std::chrono::seconds maxAge{7 * 24 * 3600};
  // The longest wait between two attempts while the collector keeps failing; also caps what
  // a "Retry-After" answer can ask for.
  std::chrono::seconds maxBackoff{300};
};

}  // namespace zeplog
