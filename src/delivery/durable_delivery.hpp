// Durable delivery: request bodies spooled on disk before they are posted, and sent again,
// with backoff, until the collector takes them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "zeplog/durable_delivery.hpp"

namespace zeplog::detail {

// Turns durable mode on with these bounds. Called once, before the first initialisation.
void setDurableDelivery(const DurableDelivery& options);
bool durableDeliveryOn();

// ---- The send thread's side (no other thread calls these) ----

// Opens this process's spool, unless it is open already; in a forked child it leaves the
// parent's spool and opens one of its own. A spool that can't be opened leaves durable mode
// without effect (bodies are posted directly), with a console line. The records an earlier
// run left for a destination this run no longer uses go to this run's destination of the
// same kind: the collector of their handle, or an OTLP exporter no record names (see
// destinationsOfThisRun in the source).
void openSpoolForThisProcess();
// Appends a request body to the spool, with extra request headers (one "Name: value" per
// line); false when durable mode is off or the spool could not take it, and the caller must
// post it itself. A body for an OTLP endpoint ("/v1/logs") is posted with its answer read, so
// that a partial success is counted.
bool spoolBody(const std::string& url, const std::string& handleId, const std::string& body,
               std::size_t events, const std::string& headers = "");
// Posts spooled bodies, each destination's in their order, while that destination answers 200
// and a cycle's worth of its bytes has not gone yet; nothing to a destination while its
// backoff or "Retry-After" runs. A failing destination holds back only its own bodies. A
// body leaves the spool on 200 only. `cancelled` cuts a running post off. False when a post
// failed.
bool drainSpool(const std::function<bool()>& cancelled);
// How long until the next attempt may be made to a destination that has bodies waiting; zero
// when one may be tried now.
std::chrono::milliseconds untilRetry();

// Upload consent revoked: this process's spool forgets its records unsent and its directory
// is deleted; the next openSpoolForThisProcess opens a fresh one. Returns the events the
// records held.
std::uint64_t discardSpool();

// ---- Any thread ----
// The directory of the spool this process has open, or "" (a revocation on another thread
// leaves it to the send thread's discardSpool).
std::string openSpoolDirectory();
// Bodies waiting in the spool, and the events they hold; 0 in the default mode.
std::uint64_t spoolBacklog();
std::uint64_t spoolBacklogEvents();

}  // namespace zeplog::detail
