// Entry points for native crashes, and the crash upload's transport.
#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "common/console.hpp"
#include "crash/crash_capture.hpp"
#include "facade/crash_wiring.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace detail {
namespace {

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// One POST of a crash event, on the calling thread, with its own easy handle: the crash
// upload shares no request state with anything else.
bool postCrashEvent(const CrashPostTarget& target, const std::string& body,
                    std::chrono::milliseconds timeout) {
  const std::string url = std::string(target.protocol == 0 ? "https" : "http") + "://" +
                          target.collectorUrl + ":" + std::to_string(target.collectorPort) +
                          "/v2/log";
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    ZEP_CONSOLE("request is null");
    return false;
  }
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(
      curl_slist_append(nullptr, "Content-Type: application/json"), curl_slist_free_all);
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discardBody);
  ZEP_CONSOLE("Send");
  const CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    ZEP_CONSOLE(std::string("Request failed with error : ") + curl_easy_strerror(rc));
    return false;
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  ZEP_CONSOLE(status == 200 ? "didReceiveResponse 200" : "didReceiveResponse not 200");
  return status == 200;
}

// The crash upload's transport, given once, before anything can send.
void wireCrashTransport() {
  static std::once_flag once;
  std::call_once(once, [] { setCrashTransport(postCrashEvent); });
}

}  // namespace

void armCrashCapture() {
  wireCrashTransport();
  enableSendCrashReport();
}

}  // namespace detail

void ZEPLog::enableSendCrashReport() { detail::armCrashCapture(); }
void ZEPLog::setCrashBlock(std::function<void()> block) { detail::setCrashBlock(std::move(block)); }
void ZEPLog::velaSendCrash(void* context) {
  detail::wireCrashTransport();
  detail::velaSendCrash(context);
}
void ZEPLog::sendCrashReport() {
  detail::wireCrashTransport();
  detail::sendCrashReport();
}
void ZEPLog::transportFile(Text fileName, const void* fileData, std::uint32_t fileSize,
                           Text errorCode, Text logBody) {
  detail::wireCrashTransport();
  (void)detail::transportFile(fileName, fileData, fileSize, errorCode, logBody);
}

}  // namespace zeplog
