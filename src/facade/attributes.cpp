// Handle attributes and custom fields.
#include <mutex>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/text_rules.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

constexpr const char* kDefault = "0";
constexpr const char* kWardKit = "WardKit";

using Lock = detail::GlobalLock;

// Runs change on the handle under global_resource_lock, or writes notFound.
template <typename Change>
void changeHandle(Text handleId, const std::string& notFound, Change change) {
  detail::guarded("attribute", [&] {
    Lock lock(detail::global_resource_lock());
    std::shared_ptr<kstVelaHandle> handle = detail::getHandler(handleId);
    if (!handle) {
      ZEP_CONSOLE(notFound);
      return;
    }
    change(*handle);
  });
}

}  // namespace

// ---- Attributes -------------------------------------------------------------------------

void ZEPLog::setUserId(Text userId, Text handleId) {
  changeHandle(handleId, "handle not found", [&](kstVelaHandle& h) {
    if (userId.present()) h.userId = detail::apiText(userId);
  });
}
void ZEPLog::setUserId(Text userId) { setUserId(userId, kDefault); }
void ZEPLog::setUserId_WardKit(Text userId) { setUserId(userId, kWardKit); }

void ZEPLog::setLogType(Text logType, Text handleId) {
  changeHandle(handleId, "handle not found",
               [&](kstVelaHandle& h) { h.logType = detail::apiText(logType); });
}
void ZEPLog::setLogType(Text logType) { setLogType(logType, kDefault); }
void ZEPLog::setLogType_WardKit(Text logType) { setLogType(logType, kWardKit); }

void ZEPLog::setLogSource(Text logSource, Text handleId) {
  changeHandle(handleId, "handle not found : " + detail::consoleText(handleId),
               [&](kstVelaHandle& h) { h.logSource = detail::apiText(logSource); });
}
void ZEPLog::setLogSource(Text logSource) { setLogSource(logSource, kDefault); }
void ZEPLog::setLogSource_WardKit(Text logSource) { setLogSource(logSource, kWardKit); }

void ZEPLog::setLogDeduplicate(bool enabled, Text handleId) {
  changeHandle(handleId, "handle not found", [&](kstVelaHandle& h) { h.isDeduplicate = enabled; });
}
void ZEPLog::setLogDeduplicate(bool enabled) { setLogDeduplicate(enabled, kDefault); }
void ZEPLog::setLogDeduplicate_WardKit(bool enabled) { setLogDeduplicate(enabled, kWardKit); }

// ---- Custom fields ----------------------------------------------------------------------

void ZEPLog::setCustomField(Text value, Text key, Text handleId) {
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
void ZEPLog::setCustomField(Text value, Text key) { setCustomField(value, key, kDefault); }
void ZEPLog::setCustomField_WardKit(Text value, Text key) { setCustomField(value, key, kWardKit); }

void ZEPLog::removeCustomFieldForKey(Text key, Text handleId) {
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
void ZEPLog::removeCustomFieldForKey(Text key) { removeCustomFieldForKey(key, kDefault); }
void ZEPLog::removeCustomFieldForKey_WardKit(Text key) { removeCustomFieldForKey(key, kWardKit); }

void ZEPLog::removeAllCustomFields(Text handleId) {
  changeHandle(handleId, "handle not found", [](kstVelaHandle& h) {
    // One pass over the fields, however many there are: the global lock is held.
    h.customFields->eraseIf([](const std::string& key, const auto&) {
      return !detail::isReservedFieldName(key) && !detail::isProtectedSystemKey(key);
    });
  });
}
void ZEPLog::removeAllCustomFields() { removeAllCustomFields(kDefault); }
void ZEPLog::removeAllCustomFields_WardKit() { removeAllCustomFields(kWardKit); }

}  // namespace zeplog
