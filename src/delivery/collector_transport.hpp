// Posting batches of events to the collector.
#pragma once

#include <string>

#include "zeplog/text.hpp"

namespace zeplog::detail {

// Sends every non-empty batch of the batch table, one request per project and one request at
// a time, and returns when each has ended. Each batch is emptied before its request starts.
// The send thread calls this at the end of every cycle.
void sendVelaEventByRestAPI();

// Posts one JSON array text to the collector of the handle and blocks until the request has
// ended (answer, failure or the 10-second timeout). Status 200 delivers the text's events;
// any other status or failure writes them back to the failed-send queue with this handle id.
// Runs without global_resource_lock held by the caller.
void sendVelaEventByRestAPI(const std::string& json, Text handleId);

}  // namespace zeplog::detail
