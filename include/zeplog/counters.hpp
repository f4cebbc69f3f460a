// What has become of the events the library was given, counted since the process started.
#pragma once

#include <cstdint>

namespace zeplog {

// A snapshot of the library's event counters. Each counter only grows. An event is counted
// where its fate is decided, so one event may appear in more than one counter over its life
// (written back after a failed send, then delivered by a later run).
struct Counters {
  // Pushed out of the main queue at its bound (2000 events or its byte bound): the oldest
  // go first.
  std::uint64_t droppedFromQueue = 0;
  // Pushed out of the failed-send queue at its bound, likewise.
  std::uint64_t droppedFromFailedQueue = 0;
  // Refused by the send filter: the handle's switch for its kind of event was off.
  std::uint64_t refusedByFilter = 0;
  // Collapsed into an earlier event with the same body and level (or the same crash).
  std::uint64_t collapsedRepeats = 0;
  // Lost because their handle or project was unknown when they were queued or sent.
  std::uint64_t lostUnknownHandle = 0;
  // Written back to the failed-send queue after a send failed or was not answered 200.
  std::uint64_t writtenBack = 0;
  // Sent in a request the collector answered with status 200.
  std::uint64_t delivered = 0;
  // Log calls below the local minimum level (ZEPLog::setMinimumLevel): no event was made.
  std::uint64_t belowMinimumLevel = 0;
  // Dropped by the before-send hook (ZEPLog::setBeforeSend): it returned false or threw.
  std::uint64_t droppedByBeforeSend = 0;
  // Durable mode: dropped from the spool unsent, past its byte or age bound.
  std::uint64_t droppedFromSpool = 0;
  // Log records an OTLP exporter's endpoint answered 200 for but reported as rejected (its
  // "partialSuccess"); they are not sent again.
  std::uint64_t otlpRejected = 0;
};

// What the controls over what leaves the machine held back (ZEPLog::controlCounters). Apart
// from Counters, which is returned by value and so cannot grow without breaking the ABI;
// the C interface has them at the end of zeplog_counters2. Each counter only grows.
struct ControlCounters {
  // Log calls left out by the sample rate of their level (ZEPLog::setSampleRate).
  std::uint64_t sampledOut = 0;
  // Log calls refused by the rate limit of their handle (ZEPLog::setRateLimit).
  std::uint64_t rateLimited = 0;
  // Upload consent revoked (ZEPLog::setUploadConsent): events deleted from the queues at the
  // revocation, and log calls, sessions and crash events refused while it holds.
  std::uint64_t droppedByConsent = 0;
};

// Every counter by name, for ZEPLog::counter: new counters are added at the end, so no
// struct has to grow and a program built with an older list reads the same values.
// The first fourteen are the members of Counters and ControlCounters of the same names.
enum class Counter : int {
  DroppedFromQueue,
  DroppedFromFailedQueue,
  RefusedByFilter,
  CollapsedRepeats,
  LostUnknownHandle,
  WrittenBack,
  Delivered,
  BelowMinimumLevel,
  DroppedByBeforeSend,
  DroppedFromSpool,
  OtlpRejected,
  SampledOut,
  RateLimited,
  DroppedByConsent,
  // Attributes of log calls left out or cut by the limits (attribute.hpp).
  AttributesCut,
  // Attributes left out because their key names a field the library writes.
  AttributeClashes,
};

}  // namespace zeplog
