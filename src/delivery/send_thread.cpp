#include "delivery/send_thread.hpp"

namespace zeplog::detail {

// The send thread itself (batching, filtering, delivery) is not built yet: until it is,
// nothing is started and queued events stay in the main queue.
bool createLogSendThread() { return false; }

}  // namespace zeplog::detail
