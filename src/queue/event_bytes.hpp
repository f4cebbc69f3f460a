// What an event weighs in a queue's byte bound.
#pragma once

#include <cstddef>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The bytes of an event's own content: its body, its texts (project name and version, log
// type and source, host, handle id) and each field's key and value. A fixed allowance per
// event and per field stands for the objects that hold them. It reads sizes only (no copy,
// no encoding), so it is cheap enough for every enqueue, and it is the same figure whenever
// it is taken of an unchanged event. A null event weighs nothing.
std::size_t eventBytes(const VelaEvent& event);

// The weight of an event kept as its JSON text of `bytes` bytes: the text, with the same
// per-event allowance.
std::size_t textEventBytes(std::size_t bytes);

// The channel weight of the event queues.
struct EventBytes {
  std::size_t operator()(const VelaEventPtr& event) const { return event ? eventBytes(*event) : 0; }
};

}  // namespace zeplog::detail
