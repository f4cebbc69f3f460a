// Helpers shared by the delivery tests: a library initialised against a loopback collector,
// and the JSON bodies the collector received.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/waits.hpp"
#include "delivery/send_thread.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "queue/block_queue.hpp"
#include "support/loopback_server.hpp"
#include "support/test_env.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog::test {

using Objects = std::vector<std::shared_ptr<json::Object>>;

// The event objects of a request body (a JSON array); fails the test for anything else.
inline Objects objectsOf(const std::string& body) {
  Objects out;
  std::optional<json::Value> v = kstCJSONDeserializer().deserialize(std::string_view(body));
  EXPECT_TRUE(v && v->isArray()) << body;
  if (!v || !v->isArray()) return out;
  for (const json::Value& item : *v->asArray()) {
    EXPECT_TRUE(item.isObject());
    if (item.isObject()) out.push_back(item.asObject());
  }
  return out;
}

// A text member of an event object; none when it is missing.
inline std::optional<std::string> member(const json::Object& o, std::string_view key) {
  const json::Value* v = o.find(key);
  if (!v || !v->isString()) return std::nullopt;
  return v->asString();
}

// The text of a field value: text as is, byte data decoded.
inline std::string textOf(const FieldValue* v) {
  if (!v) return "(none)";
  if (const auto* s = std::get_if<std::string>(v)) return *s;
  return std::get<Bytes>(*v).data;
}

// Returns once the settings thread of this process, if one runs, has applied the handle's
// settings, so that a test's own switch changes are not overwritten by it afterwards.
inline void waitForSettings(const char* handleId) {
  auto handle = detail::getHandler(handleId);
  for (int i = 0; i < 3000; ++i) {
    {
      detail::GlobalLock lock(detail::global_resource_lock());
      if (!detail::globals().gs_performanceThreadFlag || !handle || handle->isSettings) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// A loopback collector, the library initialised against it over HTTP (handle "0", app key
// "app") and a short pause between send cycles, so a test does not wait a second per cycle.
class DeliveryTest : public LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    detail::waits().sendCycleSleep = std::chrono::milliseconds(50);
  }

  bool initHttp(SyncStart sync = SyncStart::Off, Text unityVersion = Text(), Text appKey = "app",
                Text handleId = Text()) {
    return ZEPLog::init("127.0.0.1", server.port(), 1, appKey, "1.0", "user-1", CrashCapture::Off,
                        sync, unityVersion, handleId);
  }

  static kstVelaBlockQueue& queue() { return *detail::blockQueue(); }

  // Lets the send thread run the events queued so far as one cycle: initialise with
  // SyncStart::On, queue, then call this. The thread may already run (the settings thread
  // starts it too); the hold keeps it from taking anything before this.
  static void sendQueuedTogether() {
    ZEPLog::createLogSendThread();
    ZEPLog::startSendThread();
  }

  // The request bodies the collector received so far, as event objects.
  std::vector<Objects> bodies() const {
    std::vector<Objects> out;
    for (const SeenRequest& r : server.requests()) out.push_back(objectsOf(r.body));
    return out;
  }

  LoopbackServer server;
};

}  // namespace zeplog::test
