// Log calls: every level form ends in sendLog, which builds one event and queues it.
#include <mutex>

#include "common/clock.hpp"
#include "common/console.hpp"
#include "facade/global_state.hpp"
#include "facade/guard.hpp"
#include "facade/text_rules.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
void ZEPLog::sendLog(Text level, Text errorCode, Text message, Text /*location*/, Text handleId) {
  detail::guarded("sendLog", [&] {
    auto fields = std::make_shared<Fields>();
    // Room for what this call puts in, no more: the log call is the hot path, and the send
    // thread grows the dictionary when it adds the common fields.
    fields->reserve(errorCode.emptyOrAbsent() ? 1 : 2);
    if (!errorCode.emptyOrAbsent())
      fields->appendNew("errorCode", Bytes(detail::toValidUtf8(errorCode.view())));
    fields->appendNew("logLevel", Bytes(detail::toValidUtf8(level.view())));
    Bytes body(detail::toValidUtf8(message.view()));
    const std::int64_t now = detail::nowMillis();

    if (handleId.absent()) {
      (void)kst_getHandler(handleId);  // writes its own line for the absent id
      ZEP_CONSOLE("handleId is null");
      return;
    }
    // The lookup and the handle's attributes are read under the lock, so a concurrent
    // registration, setLogType or setLogSource is seen either wholly before or wholly after.
    std::lock_guard<std::recursive_mutex> lock(detail::global_resource_lock());
    const auto* entry = detail::findHandleLocked(handleId.view());
    if (!entry) {
      ZEP_CONSOLE("handleId is null");
      return;
    }
    const kstVelaHandle& handle = *entry->second;
    const bool isSession = message == "SESSION";
    auto event = std::make_shared<VelaEvent>(
        handle.projectName, handle.projectVersion,
        isSession ? OptText(std::string("SESSION")) : handle.logType, handle.logSource,
        std::move(body), now, getHost(), std::move(fields), entry->first);
    if (kstVelaBlockQueue* queue = detail::blockQueue()) queue->enqueue(std::move(event));
  });
}

void ZEPLog::sendLog(Text level, Text errorCode, Text message, Text location) {
  sendLog(level, errorCode, message, location, "0");
}

#define ZEPLOG_DEFINE_LEVEL_FORMS(level, text)                                            \
  void ZEPLog::level(Text errorCode, Text message) { level(errorCode, message, Text()); } \
  void ZEPLog::level(Text errorCode, Text message, Text location) {                       \
    level(errorCode, message, location, "0");                                             \
  }                                                                                       \
  void ZEPLog::level##_Wardkit(Text errorCode, Text message) {                            \
    level##_Wardkit(errorCode, message, Text());                                          \
  }                                                                                       \
  void ZEPLog::level##_Wardkit(Text errorCode, Text message, Text location) {             \
    level(errorCode, message, location, "WardKit");                                       \
  }                                                                                       \
  void ZEPLog::level(Text errorCode, Text message, Text location, Text handleId) {        \
    sendLog(text, errorCode, message, location, handleId);                                \
  }

ZEPLOG_DEFINE_LEVEL_FORMS(debug, "DEBUG")
ZEPLOG_DEFINE_LEVEL_FORMS(info, "INFO")
ZEPLOG_DEFINE_LEVEL_FORMS(warn, "WARN")
ZEPLOG_DEFINE_LEVEL_FORMS(error, "ERROR")
ZEPLOG_DEFINE_LEVEL_FORMS(fatal, "FATAL")
#undef ZEPLOG_DEFINE_LEVEL_FORMS

void ZEPLog::handledDebug(Text message, Text exception) {
  sendUnityCrash("DEBUG", "HANDLED", message, exception);
}
void ZEPLog::handledInfo(Text message, Text exception) {
  sendUnityCrash("INFO", "HANDLED", message, exception);
}
void ZEPLog::handledWarn(Text message, Text exception) {
  sendUnityCrash("WARN", "HANDLED", message, exception);
}
void ZEPLog::handledError(Text message, Text exception) {
  sendUnityCrash("ERROR", "HANDLED", message, exception);
}
void ZEPLog::handledFatal(Text message, Text exception) {
  sendUnityCrash("FATAL", "HANDLED", message, exception);
}

std::int32_t ZEPLog::queueSize() {
  kstVelaBlockQueue* queue = detail::blockQueue();
  return queue ? queue->queueCount() : -1;
}

std::int32_t ZEPLog::fileQueueSize() {
  kstVelaBlockQueue* queue = detail::blockQueue();
  return queue ? queue->fileQueueCount() : -1;
}

}  // namespace zeplog
