// Entry points for flushing, the event counters and the queues' byte bound.
#include "common/caller_limits.hpp"
#include "common/guard.hpp"
#include "delivery/send_thread.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_counters.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

bool ZEPLog::flush(std::chrono::milliseconds timeout) noexcept {
  return detail::guarded<bool>("flush", false,
                               [&] { return detail::flushQueued(detail::clampedWait(timeout)); });
}

// The counters of staged calls (an unknown handle, attributes cut) are counted when the
// calls become events: that is done first.
Counters ZEPLog::counters() noexcept {
  return detail::guarded<Counters>("counters", Counters{}, [] {
    detail::settleStagedLogsIfFree();
    return detail::countersSnapshot();
  });
}

std::uint64_t ZEPLog::counter(Counter which) noexcept {
  return detail::guarded<std::uint64_t>("counter", 0, [&] {
    detail::settleStagedLogsIfFree();
    return detail::counterValue(which);
  });
}

ControlCounters ZEPLog::controlCounters() noexcept {
  return detail::guarded<ControlCounters>("controlCounters", ControlCounters{}, [] {
    detail::settleStagedLogsIfFree();
    return detail::controlCountersSnapshot();
  });
}

bool ZEPLog::setQueueByteLimit(std::size_t bytes) noexcept {
  return detail::guarded<bool>("setQueueByteLimit", false, [&] {
    return detail::setQueueByteLimit(
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes, detail::kLargestByteBound)));
  });
}

}  // namespace zeplog
