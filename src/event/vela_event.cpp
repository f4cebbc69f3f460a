// The event record's out-of-line members and the log call's one-allocation event.
#include "zeplog/vela_event.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "common/block_pool.hpp"
#include "common/no_destructor.hpp"
#include "event/attribute_fields.hpp"
#include "event/vela_event_maker.hpp"

namespace zeplog {
namespace {

// The shared texts below are made at compile time and never destroyed (events may outlive
// exit): a log call takes no lock, and a child forked while one of its threads made such a
// text on first use would wait for that thread forever.
constinit const detail::NoDestructor<OptText> g_dash(std::in_place, "-");
constinit const detail::NoDestructor<OptText> g_absent;
constinit const detail::NoDestructor<VelaEventIdentity> g_emptyIdentity;

const OptText& dashText() { return g_dash.value; }

}  // namespace

VelaEvent::VelaEvent(Text projectName, Text projectVersion, Text logType, Text logSource,
                     std::optional<Bytes> body, std::int64_t sendTime, Text host, FieldsPtr fields,
                     Text handleId)
    : identity_(std::make_shared<const VelaEventIdentity>(
          VelaEventIdentity{projectName.optional(), projectVersion.optional(), logType.optional(),
                            logSource.optional(), handleId.optional()})),
      body_(std::move(body)),
      fields_(std::move(fields)),
      sendTime_(sendTime) {
  setHost(host);
}

VelaEvent::VelaEvent(const VelaEvent& other)
    : identity_(other.identity_),
      body_(other.body()),
      fields_(other.fields()),
      sendTime_(other.sendTime_) {
  setHost(other.host());
}

VelaEvent& VelaEvent::operator=(const VelaEvent& other) {
  if (this == &other) return *this;
  identity_ = other.identity_;
  setBody(other.body());
  setFields(other.fields());
  sendTime_ = other.sendTime_;
  setHost(other.host());
  return *this;
}

const OptText& VelaEvent::absentText() { return g_absent.value; }

const VelaEventIdentity& VelaEvent::emptyIdentity() { return g_emptyIdentity.value; }

VelaEventIdentity& VelaEvent::ownIdentity() {
  auto own = identity_ ? std::make_shared<VelaEventIdentity>(*identity_)
                       : std::make_shared<VelaEventIdentity>();
  VelaEventIdentity& ref = *own;
  identity_ = std::move(own);
  return ref;
}

void VelaEvent::setProjectName(Text v) { ownIdentity().projectName = v.optional(); }
void VelaEvent::setProjectVersion(Text v) { ownIdentity().projectVersion = v.optional(); }
void VelaEvent::unsetProjectVersion() { ownIdentity().projectVersion.reset(); }
void VelaEvent::setLogType(Text v) { ownIdentity().logType = v.optional(); }
void VelaEvent::setLogSource(Text v) { ownIdentity().logSource = v.optional(); }

void VelaEvent::setBody(std::optional<Bytes> v) {
  body_ = std::move(v);
  inlineBody_ = false;
}

void VelaEvent::setFields(FieldsPtr v) {
  fields_ = std::move(v);
  inlineFields_ = false;
}

void VelaEvent::setHost(Text v) {
  if (v.absent()) {
    host_ = nullptr;
    ownHost_.reset();
  } else if (v.view() == "-") {
    host_ = &dashText();
    ownHost_.reset();
  } else {
    ownHost_ = std::make_unique<const OptText>(std::string(v.view()));
    host_ = ownHost_.get();
  }
}

void VelaEvent::makeBody() const {
  body_.emplace(std::string_view(text_, bodySize_));
  inlineBody_ = false;
}

void VelaEvent::makeFields() const {
  auto fields = std::make_shared<Fields>();
  // Room for the common fields the send thread adds, so they need no second allocation.
  fields->reserve(detail::LogEventMaker::kFieldRoom);
  const char* level = text_ + bodySize_;
  if (errorCodeSize_ != 0)
    fields->appendNew("errorCode", Bytes(std::string_view(level + levelSize_, errorCodeSize_)));
  fields->appendNew("logLevel", Bytes(std::string_view(level, levelSize_)));
  const std::optional<TraceContext> trace = detail::LogEventMaker::trace(*this);
  detail::addAttributeFields(*fields, detail::LogEventMaker::attributes(*this),
                             trace ? &*trace : nullptr);
  fields_ = std::move(fields);
  inlineFields_ = false;
}

namespace detail {
namespace {

// Allocates the shared_ptr's block with room for `extra` bytes after it, from the block
// pool (a log call's event of up to a few hundred bytes reuses a freed one); the address of
// that room is written to *tail when the block is allocated.
template <typename T>
struct TailAllocator {
  using value_type = T;

