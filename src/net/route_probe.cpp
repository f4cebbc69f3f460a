#include "net/route_probe.hpp"

#include <arpa/inet.h>
#include <net/route.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "zeplog/reachability.hpp"

namespace zeplog::detail {

namespace {

constexpr std::uint32_t kLocalFlags =
    kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;

// Closes a descriptor on every path out of a probe.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool isLoopback(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(a);
    return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
  }
  if (a.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&in6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&in6) && in6.s6_addr[12] == 127;
  }
  return false;
}

bool sameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6) {
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
  }
  return false;
}

// Asks the kernel for a route to address by connecting a UDP socket to it: connect only
// selects the route and the source address, it sends nothing. A target that is loopback or
// that the kernel answers from itself (the chosen source is the target) is one of our own
// addresses: local and direct.
std::uint32_t probeAddress(const sockaddr* address, socklen_t length) {
  if (length > sizeof(sockaddr_storage)) return 0;
  sockaddr_storage target{};
  std::memcpy(&target, address, length);
  if (target.ss_family != AF_INET && target.ss_family != AF_INET6) return 0;
  // Some kernels refuse port 0; the port plays no part in the route, and nothing is sent.
  auto& port = target.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(target).sin_port
                                           : reinterpret_cast<sockaddr_in6&>(target).sin6_port;
  if (port == 0) port = htons(9);

  Fd sock(::socket(target.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) return 0;
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&target), length) != 0) return 0;
  if (isLoopback(target)) return kLocalFlags;
  sockaddr_storage local{};
  socklen_t localLength = sizeof(local);
  if (::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
      sameHost(local, target)) {
    return kLocalFlags;
  }
  return kReachabilityFlagsReachable;
}

std::uint32_t probeHostName(const std::string& name) {
  if (isNeverResolvingName(name)) return 0;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return 0;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    std::uint32_t flags = probeAddress(ai->ai_addr, ai->ai_addrlen);
    if (flags != 0) return flags;
  }
  return 0;
}

// One usable IPv4 route of /proc/net/route; addresses and masks in network byte order.
struct Ipv4Route {
  std::uint32_t destination;
  std::uint32_t mask;
  unsigned flags;
};

// Calls visit for every IPv4 route that is up and not a reject route. False when the table
// can't be read.
template <class Visit>
bool forEachIpv4Route(Visit visit) {
  std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen("/proc/net/route", "re"),
                                                  &std::fclose);
  if (!f) return false;
  char line[512];
  if (std::fgets(line, sizeof(line), f.get()) == nullptr) return false;  // header line
  while (std::fgets(line, sizeof(line), f.get()) != nullptr) {
    char iface[64];
    unsigned destination, gateway, flags, mask;
    // The kernel prints the network-order words as plain hex numbers, so the parsed values
    // are in network byte order in memory.
    if (std::sscanf(line, "%63s %x %x %x %*d %*d %*d %x", iface, &destination, &gateway, &flags,
                    &mask) != 5) {
      continue;
    }
    if ((flags & RTF_UP) == 0 || (flags & RTF_REJECT) != 0) continue;
    visit(Ipv4Route{destination, mask, flags});
  }
  return true;
}

// True when an IPv6 default route (::/0) is up and not a reject route.
bool hasIpv6DefaultRoute() {
  std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen("/proc/net/ipv6_route", "re"),
                                                  &std::fclose);
  if (!f) return false;
  char line[512];
  while (std::fgets(line, sizeof(line), f.get()) != nullptr) {
    char destination[33], source[33], nextHop[33], device[64];
    unsigned prefixLength, sourceLength, metric, refCount, use, flags;
    if (std::sscanf(line, "%32s %x %32s %x %32s %x %x %x %x %63s", destination, &prefixLength,
                    source, &sourceLength, nextHop, &metric, &refCount, &use, &flags,
                    device) != 10) {
      continue;
    }
    if (prefixLength == 0 && (flags & RTF_UP) != 0 && (flags & RTF_REJECT) == 0) return true;
  }
  return false;
}

// Any internet connection: a default route exists.
std::uint32_t probeInternet() {
  bool found = false;
  forEachIpv4Route([&](const Ipv4Route& r) { found = found || r.mask == 0; });
  if (found || hasIpv6DefaultRoute()) return kReachabilityFlagsReachable;
  return 0;
}

// The link-local network: some link has a route covering it without a gateway. A default
// route through a gateway does not count, since link-local traffic is never forwarded.
std::uint32_t probeLinkLocal() {
  const std::uint32_t network = htonl(kLinkLocalNetwork);
  bool found = false;
  forEachIpv4Route([&](const Ipv4Route& r) {
    if ((r.flags & RTF_GATEWAY) == 0 && (network & r.mask) == r.destination) found = true;
  });
  return found ? (kReachabilityFlagsReachable | kReachabilityFlagsIsDirect) : 0;
}

}  // namespace

ReachabilityTarget targetForAddress(const sockaddr_in& address) {
  ReachabilityTarget target;
  target.address = address;
  const std::uint32_t host = ntohl(address.sin_addr.s_addr);
  if (host == 0) {
    target.kind = ReachabilityTarget::Kind::kInternet;
  } else if (host == kLinkLocalNetwork) {
    target.kind = ReachabilityTarget::Kind::kLinkLocal;
  } else {
    target.kind = ReachabilityTarget::Kind::kAddress;
  }
  return target;
}

bool isNeverResolvingName(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return true;
  if (name.back() == '.') name.remove_suffix(1);  // a fully qualified name
  constexpr std::string_view kReserved = "invalid";
  if (name.size() < kReserved.size()) return false;
  const std::string_view last = name.substr(name.size() - kReserved.size());
  for (std::size_t i = 0; i < kReserved.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(last[i])) != kReserved[i]) return false;
  }
  return name.size() == kReserved.size() || name[name.size() - kReserved.size() - 1] == '.';
}

std::string formatReachabilityFlags(std::uint32_t flags) {
  auto letter = [flags](std::uint32_t bit, char c) { return (flags & bit) != 0 ? c : '-'; };
  char text[16];
  std::snprintf(
      text, sizeof(text), "%c%c %c%c%c%c%c%c%c", 'X', letter(kReachabilityFlagsReachable, 'R'),
      letter(kReachabilityFlagsConnectionRequired, 'c'),
      letter(kReachabilityFlagsTransientConnection, 't'),
      letter(kReachabilityFlagsInterventionRequired, 'i'),
      letter(kReachabilityFlagsConnectionOnTraffic, 'C'),
      letter(kReachabilityFlagsConnectionOnDemand, 'D'),
      letter(kReachabilityFlagsIsLocalAddress, 'l'), letter(kReachabilityFlagsIsDirect, 'd'));
  return text;
}

std::uint32_t probeReachabilityFlags(const ReachabilityTarget& target) {
  switch (target.kind) {
    case ReachabilityTarget::Kind::kHostName:
      return probeHostName(target.hostName);
    case ReachabilityTarget::Kind::kAddress:
      return probeAddress(reinterpret_cast<const sockaddr*>(&target.address),
                          sizeof(target.address));
    case ReachabilityTarget::Kind::kInternet:
      return probeInternet();
    case ReachabilityTarget::Kind::kLinkLocal:
      return probeLinkLocal();
  }
  return 0;
}

}  // namespace zeplog::detail
