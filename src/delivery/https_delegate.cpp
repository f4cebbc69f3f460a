#include "delivery/https_delegate.hpp"

#include <memory>

#include "common/console.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "queue/failed_event.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog {

void kstVelaHttpsDelegate::didReceiveResponse(long status) {
  answered_ = true;
  if (status == 200) {
    ZEP_CONSOLE("didReceiveResponse 200");
    saveToFile(log_, false);
  } else {
    ZEP_CONSOLE("didReceiveResponse not 200");
    saveToFile(log_, true);
  }
}

void kstVelaHttpsDelegate::didFailWithError(const std::string& description, bool hostNotFound) {
  ZEP_CONSOLE("Request failed with error : " + (description.empty() ? "unknown" : description));
  if (hostNotFound) ZEP_CONSOLE("hostname could not be found");
  // A failure after the answer was handled (the body broke off) changes nothing: the status
  // decided the batch's fate.
  if (!answered_) saveToFile(log_, true);
}

void kstVelaHttpsDelegate::connectionDidFinishLoading() {
  ZEP_CONSOLE("connectionDidFinishLoading");
}

void kstVelaHttpsDelegate::saveToFile(const std::string& text, bool writeBack) const {
  ZEP_CONSOLE(text);
  // Nothing is written back for a delivered batch, so its text need not be read again.
  if (!writeBack) return;
  try {
    // Kept as the objects' text: read back into events only if they go to a file.
    std::vector<detail::FailedEvent> events = detail::failedEventsOfBody(text, handleId_);
    kstVelaBlockQueue* queue = detail::blockQueue();
    for (detail::FailedEvent& event : events) {
      ZEP_CONSOLE("enqueue to File");
      if (!queue) continue;
      queue->enqueueFile(std::move(event));
      detail::countUp(detail::eventCounters().writtenBack);
    }
  } catch (const std::exception& e) {
    ZEP_CONSOLE(std::string("connection ") + e.what());
  }
}

}  // namespace zeplog
