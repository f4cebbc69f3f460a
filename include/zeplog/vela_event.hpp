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

// A plain value holder: a log call, a session start, a crash report or a probe result before
// it is queued. It validates nothing and takes no lock; an event is owned by one thread at a
// time, handed on through the event queue whose locks order the hand-off.
class ZEPLOG_API VelaEvent {
 public:
  // Every member absent, send time 0.
  VelaEvent() = default;
  // Stores each argument unchanged, absent values included (Text() or nullptr is absent).
  VelaEvent(Text projectName, Text projectVersion, Text logType, Text logSource,
            std::optional<Bytes> body, std::int64_t sendTime, Text host, FieldsPtr fields,
            Text handleId)
      : projectName_(projectName.optional()),
        projectVersion_(projectVersion.optional()),
        logType_(logType.optional()),
        logSource_(logSource.optional()),
        body_(std::move(body)),
        sendTime_(sendTime),
        host_(host.optional()),
        fields_(std::move(fields)),
        handleId_(handleId.optional()) {}

  const OptText& projectName() const { return projectName_; }
  const OptText& projectVersion() const { return projectVersion_; }
  const OptText& logType() const { return logType_; }
  const OptText& logSource() const { return logSource_; }
  const std::optional<Bytes>& body() const { return body_; }
  std::int64_t sendTime() const { return sendTime_; }
  const OptText& host() const { return host_; }
  const FieldsPtr& fields() const { return fields_; }
  const OptText& handleId() const { return handleId_; }

  void setProjectName(Text v) { projectName_ = v.optional(); }
  void setProjectVersion(Text v) { projectVersion_ = v.optional(); }
  void unsetProjectVersion() { projectVersion_.reset(); }
  void setLogType(Text v) { logType_ = v.optional(); }
  void setLogSource(Text v) { logSource_ = v.optional(); }
  void setBody(std::optional<Bytes> v) { body_ = std::move(v); }
  void setSendTime(std::int64_t v) { sendTime_ = v; }
  void setHost(Text v) { host_ = v.optional(); }
  void setFields(FieldsPtr v) { fields_ = std::move(v); }

 private:
  OptText projectName_;
  OptText projectVersion_;
  OptText logType_;
  OptText logSource_;
  std::optional<Bytes> body_;
  std::int64_t sendTime_ = 0;
  OptText host_;
  FieldsPtr fields_;
  OptText handleId_;
};

using VelaEventPtr = std::shared_ptr<VelaEvent>;

}  // namespace zeplog
