// The process's event queue, created together with the restore of an earlier run's files.
#pragma once

namespace zeplog::detail {

// Creates the event queue (gs_blockQueue), moves the events an earlier run saved into it
// (kstVelaBlockQueue::loadFromFile) and only then publishes it, so the restored events come
// ahead of anything queued in this process. Runs once per process; a concurrent caller waits
// for the first. It reads and deletes files: call it without global_resource_lock held.
void createQueueAndRestoreSavedEvents();

}  // namespace zeplog::detail
