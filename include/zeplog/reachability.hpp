// Network reachability of one target, with change notification.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

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
extern const char* const kst_kReachabilityChangedNotification;

// Watches whether one target (a host name, an IPv4 address, any internet connection, or the
// link-local network) is reachable, from the kernel's view: the name resolves and a route
// exists to one of its addresses. Once its notifier is started it reports every change to
// the two optional blocks (on the monitor's own thread) and as a notification.
class kstVelaReachability : public std::enable_shared_from_this<kstVelaReachability> {
 public:
  using Block = std::function<void(kstVelaReachability&)>;

  static std::shared_ptr<kstVelaReachability> reachabilityWithHostname(std::string_view hostname);
  static std::shared_ptr<kstVelaReachability> reachabilityWithHostName(std::string_view hostname);
  static std::shared_ptr<kstVelaReachability> reachabilityWithAddress(const sockaddr_in& address);
  static std::shared_ptr<kstVelaReachability> reachabilityForInternetConnection();
  static std::shared_ptr<kstVelaReachability> reachabilityForLocalWiFi();

  ~kstVelaReachability();
  kstVelaReachability(const kstVelaReachability&) = delete;
  kstVelaReachability& operator=(const kstVelaReachability&) = delete;

  static bool isReachableWithFlags(std::uint32_t flags);
  bool isReachable() const;
  bool isReachableViaWWAN() const;
  bool isReachableViaWiFi() const;
  bool connectionRequired() const;
  bool isConnectionRequired() const;
  bool isConnectionOnDemand() const;
  bool isInterventionRequired() const;
  NetworkStatus currentReachabilityStatus() const;
  std::uint32_t reachabilityFlags() const;
  std::string currentReachabilityString() const;
  std::string currentReachabilityFlags() const;
  std::string description() const;

  bool startNotifier();
  void stopNotifier();
  void reachabilityChanged(std::uint32_t flags);

  void setReachableBlock(Block block);
  void setUnreachableBlock(Block block);
  bool reachableOnWWAN() const;
  void setReachableOnWWAN(bool value);

  struct Target;  // what is watched: a host name or an address

 private:
  explicit kstVelaReachability(std::unique_ptr<Target> target);
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zeplog
