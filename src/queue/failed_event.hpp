// An event of the failed-send queue, kept as compactly as the main queue keeps its events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// One event of the failed-send queue: an event object, or the JSON object an event was sent
// as. Read back into events, the objects of a failed request would each hold a dictionary
// entry of its own for every common field (platform, network, user, device, custom fields),
// several times what the main queue's events held, which get theirs only when sent. So they
// are kept as text, and the members that every object of the request has alike, in one run,
// are kept once for the request: an event's text is its own members before that run and
// after it. The text is read back into an event only when one is needed: when the queue is
// saved to its file or copied out whole. Immutable once made.
class FailedEvent {
 public:
  // What the objects of one request share: the run of members they have alike (",", a
  // member, ... without the leading comma) and the handle id they go back to.
  struct Shared {
    std::string run;
    std::string handleId;
  };

  FailedEvent() = default;
  explicit FailedEvent(VelaEventPtr event) : event_(std::move(event)) {}
  // The object's text is text[0, split) + shared->run + text[split, end); an object without
  // the run has it all in text (split == text.size(), run "").
  FailedEvent(std::string text, std::uint32_t split, std::shared_ptr<const Shared> shared)
      : text_(std::move(text)), split_(split), shared_(std::move(shared)) {}

  // False for an empty item (no event, no text): the queue ignores it.
  explicit operator bool() const { return event_ != nullptr || !text_.empty(); }
  // The event: the object itself, or a new event read from the text (its text members, the
  // shared handle id); nullptr for a text that does not read as a JSON object.
  VelaEventPtr event() const;
  // The JSON object as it was sent ("" for an event object).
  std::string json() const;
  // Its weight in the queue's byte bound: an event's (eventBytes), or the whole object's
  // text with the same per-event allowance (the shared run counts for every event, so the
  // bound is never looser than for the events the text stands for).
  std::size_t weight() const;

 private:
  VelaEventPtr event_;
  std::string text_;
  std::uint32_t split_ = 0;
  std::shared_ptr<const Shared> shared_;
};

// The channel weight of the failed-send queue.
struct FailedEventBytes {
  std::size_t operator()(const FailedEvent& e) const { return e.weight(); }
};

// The events of a request body (a JSON array of objects) as items of the failed-send
// queue, in order; what is not an object is left out with a console line. None when the
// body does not read as an array.
std::vector<FailedEvent> failedEventsOfBody(std::string_view body, const std::string& handleId);

}  // namespace zeplog::detail
