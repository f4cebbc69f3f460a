// Saving and restoring the event channels.
#include "queue/block_queue.hpp"

namespace zeplog {

// The queue files are not written yet, so there is nothing to restore: events in memory
// when the process ends are lost until saving arrives.
void kstVelaBlockQueue::loadFromFile() {}

}  // namespace zeplog
