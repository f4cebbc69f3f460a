// Building and posting the crash event of handle "0", and the minidump upload.
//
// The event is built from the crash text with this run's identity, read under
// global_resource_lock taken the crash path's way (CrashPathLock), then posted to the handle's
// collector and to the OTLP exporters, each request within what is left of the send's time.
#include "crash/crash_post.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <variant>

#include "common/base64.hpp"
#include "common/collector_url.hpp"
#include "common/console.hpp"
#include "common/files.hpp"
#include "common/upload_consent.hpp"
#include "common/utf8.hpp"
#include "crash/crash_report_file.hpp"
#include "event/common_fields.hpp"
#include "event/crash_key.hpp"
#include "event/event_json.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/redaction.hpp"
#include "transport/http_client.hpp"
#include "transport/otlp_answers.hpp"
#include "transport/otlp_exporters.hpp"
#include "zeplog/json_reader.hpp"

namespace zeplog::detail {
namespace {

constexpr std::int64_t kShortestUsefulRequestMs = 50;

// POSTs body to the target's "v2/log" within timeout (the whole request); true only when
// the collector answered 200. The request is this call's own: nothing of it is shared with
// the send thread's requests.
bool postCrashEvent(const CrashPostTarget& target, std::string body,
                    std::chrono::milliseconds timeout) {
  HttpRequest request;
  request.method = HttpRequest::Method::kPost;
  // The same address rule as the send thread's, so a crash goes where the logs go.
  request.url = collectorLogURL(target.protocol, target.collectorUrl, target.collectorPort);
  request.headers = {"Content-Type: application/json"};
  request.body = std::move(body);
  request.timeout = timeout;
  request.endAtHeaders = true;  // the status decides whether the report is kept
  ZEP_CONSOLE("Send");
  // A client of its own, closed afterwards: crash sends are rare and one at a time.
  HttpClient client;
  HttpResult result = client.perform(request);
  if (!result.completed) {
    ZEP_CONSOLE("Request failed with error : " + result.error);
    return false;
  }
  ZEP_CONSOLE(result.status == 200 ? "didReceiveResponse 200" : "didReceiveResponse not 200");
  return result.status == 200;
}

// What the crash event takes from handle "0".
struct HandleSnapshot {
  OptText projectName, projectVersion, logType, logSource;
  CrashPostTarget target;
};

// A field's text, "" when the event has none.
std::string fieldText(const Fields& fields, std::string_view key) {
  const FieldValue* value = fields.find(key);
  if (!value) return "";
  if (const auto* text = std::get_if<std::string>(value)) return *text;
  return toValidUtf8(std::get<Bytes>(*value).view());
}

// The form fields that tie a minidump to its crash event: the names crash servers know for
// the product, its version and the client (the device id), then the user, the session and
// the crash's duplicate key.
FormFields crashIdentity(const VelaEvent& event) {
  const Fields& fields = *event.fields();
  return {
      {"prod", event.projectName().value_or("")},    {"ver", event.projectVersion().value_or("")},
      {"guid", fieldText(fields, "DeviceID")},       {"user", fieldText(fields, "UserID")},
      {"session", fieldText(fields, kSessionIdKey)}, {"crash_key", crashKey(event)}};
}

// What is left of the context's time for one more request; none, with a line, when too
// little is left to be of use.
std::optional<std::chrono::milliseconds> timeForRequest(const SendContext& context) {
  const std::chrono::milliseconds timeout = context.requestTimeout();
  if (timeout.count() >= kShortestUsefulRequestMs) return timeout;
  ZEP_CONSOLE("crash report not sent: the hand-off's time is up");
  return std::nullopt;
}

// Posts the crash event (a JSON object of handle "0") to the OTLP exporters as one log
// record. True when every exporter answered 200.
bool exportCrashEvent(const SendContext& context, const OtlpTargets& targets,
                      const std::string& json) {
  std::shared_ptr<json::Object> object =
      kstCJSONDeserializer().deserializeAsDictionary(std::string_view(json));
  if (!object) return false;
  const std::optional<std::chrono::milliseconds> timeout = timeForRequest(context);
  if (!timeout) return false;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  OtlpBodies bodies =
      otlpBodiesFor(targets, {eventFromJsonObject(*object, "0")}, {},
                    static_cast<std::uint64_t>(
                        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
  HttpClient client;  // like the collector request: crash sends are rare and one at a time
  return settleOtlpAnswers(postToOtlpTargets(client, targets, bodies, *timeout, nullptr));
}

}  // namespace

std::optional<CrashPostTarget> crashTarget(SendContext& context) {
  CrashPathLock lock(context);
  if (!globals().gs_isInit.load()) {
    ZEP_CONSOLE("Debug: Please call the init function first.");
    return std::nullopt;
  }
  const auto* entry = findHandleLocked("0");
  if (!entry || !entry->second.record) {
    ZEP_CONSOLE("halder is null");
    return std::nullopt;
  }
  const kstVelaHandle& h = *entry->second.record;
  return CrashPostTarget{h.collectorUrl.value_or(""), h.collectorPort, h.protocol};
}

std::optional<CrashEvent> buildCrashEvent(SendContext& context, std::string_view data,
                                          Text errorCode, Text logBody, std::int64_t sendTime,
                                          std::string_view breadcrumbs) {
  {
    CrashPathLock lock(context);
    if (!globals().gs_isInit.load()) {
      ZEP_CONSOLE("Debug: Please call the init function first.");
      return std::nullopt;
    }
  }

  auto fields = std::make_shared<Fields>();
  fields->reserve(10);
  fields->set(kLogLevelKey, Bytes("FATAL"));
  HandleSnapshot handle;
  {
    CrashPathLock lock(context);
    const auto* entry = findHandleLocked("0");
    if (!entry || !entry->second.record) {
      ZEP_CONSOLE("halder is null");
      return std::nullopt;
    }
    const kstVelaHandle& h = *entry->second.record;
    try {
      copyCommonFieldsOf(*fields, h);
    } catch (const std::exception&) {
      ZEP_CONSOLE("custom field copy failed");
      return std::nullopt;
    }
    handle = {h.projectName,
              h.projectVersion,
              h.logType,
              h.logSource,
              {h.collectorUrl.value_or(""), h.collectorPort, h.protocol}};
  }
  fields->set(kSymMethodKey, std::string("dwarf-apple"));
  fields->set(kCrashStyleKey, std::string("ios-objc"));
  // The text's UTF-8 bytes, whatever characters they hold; bytes that are not UTF-8 are no
  // crash text.
  fields->set(kCrashDataKey,
              base64Encode(isValidUtf8(data) ? data : std::string_view("EMPTY CRASH FILE")));
  if (!errorCode.emptyOrAbsent()) fields->set(kErrorCodeKey, Bytes(toValidUtf8(errorCode.view())));
  if (!breadcrumbs.empty()) fields->set("Breadcrumbs", std::string(breadcrumbs));
  redactFieldsIn(*fields);

  auto event = std::make_shared<VelaEvent>(
      handle.projectName, handle.projectVersion, handle.logType, handle.logSource,
      Bytes(toValidUtf8(logBody.view())), sendTime, getHost(), fields, "0");
  return CrashEvent{getJsonFromVelaEvent(event), handle.target, crashIdentity(*event)};
}

bool postBuiltCrashEvent(const SendContext& context, const CrashEvent& event) {
  if (!uploadsAllowed()) {
    ZEP_CONSOLE("crash report kept on disk: upload consent not given");
    return false;
  }
  try {
    globals().gs_SyncSend.store(false);
    const std::shared_ptr<const OtlpTargets> exporters = otlpTargets();
    bool sent = true;
    if (!collectorRequestSkipped(*exporters)) {
      const std::optional<std::chrono::milliseconds> timeout = timeForRequest(context);
      if (!timeout) return false;
      sent = postCrashEvent(event.target, "[" + event.json + "]", *timeout);
    }
    if (!exporters->empty()) sent = exportCrashEvent(context, *exporters, event.json) && sent;
    return sent;
  } catch (const std::exception& e) {
    ZEP_CONSOLE(" END: send crash log to collector(" + event.target.collectorUrl + ":" +
                std::to_string(event.target.collectorPort) + ") is failed:" + e.what() + ".");
    return false;
  }
}

SendOutcome sendMinidumpIn(const SendContext& context, const MinidumpSettings& settings,
                           const std::string& path, FormFields identity) {
  if (settings.uploadUrl.empty() || !fileExists(path)) return SendOutcome::None;
  const std::string fieldsPath = minidumpFieldsPathFor(path);
  std::string error;
  if (identity.empty()) {
    if (std::optional<std::string> kept = readWholeFile(fieldsPath, &error))
      identity = decodeFormFields(*kept).value_or(FormFields{});
  } else if (!atomicWriteFile(fieldsPath, encodeFormFields(identity), &error)) {
    ZEP_CONSOLE("minidump identity not kept beside it: " + error);
  }
  if (!uploadsAllowed()) {
    ZEP_CONSOLE("minidump kept on disk: upload consent not given");
    return SendOutcome::Kept;
  }
  std::optional<std::string> file = readWholeFile(path, &error);
  if (!file) {
    ZEP_CONSOLE("minidump unreadable: " + error);
    return SendOutcome::Kept;
  }
  const std::optional<std::chrono::milliseconds> timeout = timeForRequest(context);
  if (!timeout) return SendOutcome::Kept;
  FormFields fields = std::move(identity);
  fields.insert(fields.end(), settings.fields.begin(), settings.fields.end());
  const std::string name = minidumpUploadName(path);
  if (!postMinidump(settings.uploadUrl, fields, name, *file, *timeout)) return SendOutcome::Kept;
  ::unlink(path.c_str());
  ::unlink(fieldsPath.c_str());
  return SendOutcome::Sent;
}

}  // namespace zeplog::detail
