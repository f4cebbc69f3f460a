// Entry points for native crashes: each hands over to the crash subsystem.
#include "common/guard.hpp"
#include "crash/crash_capture.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::enableSendCrashReport() noexcept {
  detail::guarded("enableSendCrashReport", [] { detail::enableSendCrashReport(); });
}
void ZEPLog::setCrashBlock(std::function<void()> block) noexcept {
  detail::guarded("setCrashBlock", [&] { detail::setCrashBlock(std::move(block)); });
}
void ZEPLog::velaSendCrash(void* context) noexcept {
  detail::guarded("velaSendCrash", [&] { detail::velaSendCrash(context); });
}
void ZEPLog::sendCrashReport() noexcept {
  detail::guarded("sendCrashReport", [] { detail::sendCrashReport(); });
}
void ZEPLog::transportFile(Text fileName, const void* fileData, std::uint32_t fileSize,
                           Text errorCode, Text logBody) noexcept {
  detail::guarded("transportFile", [&] {
    (void)detail::transportFile(fileName, fileData, fileSize, errorCode, logBody);
  });
}

}  // namespace zeplog