  TailAllocator(std::size_t extra, char** tail) : extra_(extra), tail_(tail) {}
  template <typename U>
  TailAllocator(const TailAllocator<U>& other) : extra_(other.extra_), tail_(other.tail_) {}

  T* allocate(std::size_t n) {
    char* block = static_cast<char*>(poolAllocate(n * sizeof(T) + extra_));
    *tail_ = block + n * sizeof(T);
    return reinterpret_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) noexcept { poolFree(p, n * sizeof(T) + extra_); }

  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <typename U>
  bool operator==(const TailAllocator<U>& other) const noexcept {
    return extra_ == other.extra_;
  }

  std::size_t extra_;
  char** tail_;  // read only while the block is allocated, during allocate_shared
};

}  // namespace

VelaEventPtr LogEventMaker::make(std::string_view message, std::string_view level,
                                 std::string_view errorCode, std::int64_t sendTime, bool hostDash,
                                 std::string_view packedAttributes, const TraceContext* trace) {
  constexpr std::size_t kMaxPart = UINT32_MAX;
  if (message.size() > kMaxPart || level.size() > kMaxPart || errorCode.size() > kMaxPart ||
      packedAttributes.size() > kMaxPart) {
    // Too long to keep inline: an ordinary event with the same content.
    auto fields = std::make_shared<Fields>();
    if (!errorCode.empty()) fields->appendNew("errorCode", Bytes(errorCode));
    fields->appendNew("logLevel", Bytes(level));
    addAttributeFields(*fields, packedAttributes, trace);
    auto event = std::make_shared<VelaEvent>();
    event->setBody(Bytes(message));
    event->setFields(std::move(fields));
    event->setSendTime(sendTime);
    if (hostDash) event->host_ = &dashText();
    return event;
  }
  const std::size_t traceBytes = trace ? kTraceBytes : 0;
  const std::size_t extra = sizeof(LogTail) + message.size() + level.size() + errorCode.size() +
                            packedAttributes.size() + traceBytes;
  char* tail = nullptr;
  auto event = std::allocate_shared<VelaEvent>(TailAllocator<VelaEvent>(extra, &tail));
  ::new (static_cast<void*>(tail)) LogTail{static_cast<std::uint32_t>(packedAttributes.size()),
                                           trace ? std::uint8_t{1} : std::uint8_t{0}};
  // An empty view may hold no pointer at all, which memcpy must not be given.
  char* at = tail + sizeof(LogTail);
  for (std::string_view part : {message, level, errorCode, packedAttributes}) {
    if (!part.empty()) std::memcpy(at, part.data(), part.size());
    at += part.size();
  }
  if (trace) writeTrace(at, *trace);
  VelaEvent& e = *event;
  e.sendTime_ = sendTime;
  if (hostDash) e.host_ = &dashText();
  e.text_ = tail + sizeof(LogTail);
  e.bodySize_ = static_cast<std::uint32_t>(message.size());
  e.levelSize_ = static_cast<std::uint32_t>(level.size());
  e.errorCodeSize_ = static_cast<std::uint32_t>(errorCode.size());
  e.inlineBody_ = true;
  e.inlineFields_ = true;
  return event;
}

}  // namespace detail
}  // namespace zeplog
