// One log event on its way from the application to the collector.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "zeplog/bytes.hpp"
#include "zeplog/export.hpp"
#include "zeplog/ordered_map.hpp"
#include "zeplog/text.hpp"

namespace zeplog {

// A value in an event's fields or a handle's custom fields: text, or UTF-8 byte data.
using FieldValue = std::variant<std::string, Bytes>;
// An event's field dictionary. Shared: the event keeps the dictionary its creator handed in
// and later stages (common fields, restore from file) add keys to it in place.
using Fields = OrderedMap<FieldValue>;
using FieldsPtr = std::shared_ptr<Fields>;
// Text that may be absent.
using OptText = std::optional<std::string>;

namespace detail {
struct LogEventMaker;
}  // namespace detail

// Who made an event: the identity of its handle when the event was made. Immutable; a
// handle's events share one until its attributes change.
struct VelaEventIdentity {
  OptText projectName;
  OptText projectVersion;
  OptText logType;
  OptText logSource;
  OptText handleId;
};
using VelaEventIdentityPtr = std::shared_ptr<const VelaEventIdentity>;

// A plain value holder: a log call, a session start, a crash report or a probe result before
// it is queued. It validates nothing and takes no lock; an event is owned by one thread at a
// time, handed on through the event queue whose locks order the hand-off.
//
// An event made by a log call keeps its text (message, level, error code) in its own
// allocation and makes its body and field dictionary from it on first use; so even the
// const accessors body() and fields() may write, and must not race a call on the same event
// from another thread, like any other member. Setters never change what other events see.
class ZEPLOG_API VelaEvent {
 public:
  // Every member absent, send time 0.
  VelaEvent() = default;
  // Stores each argument unchanged, absent values included (Text() or nullptr is absent).
  VelaEvent(Text projectName, Text projectVersion, Text logType, Text logSource,
            std::optional<Bytes> body, std::int64_t sendTime, Text host, FieldsPtr fields,
            Text handleId);
  // A copy shares the field dictionary, as the events do after copying a FieldsPtr.
  VelaEvent(const VelaEvent& other);
  VelaEvent& operator=(const VelaEvent& other);
  ~VelaEvent() = default;

  const OptText& projectName() const { return identity().projectName; }
  const OptText& projectVersion() const { return identity().projectVersion; }
  const OptText& logType() const { return identity().logType; }
  const OptText& logSource() const { return identity().logSource; }
  const std::optional<Bytes>& body() const {
    if (inlineBody_) makeBody();
    return body_;
  }
  std::int64_t sendTime() const { return sendTime_; }
  const OptText& host() const { return host_ ? *host_ : absentText(); }
  const FieldsPtr& fields() const {
    if (inlineFields_) makeFields();
    return fields_;
  }
  const OptText& handleId() const { return identity().handleId; }

  void setProjectName(Text v);
  void setProjectVersion(Text v);
  void unsetProjectVersion();
  void setLogType(Text v);
  void setLogSource(Text v);
  void setBody(std::optional<Bytes> v);
  void setSendTime(std::int64_t v) { sendTime_ = v; }
  void setHost(Text v);
  void setFields(FieldsPtr v);

 private:
  friend struct detail::LogEventMaker;

  static const OptText& absentText();
  static const VelaEventIdentity& emptyIdentity();
  const VelaEventIdentity& identity() const { return identity_ ? *identity_ : emptyIdentity(); }
  // A private identity to change: copied from the shared one.
  VelaEventIdentity& ownIdentity();
  void makeBody() const;
  void makeFields() const;

  VelaEventIdentityPtr identity_;  // null: every member absent
  mutable std::optional<Bytes> body_;
  mutable FieldsPtr fields_;
  std::int64_t sendTime_ = 0;
  // The host: null when absent, else the process-wide "-" or ownHost_.
  const OptText* host_ = nullptr;
  std::unique_ptr<const OptText> ownHost_;
  // A log call's text, stored right after the event in its allocation: the message, then
  // the level, then the error code. Read while inlineBody_ / inlineFields_ say the body /
  // the fields are still to be made from it.
  const char* text_ = nullptr;
  std::uint32_t bodySize_ = 0;
  std::uint32_t levelSize_ = 0;
  std::uint32_t errorCodeSize_ = 0;
  mutable bool inlineBody_ = false;
  mutable bool inlineFields_ = false;
};

using VelaEventPtr = std::shared_ptr<VelaEvent>;

}  // namespace zeplog
