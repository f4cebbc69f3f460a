// A handle's common fields written once, to follow the own members of each of its events.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zeplog/vela_event.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog::detail {

// The common fields a handle adds to its events (platform, network type, user id, custom
// fields), as JSON members written once and appended to each event's object instead of
// being copied into every event's dictionary. Immutable once made, so the events of a send
// cycle share one without a lock.
//
// Only made when appending is exact: none of its keys is one that the event object writes
// in a place of its own (project, body, send time, host, bulk index) or that the send path
// reads from an event after completing it (level, error code, crash data); every key is
// UTF-8. The session id and the crash fields are left out of the text: only session and crash
// events carry them, and those never take a fragment (fits).
class CommonFragment {
 public:
  // The fragment of fields made by addCommonFieldsOf from an empty dictionary, redacted as
  // an event's fields are; null when appending them would not be exact.
  static std::shared_ptr<const CommonFragment> make(Fields common);

  // True when the event's JSON with the fragment after its own members is exactly that of
  // the event holding the common fields: an ordinary event (not a session or crash event)
  // whose own field keys are UTF-8 and none of the fragment's. Otherwise a field of the same
  // name would be replaced in place, or would win over the common one.
  bool fits(const VelaEvent& event) const;
  // The members: "key":"value",... in the fields' order.
  std::string_view json() const { return json_; }
  // The same fields as a dictionary, for the encodings that are not JSON text (OTLP).
  const Fields& fields() const { return fields_; }

 private:
  CommonFragment(std::vector<std::string> sortedKeys, std::string json, Fields fields)
      : sortedKeys_(std::move(sortedKeys)), json_(std::move(json)), fields_(std::move(fields)) {}

  std::vector<std::string> sortedKeys_;
  std::string json_;
  Fields fields_;
};

using CommonFragmentPtr = std::shared_ptr<const CommonFragment>;

}  // namespace zeplog::detail
