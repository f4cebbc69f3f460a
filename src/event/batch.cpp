#include "event/batch.hpp"

#include <charconv>

#include "event/event_json.hpp"

namespace zeplog::detail {
namespace {

// Room for an event's bulk index member and its comma in a body.
constexpr std::size_t kIndexRoom = sizeof(R"(,"kstBulkIndex":"000000")");

// The size of the bulk index member of that value, as the writer puts it last: after a comma
// when the object has other members.
std::size_t indexMemberSize(std::size_t index, bool afterOthers) {
  char digits[24];
  const auto r = std::to_chars(digits, digits + sizeof digits, index);
  const std::size_t n = static_cast<std::size_t>(r.ptr - digits);
  return (afterOthers ? 1 : 0) + sizeof(R"("kstBulkIndex":"")") - 1 + n;
}

constexpr std::size_t kMaxRecycled = 8u << 20;
thread_local std::string recycled;  // see Batch::recycle

std::string_view textOf(const CommonFragmentPtr& fragment) {
  return fragment ? fragment->json() : std::string_view();
}

}  // namespace

std::size_t Batch::write(const VelaEventPtr& event, const CommonFragmentPtr& fragment) {
  // Behind an event added unwritten, the body is written whole when taken: only weigh.
  if (written_ != events.size()) return jsonSizeOfVelaEvent(event, textOf(fragment));
  if (text_.capacity() < recycled.capacity() && text_.empty()) {
    text_.swap(recycled);
    text_.clear();
  }
  text_.resize(committed_);
  pending_ = event.get();
  text_.push_back(text_.empty() ? '[' : ',');
  const std::size_t start = text_.size();
  appendJsonOfVelaEvent(text_, event, static_cast<std::int32_t>(events.size()), textOf(fragment));
  const std::size_t object = text_.size() - start;
  // An object of the bulk index alone is "{" index "}": its weight is that of "{}".
  const std::size_t alone = 2 + indexMemberSize(events.size(), false);
  return object - indexMemberSize(events.size(), object != alone);
}

void Batch::push(VelaEventPtr event, CommonFragmentPtr fragment, std::size_t weight) {
  // A push without a write of that event just before it leaves the text behind the events.
  if (written_ == events.size() && pending_ == event.get() && pending_) {
    ++written_;
    committed_ = text_.size();
  }
  pending_ = nullptr;
  events.push_back(std::move(event));
  common.push_back(std::move(fragment));
  bytes += weight;
}

void Batch::clear() {
  events.clear();
  common.clear();
  bytes = 0;
  text_.clear();
  written_ = committed_ = 0;
  pending_ = nullptr;
}

void Batch::recycle(std::string&& buffer) {
  if (buffer.capacity() > kMaxRecycled || buffer.capacity() <= recycled.capacity()) return;
  recycled = std::move(buffer);
}

std::string Batch::takeBody(std::string& handleId, std::size_t& count) {
  count = 0;
  std::string body;
  if (written_ == events.size() && !events.empty() && events.back()->handleId()) {
    // Every event was written as it came, each with a handle id (see write()).
    body = std::move(text_);
    body.resize(committed_);
    count = events.size();
    handleId = *events.back()->handleId();
  } else {
    body.reserve(bytes + events.size() * kIndexRoom + 2);
    body.push_back('[');
    for (std::size_t i = 0; i < events.size(); ++i) {
      const VelaEventPtr& event = events[i];
      if (!event || !event->handleId()) continue;
      handleId = *event->handleId();
      if (count++ > 0) body.push_back(',');
      appendJsonOfVelaEvent(body, event, static_cast<std::int32_t>(i), textOf(common[i]));
    }
  }
  body.push_back(']');
  text_.clear();
  written_ = committed_ = 0;
  pending_ = nullptr;
  return body;
}

std::size_t Batch::countSendable(std::string& handleId) const {
  std::size_t count = 0;
  for (const VelaEventPtr& event : events) {
    if (!event || !event->handleId()) continue;
    handleId = *event->handleId();
    ++count;
  }
  return count;
}

}  // namespace zeplog::detail
