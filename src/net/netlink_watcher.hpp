// Waits for the kernel to announce a change of links, addresses or routes.
#pragma once

namespace zeplog::detail {

// A netlink route socket subscribed to link, address and route changes, plus an eventfd
// that wakes the waiting thread when it is asked to stop. One thread calls wait(); any
// thread may call stop(). The descriptors are set by open() before the waiting thread starts
// and are not changed until destruction, so they need no lock.
class NetlinkWatcher {
 public:
  enum class Event { kChanged, kStopped, kFailed };

  NetlinkWatcher() = default;
  ~NetlinkWatcher();
  NetlinkWatcher(const NetlinkWatcher&) = delete;
  NetlinkWatcher& operator=(const NetlinkWatcher&) = delete;

  // Opens and subscribes both descriptors. False (with nothing left open) on failure.
  bool open();
  // Blocks, without a timeout, until the kernel reports something (kChanged, after reading
  // every message queued so far so that a burst is one change), stop() has been called
  // (kStopped, also for every later call) or the socket fails (kFailed).
  Event wait();
  // Makes the current and every later wait() return kStopped.
  void stop();

 private:
  void close();
  bool drain();

  int netlinkFd_ = -1;  // set by open(); read-only while a thread waits
  int stopFd_ = -1;     // eventfd; set by open(); read-only while a thread waits
};

}  // namespace zeplog::detail
