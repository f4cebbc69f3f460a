// The log call's event: one allocation that holds the event and its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

struct LogEventMaker {
  // Field room made with the dictionary: the level and error code, the common fields and
  // a handle's usual custom fields.
  static constexpr std::size_t kFieldRoom = 12;

  // An event (its identity still to be set) whose body is message and whose fields are "errorCode"
  // (left out when errorCode is "") and "logLevel", made on first use. The three texts are copied
  // into the event's own allocation; they must be valid UTF-8 already. hostDash: the host
  // is "-", else absent.
  static VelaEventPtr make(std::string_view message, std::string_view level,
                           std::string_view errorCode, std::int64_t sendTime, bool hostDash);
  // Gives the event its identity; a pointer copy, cheap enough to run under a lock.
  static void setIdentity(VelaEvent& event, VelaEventIdentityPtr identity) {
    event.identity_ = std::move(identity);
  }
};

}  // namespace zeplog::detail
