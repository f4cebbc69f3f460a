// Entry points for minidumps: the options checked and clamped, then handed to the crash path.
#include <algorithm>
#include <cstddef>
#include <string_view>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/url.hpp"
#include "crash/crash_capture.hpp"
#include "event/global_state.hpp"
#include "zeplog/zeplog.h"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

// A name that fits in a form part's header as it is: no quote, no line break, not empty.
bool isUsableFieldName(std::string_view name) {
  return !name.empty() && name.find_first_of("\"\r\n") == std::string_view::npos;
}

// The caller's fields within the upload's bounds: one with a name that can't be sent, or past
// the count, is left out; a value longer than the bound is cut. A console line says so.
detail::FormFields boundedFields(const MinidumpOptions& options) {
  detail::FormFields fields;
  for (const auto& [name, value] : options.fields) {
    if (fields.size() == detail::kMaxMinidumpFields) {
      ZEP_CONSOLE("enableMinidumps: fields past the first " +
                  std::to_string(detail::kMaxMinidumpFields) + " are left out");
      break;
    }
    if (!isUsableFieldName(name) || name.size() > detail::kMaxMinidumpFieldName) {
      ZEP_CONSOLE(
          "enableMinidumps: field left out, its name is empty, too long or has a quote "
          "or line break");
      continue;
    }
    if (value.size() > detail::kMaxMinidumpFieldValue)
      ZEP_CONSOLE("enableMinidumps: the value of " + name + " is cut to " +
                  std::to_string(detail::kMaxMinidumpFieldValue) + " bytes");
    fields.emplace_back(name, value.substr(0, detail::kMaxMinidumpFieldValue));
  }
  return fields;
}

}  // namespace

bool ZEPLog::enableMinidumps(const MinidumpOptions& options) noexcept {
  return detail::guarded<bool>("enableMinidumps", false, [&] {
    if (!options.uploadUrl.empty() && !detail::isHttpUrlWithHost(options.uploadUrl)) {
      ZEP_CONSOLE(
          "enableMinidumps ignored: the upload URL must be an http or https URL with a "
          "host, or \"\"");
      return false;
    }
    if (detail::globals().gs_isInit.load()) {
      ZEP_CONSOLE("enableMinidumps ignored: call it before the first initialisation");
      return false;
    }
    if (!detail::setMinidumpSettings({options.write, options.uploadUrl, boundedFields(options)})) {
      ZEP_CONSOLE("enableMinidumps ignored: crash capture is already armed");
      return false;
    }
    return true;
  });
}

}  // namespace zeplog

extern "C" {

int zeplog_enable_minidumps(const zeplog_minidump_options* options) {
  return zeplog::detail::guarded<int>("zeplog_enable_minidumps", 0, [&] {
    // Only the members that lie wholly within the caller's size are read.
    const auto has = [&](std::size_t end) { return options && options->size >= end; };
    if (!has(offsetof(zeplog_minidump_options, write) + sizeof options->write)) {
      ZEP_CONSOLE("enableMinidumps ignored: NULL options or a size too small");
      return 0;
    }
    zeplog::MinidumpOptions o;
    o.write = options->write != 0;
    if (has(offsetof(zeplog_minidump_options, upload_url) + sizeof options->upload_url) &&
        options->upload_url)
      o.uploadUrl = options->upload_url;
    if (has(offsetof(zeplog_minidump_options, field_count) + sizeof options->field_count) &&
        options->field_count > 0) {
      if (!options->field_names || !options->field_values) {
        ZEP_CONSOLE("enableMinidumps ignored: NULL field list");
        return 0;
      }
      const std::size_t count = std::min(options->field_count, zeplog::detail::kMaxMinidumpFields);
      for (std::size_t i = 0; i < count; ++i) {
        if (!options->field_names[i] || !options->field_values[i]) {
          ZEP_CONSOLE("enableMinidumps ignored: NULL field name or value");
          return 0;
        }
        o.fields.emplace_back(options->field_names[i], options->field_values[i]);
      }
    }
    return zeplog::ZEPLog::enableMinidumps(o) ? 1 : 0;
  });
}

}  // extern "C"
