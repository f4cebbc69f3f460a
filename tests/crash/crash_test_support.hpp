// Reading crash events as the collector receives them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/base64.hpp"
#include "support/loopback_server.hpp"
#include "zeplog/json_reader.hpp"

namespace zeplog::test {

// The bytes of a base64 text; "" for text that is not base64.
inline std::string base64Decode(std::string_view text) {
  return detail::base64Decode(text).value_or("");
}

// The string members of every object of a posted JSON array, one map per event.
inline std::vector<std::map<std::string, std::string>> eventsOf(const std::string& body) {
  std::vector<std::map<std::string, std::string>> events;
  std::optional<json::Value> parsed = kstCJSONDeserializer::dictionaryWithJSONData(body);
  if (!parsed || !parsed->isArray()) return events;
  for (const json::Value& item : *parsed->asArray()) {
    if (!item.isObject()) continue;
    std::map<std::string, std::string> event;
    for (const auto& [key, value] : *item.asObject()) {
      if (value.isString()) event[key] = value.asString();
    }
    events.push_back(std::move(event));
  }
  return events;
}

// The crash events (those with "DmpData") among every request received.
inline std::vector<std::map<std::string, std::string>> crashEventsOf(
    const std::vector<SeenRequest>& requests) {
  std::vector<std::map<std::string, std::string>> crashes;
  for (const SeenRequest& request : requests) {
    if (request.path != "/v2/log") continue;
    for (auto& event : eventsOf(request.body)) {
      if (event.count("DmpData")) crashes.push_back(std::move(event));
    }
  }
  return crashes;
}

}  // namespace zeplog::test
