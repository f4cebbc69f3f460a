// Reachability flags of a target, computed from the kernel's view of the network.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zeplog::detail {

inline constexpr std::uint32_t kLinkLocalNetwork = 0xA9FE0000;  // 169.254.0.0, host order

// What a reachability monitor watches. Immutable once made, so it is read without a lock.
struct ReachabilityTarget {
  enum class Kind {
    kHostName,   // hostName: resolved on every probe (it may start or stop resolving)
    kAddress,    // address: one IPv4 address
    kInternet,   // the zero address: any internet connection
    kLinkLocal,  // the IPv4 link-local network 169.254.0.0/16
  };
  Kind kind = Kind::kHostName;
  std::string hostName;
  sockaddr_in address{};
};

// The target for an IPv4 socket address: the zero address and the link-local network number
// become their own kinds, every other address is probed as an address.
ReachabilityTarget targetForAddress(const sockaddr_in& address);

// True for names that are never sent to a resolver: the empty name, names holding a NUL and
// the names reserved never to resolve ("invalid" and anything under ".invalid").
bool isNeverResolvingName(std::string_view name);

// The flag word of target (the 0x2, 0x10000 and 0x20000 bits; 0 when not reachable or when
// the state can't be read). A host name is resolved with getaddrinfo, which may block for
// the resolver's timeout; addresses are probed with a UDP connect, which sends nothing.
std::uint32_t probeReachabilityFlags(const ReachabilityTarget& target);

// The flag word as nine letters: "X", the reachable letter, a blank, then connection
// required, transient, intervention required, on traffic, on demand, local, direct; "-" for
// each bit that is clear.
std::string formatReachabilityFlags(std::uint32_t flags);

}  // namespace zeplog::detail
