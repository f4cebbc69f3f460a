#include "queue/failed_event.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "common/console.hpp"
#include "event/event_json.hpp"
#include "queue/event_bytes.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/json_writer.hpp"

namespace zeplog::detail {
namespace {

using Members = std::vector<std::string>;  // "key":value texts, in order

// The members of an object as JSON texts; none when a value cannot be written.
std::optional<Members> membersOf(const json::Object& object, const kstCJSONSerializer& writer) {
  Members out;
  out.reserve(object.size());
  for (const auto& [key, value] : object) {
    std::optional<std::string> text = writer.serializeObject(value);
    if (!text) return std::nullopt;
    out.push_back(writer.serializeString(key) + ":" + *text);
  }
  return out;
}

std::string joined(Members::const_iterator from, Members::const_iterator to) {
  std::string out;
  for (auto it = from; it != to; ++it) {
    if (!out.empty()) out.push_back(',');
    out += *it;
  }
  return out;
}

// The longest run of consecutive members of the first object that every object has, each
// member alike; empty when there are fewer than two objects.
std::pair<std::size_t, std::size_t> sharedRun(const std::vector<Members>& objects) {
  if (objects.size() < 2) return {0, 0};
  std::unordered_map<std::string_view, std::size_t> seenIn;  // member text: objects holding it
  for (const Members& members : objects) {
    for (const std::string& m : members) {
      auto [it, added] = seenIn.try_emplace(m, 0);
      (void)added;
      ++it->second;  // a member is unique within its object (keys are)
    }
  }
  const Members& first = objects.front();
  std::size_t bestBegin = 0, bestLength = 0;
  for (std::size_t i = 0; i < first.size();) {
    if (seenIn[first[i]] != objects.size()) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < first.size() && seenIn[first[j]] == objects.size()) ++j;
    if (j - i > bestLength) bestBegin = i, bestLength = j - i;
    i = j;
  }
  return {bestBegin, bestLength};
}

}  // namespace

std::string FailedEvent::json() const {
  if (event_ || text_.empty()) return std::string();
  std::string out;
  const std::string_view run = shared_ ? std::string_view(shared_->run) : std::string_view();
  out.reserve(text_.size() + run.size());
  out.append(text_, 0, split_).append(run).append(text_, split_);
  return out;
}

VelaEventPtr FailedEvent::event() const {
  if (event_) return event_;
  if (text_.empty()) return nullptr;
  const std::optional<json::Value> parsed = kstCJSONDeserializer().deserialize(json());
  if (!parsed || !parsed->isObject()) return nullptr;
  return eventFromJsonObject(*parsed->asObject(), shared_ ? shared_->handleId : std::string());
}

std::size_t FailedEvent::weight() const {
  if (event_) return eventBytes(*event_);
  if (text_.empty()) return 0;
  return textEventBytes(text_.size() + (shared_ ? shared_->run.size() : 0));
}

std::vector<FailedEvent> failedEventsOfBody(std::string_view body, const std::string& handleId) {
  std::vector<FailedEvent> out;
  const std::optional<json::Value> parsed = kstCJSONDeserializer().deserialize(body);
  if (!parsed || !parsed->isArray()) return out;
  const auto writer = kstCJSONSerializer::serializer();
  std::vector<Members> objects;
  objects.reserve(parsed->asArray()->size());
  for (const json::Value& item : *parsed->asArray()) {
    std::optional<Members> members;
    if (item.isObject()) members = membersOf(*item.asObject(), *writer);
    if (!members) {
      ZEP_CONSOLE("Warning: Create VelaEvent object is failed.");
      continue;
    }
    objects.push_back(std::move(*members));
  }
  const auto [runBegin, runLength] = sharedRun(objects);
  const Members& first = objects.empty() ? Members() : objects.front();
  const Members run(first.begin() + static_cast<std::ptrdiff_t>(runBegin),
                    first.begin() + static_cast<std::ptrdiff_t>(runBegin + runLength));
  auto shared = std::make_shared<FailedEvent::Shared>();
  shared->run = joined(run.begin(), run.end());
  shared->handleId = handleId;
  const std::shared_ptr<const FailedEvent::Shared> common = std::move(shared);
  // For objects that do not have the run: the handle id alone.
  const auto alone = std::make_shared<const FailedEvent::Shared>(FailedEvent::Shared{"", handleId});

  out.reserve(objects.size());
  for (const Members& members : objects) {
    // Where the run stands in this object, if it has it as one run.
    auto at = run.empty() ? members.end()
                          : std::search(members.begin(), members.end(), run.begin(), run.end());
    std::string text = "{";
    std::uint32_t split = 0;
    if (at == members.end()) {
      text += joined(members.begin(), members.end()) + "}";
      split = static_cast<std::uint32_t>(text.size());
      out.emplace_back(std::move(text), split, alone);
      continue;
    }
    // The run's commas go with it: the one before it ends the text before, the one after it
    // starts the text after.
    const auto after = at + static_cast<std::ptrdiff_t>(run.size());
    text += joined(members.begin(), at);
    if (at != members.begin()) text.push_back(',');
    split = static_cast<std::uint32_t>(text.size());
    if (after != members.end()) text += "," + joined(after, members.end());
    text.push_back('}');
    text.shrink_to_fit();
    out.emplace_back(std::move(text), split, common);
  }
  return out;
}

}  // namespace zeplog::detail
