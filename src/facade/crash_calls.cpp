// Entry points for native crashes: each hands over to the crash subsystem.
#include "crash/crash_capture.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::enableSendCrashReport() { detail::enableSendCrashReport(); }
void ZEPLog::setCrashBlock(std::function<void()> block) { detail::setCrashBlock(std::move(block)); }
void ZEPLog::velaSendCrash(void* context) { detail::velaSendCrash(context); }
void ZEPLog::sendCrashReport() { detail::sendCrashReport(); }
void ZEPLog::transportFile(Text fileName, const void* fileData, std::uint32_t fileSize,
                           Text errorCode, Text logBody) {
  (void)detail::transportFile(fileName, fileData, fileSize, errorCode, logBody);
}

}  // namespace zeplog
