#include "settings/settings_reader.hpp"

#include <cmath>
#include <limits>
#include <memory>

#include "zeplog/json_reader.hpp"

namespace zeplog::detail {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The parsed settings text, with JSON null kept as a value (so that a null switch is seen
// as a value without a boolean reading, not as a missing one). Nothing when it is not JSON.
std::optional<json::Value> parse(std::string_view text) {
  kstCJSONDeserializer reader;
  std::optional<json::Value> null(std::in_place);  // a default Value is JSON null
  reader.setNullObject(std::move(null));
  return reader.deserialize(text);
}

// One step down a path: the member of an object, nullptr when the current value is missing
// or has no such member. A value that is present but not an object can't be looked into.
struct Step {
  const json::Value* value = nullptr;
  bool failed = false;
};

Step member(const json::Value* current, std::string_view key) {
  if (!current) return {};
  if (!current->isObject()) return {nullptr, true};
  return {current->asObject()->find(key), false};
}

Step path(const json::Value* root, std::initializer_list<std::string_view> keys) {
  Step s{root, false};
  for (std::string_view key : keys) {
    s = member(s.value, key);
    if (s.failed || !s.value) return s;
  }
  return s;
}

bool numberIsNonZero(const json::Value& v) {
  switch (v.kind()) {
    case json::Value::Kind::UInt:
      return v.asUInt() != 0;
    case json::Value::Kind::Int:
      return v.asInt() != 0;
    case json::Value::Kind::Double:
      return v.asDouble() != 0.0;
    default:
      return !v.asDecimal().isZero();
  }
}

bool stringReadsTrue(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isBlank(s[i])) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  if (i == s.size()) return false;
  const char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// The integer reading of a text: leading blanks, an optional sign and digits; 0 without
// digits; saturated at the 64-bit limits.
std::int64_t leadingInteger(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t n = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const int digit = s[i] - '0';
    if (n > (kMax - digit) / 10) return negative ? std::numeric_limits<std::int64_t>::min() : kMax;
    n = n * 10 + digit;
  }
  return negative ? -n : n;
}

std::int64_t truncated(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

}  // namespace

std::optional<bool> booleanReading(const json::Value* value) {
  if (!value) return false;
  if (value->isBool()) return value->asBool();
  if (value->isNumber()) return numberIsNonZero(*value);
  if (value->isString()) return stringReadsTrue(value->asString());
  return std::nullopt;
}

SettingsReading readSettings(const std::optional<std::string>& text) {
  SettingsReading out;
  std::optional<json::Value> doc = text ? parse(*text) : std::nullopt;
  const json::Value* root = doc ? &*doc : nullptr;

  // The values are looked up first, in this order; a path through something that is not an
  // object ends the reading before any switch is set.
  const Step urls = path(root, {"result", "networkpulses", "urls"});
  const Step crash = path(root, {"result", "crash", "enable"});
  const Step log = path(root, {"result", "log", "enable"});
  const Step session = path(root, {"result", "session", "enable"});
  const Step pulse = path(root, {"result", "networkpulses", "enable"});
  if (urls.failed || crash.failed || log.failed || session.failed || pulse.failed) {
    out.failed = true;
    return out;
  }

  // Then the switches, in the order they are applied; the first value without a boolean
  // reading ends it.
  std::optional<bool>* switches[] = {&out.isNetworkPulse, &out.isCrash, &out.isLog, &out.isSession};
  const Step* values[] = {&pulse, &crash, &log, &session};
  for (int i = 0; i < 4; ++i) {
    std::optional<bool> reading = booleanReading(values[i]->value);
    if (!reading) {
      out.failed = true;
      return out;
    }
    *switches[i] = *reading;
  }

  // The URLs are taken only when probing is on; a "urls" that is not a list is then a
  // broken answer.
  if (*out.isNetworkPulse && urls.value) {
    if (!urls.value->isArray()) {
      out.failed = true;
      return out;
    }
    for (const json::Value& element : *urls.value->asArray()) {
      if (element.isString()) out.urls.push_back(element.asString());
    }
  }
  return out;
}

std::optional<std::int64_t> readSettingsStatus(std::string_view body, std::string* why) {
  std::optional<json::Value> doc = parse(body);
  if (!doc) return 0;
  if (!doc->isObject()) {
    if (why) *why = "settings answer is not a JSON object";
    return std::nullopt;
  }
  const json::Value* status = doc->asObject()->find("status");
  if (!status) return 0;
  switch (status->kind()) {
    case json::Value::Kind::Bool:
      return status->asBool() ? 1 : 0;
    case json::Value::Kind::UInt:
      return status->asUInt() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? std::numeric_limits<std::int64_t>::max()
                 : static_cast<std::int64_t>(status->asUInt());
    case json::Value::Kind::Int:
      return status->asInt();
    case json::Value::Kind::Double:
      return truncated(status->asDouble());
    case json::Value::Kind::Decimal:
      return truncated(status->asDecimal().toDouble());
    case json::Value::Kind::String:
      return leadingInteger(status->asString());
    default:
      if (why) *why = "settings answer \"status\" has no integer reading";
      return std::nullopt;
  }
}

}  // namespace zeplog::detail
