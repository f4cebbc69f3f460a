#include "queue/event_bytes.hpp"

#include "event/vela_event_maker.hpp"

#include <type_traits>
#include <variant>

namespace zeplog::detail {
namespace {

// Stand-ins for the objects around the content: the event with its shared pointer, and
// one field entry. Rough on purpose; what matters is that many tiny events still count.
constexpr std::size_t kEventOverhead = 128;
constexpr std::size_t kFieldOverhead = 32;

std::size_t textBytes(const OptText& text) { return text ? text->size() : 0; }

std::size_t valueBytes(const FieldValue& value) {
  return std::visit([](const auto& v) { return v.size(); }, value);
}

}  // namespace

std::size_t textEventBytes(std::size_t bytes) { return kEventOverhead + bytes; }

std::size_t eventBytes(const VelaEvent& event) {
  std::size_t n = kEventOverhead;
  // A log call's body and fields are weighed from its text, without making them.
  const LogEventMaker::PendingText pending = LogEventMaker::pendingText(event);
  if (pending.body) {
    n += pending.bodyBytes;
  } else if (event.body()) {
    n += event.body()->size();
  }
  n += textBytes(event.projectName()) + textBytes(event.projectVersion()) +
       textBytes(event.logType()) + textBytes(event.logSource()) + textBytes(event.host()) +
       textBytes(event.handleId());
  if (pending.fields) {
    n += pending.fieldCount * kFieldOverhead + pending.fieldBytes;
  } else if (const FieldsPtr& fields = event.fields()) {
    for (const auto& [key, value] : *fields) n += kFieldOverhead + key.size() + valueBytes(value);
  }
  return n;
}

}  // namespace zeplog::detail
