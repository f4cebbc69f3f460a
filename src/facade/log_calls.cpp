// Log calls: every level form ends in sendLog, which builds one event and queues it.
#include "common/fork_locks.hpp"
#include "crash/unity_crash.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "queue/log_submit.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
void ZEPLog::sendLog(Text level, Text errorCode, Text message, Text /*location*/,
                     Text handleId) noexcept {
  detail::sendLog(level, errorCode, message, handleId);
}

void ZEPLog::sendLog(Text level, Text errorCode, Text message, Text location) noexcept {
  sendLog(level, errorCode, message, location, "0");
}

// Every form goes straight to detail::sendLog (the location is not sent), so a log call
// passes its texts through one call instead of a chain of forwarding forms.
#define ZEPLOG_DEFINE_LEVEL_FORMS(level, text)                                     \
  void ZEPLog::level(Text errorCode, Text message) noexcept {                      \
    detail::sendLog(text, errorCode, message, "0");                                \
  }                                                                                \
  void ZEPLog::level(Text errorCode, Text message, Text) noexcept {                \
    detail::sendLog(text, errorCode, message, "0");                                \
  }                                                                                \
  void ZEPLog::level##_Wardkit(Text errorCode, Text message) noexcept {            \
    detail::sendLog(text, errorCode, message, "WardKit");                          \
  }                                                                                \
  void ZEPLog::level##_Wardkit(Text errorCode, Text message, Text) noexcept {      \
    detail::sendLog(text, errorCode, message, "WardKit");                          \
  }                                                                                \
  void ZEPLog::level(Text errorCode, Text message, Text, Text handleId) noexcept { \
    detail::sendLog(text, errorCode, message, handleId);                           \
  }

ZEPLOG_DEFINE_LEVEL_FORMS(debug, "DEBUG")
ZEPLOG_DEFINE_LEVEL_FORMS(info, "INFO")
ZEPLOG_DEFINE_LEVEL_FORMS(warn, "WARN")
ZEPLOG_DEFINE_LEVEL_FORMS(error, "ERROR")
ZEPLOG_DEFINE_LEVEL_FORMS(fatal, "FATAL")
#undef ZEPLOG_DEFINE_LEVEL_FORMS

void ZEPLog::handledDebug(Text message, Text exception) noexcept {
  detail::sendUnityCrash("DEBUG", "HANDLED", message, exception);
}
void ZEPLog::handledInfo(Text message, Text exception) noexcept {
  detail::sendUnityCrash("INFO", "HANDLED", message, exception);
}
void ZEPLog::handledWarn(Text message, Text exception) noexcept {
  detail::sendUnityCrash("WARN", "HANDLED", message, exception);
}
void ZEPLog::handledError(Text message, Text exception) noexcept {
  detail::sendUnityCrash("ERROR", "HANDLED", message, exception);
}
void ZEPLog::handledFatal(Text message, Text exception) noexcept {
  detail::sendUnityCrash("FATAL", "HANDLED", message, exception);
}

std::int32_t ZEPLog::queueSize() noexcept {
  detail::restartIfForkedChild();    // a forked child counts its own events, not the parent's
  detail::settleStagedLogsIfFree();  // a staged call of an unknown handle counts for nothing
  kstVelaBlockQueue* queue = detail::blockQueue();
  return queue ? queue->queueCount() : -1;
}

std::int32_t ZEPLog::fileQueueSize() noexcept {
  detail::restartIfForkedChild();
  kstVelaBlockQueue* queue = detail::blockQueue();
  return queue ? queue->fileQueueCount() : -1;
}

}  // namespace zeplog
