#include "net/netlink_watcher.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace zeplog::detail {

NetlinkWatcher::~NetlinkWatcher() { close(); }

void NetlinkWatcher::close() {
  if (netlinkFd_ >= 0) ::close(netlinkFd_);
  if (stopFd_ >= 0) ::close(stopFd_);
  netlinkFd_ = stopFd_ = -1;
}

bool NetlinkWatcher::open() {
  close();
  netlinkFd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (netlinkFd_ < 0 || stopFd_ < 0) {
    close();
    return false;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups =
      RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  if (::bind(netlinkFd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    close();
    return false;
  }
  return true;
}

// Reads every queued message. The messages themselves are not parsed: whatever changed, the
// caller recomputes its flags and compares. An overrun (ENOBUFS) lost messages but still
// means something changed. False when the socket has failed.
bool NetlinkWatcher::drain() {
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    ssize_t n = ::recv(netlinkFd_, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EINTR || errno == ENOBUFS))) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;  // 0 (closed) or a real error
  }
}

NetlinkWatcher::Event NetlinkWatcher::wait() {
  if (netlinkFd_ < 0) return Event::kFailed;
  for (;;) {
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {netlinkFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return Event::kFailed;
    }
    // The eventfd is never read, so once stopped it stays readable.
    if (fds[0].revents != 0) return Event::kStopped;
    if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      // POLLERR also reports a receive-buffer overrun; drain() tells the two apart.
      if (!drain()) return Event::kFailed;
      return Event::kChanged;
    }
    if (fds[1].revents & POLLIN) return drain() ? Event::kChanged : Event::kFailed;
  }
}

void NetlinkWatcher::stop() {
  if (stopFd_ < 0) return;
  const std::uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(stopFd_, &one, sizeof(one));
  } while (n < 0 && errno == EINTR);
}

}  // namespace zeplog::detail
