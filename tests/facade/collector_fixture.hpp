// A development collector on 127.0.0.1 with its SQLite file in the test's data directory,
// and the library pointed at it (settings included) over HTTP.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/waits.hpp"
#include "delivery/send_thread.hpp"
#include "dev_collector.hpp"
#include "support/test_env.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog::test {

using StoredMap = std::map<std::string, std::string>;

class DevCollectorTest : public LibraryTest {
 protected:
  void SetUp() override {
    tools::CollectorOptions options;
    options.databasePath = dataDir.path() + "/events.sqlite";
    options.keepAliveSeconds = 1;
    collector = std::make_unique<tools::DevCollector>(options);
    std::string error;
    ASSERT_TRUE(collector->start(&error)) << error;
    ASSERT_TRUE(ZEPLog::setSettingsBaseURL(collector->baseUrl() + "/v2/"));
    detail::waits().sendCycleSleep = std::chrono::milliseconds(50);
  }

  bool init(Text appKey = "app", Text handleId = Text()) {
    return ZEPLog::init("127.0.0.1", collector->port(), 1, appKey, "1.0", "user-1",
                        CrashCapture::Off, SyncStart::Off, Text(), handleId);
  }

  // Every event the collector stored in its database, as its text members.
  std::vector<StoredMap> stored() const {
    std::vector<StoredMap> out;
    for (const tools::StoredEvent& e : collector->events()) {
      StoredMap m;
      std::optional<json::Value> v = kstCJSONDeserializer::dictionaryWithJSONData(e.json);
      if (v && v->isObject()) {
        for (const auto& [key, value] : *v->asObject())
          if (value.isString()) m[key] = value.asString();
      }
      out.push_back(std::move(m));
    }
    return out;
  }
  // The stored JSON text of the one event with this body ("" when none), for typed members.
  std::string storedJsonWithBody(const std::string& body) const {
    for (const tools::StoredEvent& e : collector->events()) {
      std::optional<json::Value> v = kstCJSONDeserializer::dictionaryWithJSONData(e.json);
      if (v && v->isObject()) {
        const json::Value* b = v->asObject()->find("body");
        if (b && b->isString() && b->asString() == body) return e.json;
      }
    }
    return "";
  }
  std::vector<StoredMap> withBody(const std::string& body) const {
    std::vector<StoredMap> out;
    for (auto& e : stored())
      if (e["body"] == body) out.push_back(e);
    return out;
  }

  std::unique_ptr<tools::DevCollector> collector;
};

}  // namespace zeplog::test
