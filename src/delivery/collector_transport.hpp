// Posting batches of events to the collector.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "transport/http_client.hpp"
#include "zeplog/text.hpp"

namespace zeplog::detail {

// Sends every non-empty batch of the batch table, one request per project and one request at
// a time, and returns when each has ended. Each batch is emptied before its request starts.
// The send thread calls this at the end of every cycle. True when every batch was answered
// 200 (or there was none); false when one failed or had no known handle. Counts the events
// delivered and those lost for an unknown handle. In durable mode each body goes to the
// spool instead, and the spool is then drained as far as the collector and the backoff let
// it; true then means that no post failed.
bool sendVelaEventByRestAPI();

// Posts one JSON array text to the collector of the handle and blocks until the request has
// ended (answer, failure or the 10-second timeout). Status 200 delivers the text's events;
// any other status or failure writes them back to the failed-send queue with this handle id.
// Runs without global_resource_lock held by the caller. True when answered 200.
bool sendVelaEventByRestAPI(const std::string& json, Text handleId);

// The request that posts a body of events to a collector URL: JSON, bounded by the collector
// timeout, ended by the answer's status; `cancelled` cuts it off.
HttpRequest collectorRequest(const std::string& url, std::string body,
                             std::function<bool()> cancelled);

// The URL this run posts a handle's batches to (its collector's "v2/log"); none for a handle
// id that names no handle.
std::optional<std::string> collectorURLOf(std::string_view handleId);

// Cuts off every batch request running now, and those that the same round of sending
// starts after it: they end as failures (their events written back). Later rounds are not
// affected.
void cancelRunningSends();

}  // namespace zeplog::detail
