// Network reachability of one target, with change notification.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "zeplog/export.hpp"

namespace zeplog {

// Reachability flag bits.
enum ReachabilityFlags : std::uint32_t {
  kReachabilityFlagsTransientConnection = 0x1,
  kReachabilityFlagsReachable = 0x2,
  kReachabilityFlagsConnectionRequired = 0x4,
  kReachabilityFlagsConnectionOnTraffic = 0x8,
  kReachabilityFlagsInterventionRequired = 0x10,
  kReachabilityFlagsConnectionOnDemand = 0x20,
  kReachabilityFlagsIsLocalAddress = 0x10000,
  kReachabilityFlagsIsDirect = 0x20000,
};

// Reachability status: 0 not reachable, 1 via cellular, 2 via Wi-Fi (any non-cellular link).
enum NetworkStatus : int { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

// Name of the notification posted on every reported change; its object is the monitor.
ZEPLOG_API extern const char* const kst_kReachabilityChangedNotification;

namespace detail {
struct ReachabilityTarget;
}

// Watches whether one target (a host name, an IPv4 address, any internet connection, or the
// link-local network) is reachable, from the kernel's view: the name resolves and a route
// exists to one of its addresses. Once its notifier is started it reports every change to
// the two optional blocks and as kst_kReachabilityChangedNotification through
// NotificationCenter::defaultCenter(), both on the monitor's own notifier thread.
//
// Flags on Linux: a host name that resolves (getaddrinfo) and has a route to one of its
// addresses, or an address with a route, is reachable (0x2); a loopback or own address is
// also local (0x10000) and direct (0x20000). The zero address is reachable when a default
// route exists. The link-local network is reachable and direct when a link has a route to
// it without a gateway. Names under ".invalid" and the empty name are never sent to a
// resolver and never resolve. Whatever can't be read gives 0. A host-name query resolves
// the name each time and may block for the resolver's timeout.
//
// Monitors are always owned by a std::shared_ptr (the creation functions make them). While
// the notifier runs, its thread holds the monitor, so the monitor lives until stopNotifier.
// Queries take no lock and may be called from any thread.
class ZEPLOG_API kstVelaReachability : public std::enable_shared_from_this<kstVelaReachability> {
 public:
  using Block = std::function<void(kstVelaReachability&)>;

  // Creation. Each gives a new monitor with its notifier stopped, or nullptr (with a console
  // line) for an address that is not AF_INET. A name that does not resolve yet still gives a
  // monitor: it is simply not reachable until it resolves.
  static std::shared_ptr<kstVelaReachability> reachabilityWithHostname(std::string_view hostname);
  static std::shared_ptr<kstVelaReachability> reachabilityWithHostName(std::string_view hostname);
  static std::shared_ptr<kstVelaReachability> reachabilityWithAddress(const sockaddr_in& address);
  static std::shared_ptr<kstVelaReachability> reachabilityForInternetConnection();
  static std::shared_ptr<kstVelaReachability> reachabilityForLocalWiFi();

  // Stops the notifier (detaching, not joining, when the last reference goes on the
  // notifier's own thread) and clears both blocks.
  ~kstVelaReachability();
  kstVelaReachability(const kstVelaReachability&) = delete;
  kstVelaReachability& operator=(const kstVelaReachability&) = delete;

  // Queries. Each reads the current flags once.
  static bool isReachableWithFlags(std::uint32_t flags);
  bool isReachable() const;
  bool isReachableViaWWAN() const;  // always false: Linux has no cellular flag
  bool isReachableViaWiFi() const;  // any reachable link counts
  bool connectionRequired() const;
  bool isConnectionRequired() const;
  bool isConnectionOnDemand() const;
  bool isInterventionRequired() const;
  NetworkStatus currentReachabilityStatus() const;  // only NotReachable or ReachableViaWiFi
  std::uint32_t reachabilityFlags() const;
  // "Cellular", "WiFi" or "No Connection". There is no localisation bundle on Linux, so the
  // key itself is the text.
  std::string currentReachabilityString() const;
  // The flags as letters: "X", the reachable letter, a blank, then connection required,
  // transient, intervention required, on traffic, on demand, local, direct ("-" when clear).
  std::string currentReachabilityFlags() const;
  std::string description() const;  // "<kstVelaReachability: 0x...>" (low 32 address bits)

  // Starts the notifier thread, which watches the kernel's link, address and route changes
  // and reports each change of the flags (compared with the flags read when it started).
  // True when it runs (also when it already ran); false, with nothing left behind, when it
  // can't start.
  bool startNotifier();
  // Stops the notifier thread and waits for it to end (for a host name, at worst until a
  // lookup in progress ends); from inside a block (on the notifier thread itself) it stops
  // it without waiting. No block is called after it returns. Does nothing when stopped.
  void stopNotifier();
  // Reports one change on the calling thread: calls the reachable block (when flags are
  // reachable) or the unreachable block, when set, then posts the notification.
  void reachabilityChanged(std::uint32_t flags);

  // Properties. The blocks may be set from any thread while the notifier runs.
  Block reachableBlock() const;
  void setReachableBlock(Block block);
  Block unreachableBlock() const;
  void setUnreachableBlock(Block block);
  bool reachableOnWWAN() const;  // true from creation; nothing in the library changes it
  void setReachableOnWWAN(bool value);

 private:
  explicit kstVelaReachability(const detail::ReachabilityTarget& target);
  static std::shared_ptr<kstVelaReachability> make(const detail::ReachabilityTarget& target);
  struct State;
  std::unique_ptr<State> state_;  // never null; see State for what guards each member
};

}  // namespace zeplog
