// spdlog sinks that send through ZEPLog (CMake target zeplog::spdlog_sink).
//
//   auto sink = std::make_shared<zeplog::spdlog_sink_mt>();      // handle "0"
//   auto logger = std::make_shared<spdlog::logger>("net", sink);  // or add it to a logger
//   logger->warn("retry {} of {}", 2, 5);   // body "retry 2 of 5", logLevel "WARN",
//                                           // errorCode "net"
//
// Levels: trace and debug -> DEBUG, info -> INFO, warn -> WARN, err -> ERROR, critical ->
// FATAL. The body is the message formatted by the sink's pattern, "%v" (the message alone)
// unless set_pattern says otherwise, without its line break; the logger's name goes into the
// event's "errorCode" field (none for a logger without a name). A call with a source location
// (the SPDLOG_ macros) carries it as the attributes "code.file.path", "code.line.number" and
// "code.function.name". Each call queues one event
// like ZEPLog::info etc., so the library's minimum level, breadcrumbs and before-send hook
// apply; nothing is sent on the caller's thread.
#pragma once

#include <spdlog/details/log_msg.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>

#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "zeplog/zeplog.hpp"

namespace zeplog {

template <typename Mutex>
class spdlog_sink final : public spdlog::sinks::base_sink<Mutex> {
 public:
  // Sends through handle "0".
  spdlog_sink() : spdlog_sink(std::string("0")) {}
  // Sends through the named handle.
  explicit spdlog_sink(std::string handleId)
      : spdlog::sinks::base_sink<Mutex>(std::make_unique<spdlog::pattern_formatter>(
            "%v", spdlog::pattern_time_type::local, std::string())),
        handleId_(std::move(handleId)) {}

  const std::string& handleId() const { return handleId_; }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    this->formatter_->format(msg, formatted);
    std::string_view body(formatted.data(), formatted.size());
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
    const std::string_view name(msg.logger_name.data(), msg.logger_name.size());
    const Text code = name.empty() ? Text() : Text(name);
    Level level = Level::Info;
    switch (msg.level) {
      case spdlog::level::trace:
      case spdlog::level::debug:
        level = Level::Debug;
        break;
      case spdlog::level::info:
        break;
      case spdlog::level::warn:
        level = Level::Warn;
        break;
      case spdlog::level::err:
        level = Level::Error;
        break;
      case spdlog::level::critical:
        level = Level::Fatal;
        break;
      default:
        return;  // "off" is never logged
    }
    const Attribute where[] = {{"code.file.path", msg.source.filename},
                               {"code.line.number", msg.source.line},
                               {"code.function.name", msg.source.funcname}};
    const std::size_t known = msg.source.empty() ? 0 : msg.source.funcname ? 3 : 2;
    ZEPLog::log(level, body, std::span<const Attribute>(where, known), handleId_, code);
  }
  void flush_() override {}  // events are queued; ZEPLog::flush sends them

 private:
  const std::string handleId_;
};

using spdlog_sink_mt = spdlog_sink<std::mutex>;
using spdlog_sink_st = spdlog_sink<spdlog::details::null_mutex>;

}  // namespace zeplog
