// Handle attributes and custom fields.
#include <mutex>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/text_rules.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

constexpr const char* kDefault = "0";
constexpr const char* kWardKit = "WardKit";

using Lock = detail::GlobalLock;

// How the "not found" line of an attribute call names the handle.
enum class NameId { kNo, kYes };

// Runs change on the handle under global_resource_lock, or writes "handle not found" (with
// the id when nameId says so).
template <typename Change>
void changeHandle(Text handleId, NameId nameId, Change change) {
  detail::guarded("attribute", [&] {
    Lock lock(detail::global_resource_lock());
    std::shared_ptr<kstVelaHandle> handle = detail::getHandler(handleId);
    if (!handle) {
      if (nameId == NameId::kYes) {
        ZEP_CONSOLE("handle not found : " + detail::consoleText(handleId));
      } else {
        ZEP_CONSOLE("handle not found");
      }
      return;
    }
    change(*handle);
  });
}

}  // namespace

// ---- Attributes -------------------------------------------------------------------------

void ZEPLog::setUserId(Text userId, Text handleId) noexcept {
  changeHandle(handleId, NameId::kNo, [&](kstVelaHandle& h) {
    if (userId.present()) h.userId = detail::apiText(userId);
  });
}
void ZEPLog::setUserId(Text userId) noexcept { setUserId(userId, kDefault); }
void ZEPLog::setUserId_WardKit(Text userId) noexcept { setUserId(userId, kWardKit); }

void ZEPLog::setLogType(Text logType, Text handleId) noexcept {
  // A thread's earlier calls never take its later log type or source.
  detail::settleStagedLogsIfFree();
  changeHandle(handleId, NameId::kNo, [&](kstVelaHandle& h) {
    h.logType = detail::apiText(logType);
    detail::refreshIdentityLocked(handleId.view());
  });
}
void ZEPLog::setLogType(Text logType) noexcept { setLogType(logType, kDefault); }
void ZEPLog::setLogType_WardKit(Text logType) noexcept { setLogType(logType, kWardKit); }

void ZEPLog::setLogSource(Text logSource, Text handleId) noexcept {
  // A thread's earlier calls never take its later log type or source.
  detail::settleStagedLogsIfFree();
  changeHandle(handleId, NameId::kYes, [&](kstVelaHandle& h) {
    h.logSource = detail::apiText(logSource);
    detail::refreshIdentityLocked(handleId.view());
  });
}
void ZEPLog::setLogSource(Text logSource) noexcept { setLogSource(logSource, kDefault); }
void ZEPLog::setLogSource_WardKit(Text logSource) noexcept { setLogSource(logSource, kWardKit); }

void ZEPLog::setLogDeduplicate(bool enabled, Text handleId) noexcept {
  changeHandle(handleId, NameId::kNo, [&](kstVelaHandle& h) { h.isDeduplicate = enabled; });
}
void ZEPLog::setLogDeduplicate(bool enabled) noexcept { setLogDeduplicate(enabled, kDefault); }
void ZEPLog::setLogDeduplicate_WardKit(bool enabled) noexcept {
  setLogDeduplicate(enabled, kWardKit);
}

// ---- Custom fields ----------------------------------------------------------------------

void ZEPLog::setCustomField(Text value, Text key, Text handleId) noexcept {
  detail::guarded("setCustomField", [&] {
    if (key.emptyOrAbsent()) return;
    if (!isValidField(key)) return;  // it wrote the pattern line
    std::shared_ptr<kstVelaHandle> handle = detail::getHandler(handleId);
    if (!handle) {
      ZEP_CONSOLE("handle not found");
      return;
    }
    if (detail::isReservedFieldName(key.view())) {
      ZEP_CONSOLE("Requested key is reserved for ZEPLog");
      return;
    }
    Bytes bytes(value.present() ? detail::toValidUtf8(value.view()) : std::string("-"));
    Lock lock(detail::global_resource_lock());
    // Removed first and appended again, so a replaced field moves to the end like a new one.
    handle->customFields->erase(key.view());
    handle->customFields->appendNew(std::string(key.view()), std::move(bytes));
  });
}
void ZEPLog::setCustomField(Text value, Text key) noexcept { setCustomField(value, key, kDefault); }
void ZEPLog::setCustomField_WardKit(Text value, Text key) noexcept {
  setCustomField(value, key, kWardKit);
}

void ZEPLog::removeCustomFieldForKey(Text key, Text handleId) noexcept {
  detail::guarded("removeCustomFieldForKey", [&] {
    Lock lock(detail::global_resource_lock());
    if (detail::isReservedFieldName(key.view())) {
      ZEP_CONSOLE("Requested key is reserved for ZEPLog");
      return;
    }
    if (detail::isProtectedSystemKey(key.view())) return;
    std::shared_ptr<kstVelaHandle> handle = detail::getHandler(handleId);
    if (!handle) {
      ZEP_CONSOLE("handle not found");
      return;
    }
    if (key.present()) handle->customFields->erase(key.view());
  });
}
void ZEPLog::removeCustomFieldForKey(Text key) noexcept { removeCustomFieldForKey(key, kDefault); }
void ZEPLog::removeCustomFieldForKey_WardKit(Text key) noexcept {
  removeCustomFieldForKey(key, kWardKit);
}

void ZEPLog::removeAllCustomFields(Text handleId) noexcept {
  changeHandle(handleId, NameId::kNo, [](kstVelaHandle& h) {
    // One pass over the fields, however many there are: the global lock is held.
    h.customFields->eraseIf([](const std::string& key, const auto&) {
      return !detail::isReservedFieldName(key) && !detail::isProtectedSystemKey(key);
    });
  });
}
void ZEPLog::removeAllCustomFields() noexcept { removeAllCustomFields(kDefault); }
void ZEPLog::removeAllCustomFields_WardKit() noexcept { removeAllCustomFields(kWardKit); }

}  // namespace zeplog
