// Integrations the application turns on: the local minimum level, the before-send hook and
// its redaction helper, breadcrumbs for crash reports. Each is off until turned on.
#include "common/breadcrumbs.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/utf8.hpp"
#include "delivery/before_send.hpp"
#include "event/redaction.hpp"
#include "event/text_rules.hpp"
#include "facade/environment_config.hpp"
#include "queue/log_submit.hpp"
#include "zeplog/zeplog.h"
#include "zeplog/zeplog.hpp"

namespace zeplog {

bool ZEPLog::setMinimumLevel(Text level) noexcept {
  return detail::guarded<bool>("setMinimumLevel", false, [&] {
    detail::markExplicit(detail::ConfigItem::kMinimumLevel);
    return detail::applyMinimumLevel(level);
  });
}

void ZEPLog::setBeforeSend(std::function<bool(VelaEvent&)> hook) noexcept {
  detail::guarded("setBeforeSend", [&] { detail::setBeforeSend(std::move(hook)); });
}

void ZEPLog::redactFields(std::vector<std::string> keys) noexcept {
  detail::guarded("redactFields", [&] { detail::setRedactedFields(std::move(keys)); });
}

void ZEPLog::setBreadcrumbs(std::uint32_t n) noexcept {
  detail::guarded("setBreadcrumbs", [&] {
    detail::markExplicit(detail::ConfigItem::kBreadcrumbs);
    detail::applyBreadcrumbs(n);
  });
}

namespace detail {

bool applyMinimumLevel(Text level) {
  if (level.present() && setMinimumLevel(level.view())) return true;
  ZEP_CONSOLE("setMinimumLevel refused: not DEBUG, INFO, WARN, ERROR or FATAL : " +
              consoleText(level));
  return false;
}

void applyBreadcrumbs(std::uint32_t n) {
  if (n > kMaxBreadcrumbs) {
    ZEP_CONSOLE("setBreadcrumbs : " + std::to_string(n) + " is taken as " +
                std::to_string(kMaxBreadcrumbs));
    n = kMaxBreadcrumbs;
  }
  breadcrumbs().setCapacity(n);
}

}  // namespace detail
}  // namespace zeplog

// ---- The C forms ------------------------------------------------------------------------------

// A zeplog_event* is the address of the VelaEvent the hook was given.
namespace {

zeplog::VelaEvent& eventOf(zeplog_event* e) { return *reinterpret_cast<zeplog::VelaEvent*>(e); }
const zeplog::VelaEvent& eventOf(const zeplog_event* e) {
  return *reinterpret_cast<const zeplog::VelaEvent*>(e);
}

}  // namespace

extern "C" {

int zeplog_set_minimum_level(const char* level) {
  return zeplog::ZEPLog::setMinimumLevel(level) ? 1 : 0;
}

void zeplog_set_before_send(zeplog_before_send_fn hook, void* user) {
  zeplog::detail::guarded("zeplog_set_before_send", [&] {
    if (!hook) return zeplog::ZEPLog::setBeforeSend(nullptr);
    zeplog::ZEPLog::setBeforeSend([hook, user](zeplog::VelaEvent& event) {
      return hook(reinterpret_cast<zeplog_event*>(&event), user) != 0;
    });
  });
}

const char* zeplog_event_field(const zeplog_event* event, const char* key, size_t* len) {
  return zeplog::detail::guarded<const char*>("zeplog_event_field", nullptr, [&]() -> const char* {
    if (!event || !key) return nullptr;
    const zeplog::FieldsPtr& fields = eventOf(event).fields();
    const zeplog::FieldValue* v = fields ? fields->find(key) : nullptr;
    if (!v) return nullptr;
    const std::string& text = std::holds_alternative<std::string>(*v)
                                  ? std::get<std::string>(*v)
                                  : std::get<zeplog::Bytes>(*v).data;
    if (len) *len = text.size();
    return text.c_str();
  });
}

void zeplog_event_set_field(zeplog_event* event, const char* key, const char* value) {
  zeplog::detail::guarded("zeplog_event_set_field", [&] {
    if (!event || !key) return;
    zeplog::VelaEvent& e = eventOf(event);
    if (!e.fields()) e.setFields(std::make_shared<zeplog::Fields>());
    if (value) {
      e.fields()->set(key, zeplog::FieldValue(zeplog::detail::toValidUtf8(value)));
    } else {
      e.fields()->erase(key);
    }
  });
}

const char* zeplog_event_body(const zeplog_event* event, size_t* len) {
  return zeplog::detail::guarded<const char*>("zeplog_event_body", nullptr, [&]() -> const char* {
    if (!event) return nullptr;
    const std::optional<zeplog::Bytes>& body = eventOf(event).body();
    if (!body) return nullptr;
    if (len) *len = body->data.size();
    return body->data.c_str();
  });
}

void zeplog_event_set_body(zeplog_event* event, const char* body) {
  zeplog::detail::guarded("zeplog_event_set_body", [&] {
    if (!event) return;
    eventOf(event).setBody(
        body ? std::optional<zeplog::Bytes>(zeplog::Bytes(zeplog::detail::toValidUtf8(body)))
             : std::nullopt);
  });
}

void zeplog_redact_fields(const char* const* keys, size_t count) {
  zeplog::detail::guarded("zeplog_redact_fields", [&] {
    std::vector<std::string> list;
    for (size_t i = 0; keys && i < count; ++i) {
      if (keys[i]) list.emplace_back(keys[i]);
    }
    zeplog::ZEPLog::redactFields(std::move(list));
  });
}

void zeplog_set_breadcrumbs(uint32_t n) { zeplog::ZEPLog::setBreadcrumbs(n); }

}  // extern "C"
