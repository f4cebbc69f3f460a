// A glog LogSink that sends through ZEPLog (CMake target zeplog::glog_sink).
//
//   zeplog::GlogSink sink;             // handle "0"; keep it alive while it is added
//   google::AddLogSink(&sink);
//   LOG(WARNING) << "retry " << 2;     // body "retry 2", logLevel "WARN",
//                                      // errorCode "file.cc:42"
//   google::RemoveLogSink(&sink);
//
// Levels: INFO (and VLOG) -> INFO, WARNING -> WARN, ERROR -> ERROR, FATAL -> FATAL (glog then
// aborts the process; with crash capture armed the crash is reported as well). The body is
// the message without glog's prefix; the source location "<file>:<line>" goes into the
// event's "errorCode" field, and the full path and line into the attributes
// "code.file.path" and "code.line.number". Each call queues one event like ZEPLog::info etc., so
// the library's minimum level, breadcrumbs and before-send hook apply.
#pragma once

#include <glog/logging.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "zeplog/zeplog.hpp"

namespace zeplog {

class GlogSink : public google::LogSink {
 public:
  // Sends through handle "0".
  GlogSink() : GlogSink(std::string("0")) {}
  // Sends through the named handle.
  explicit GlogSink(std::string handleId) : handleId_(std::move(handleId)) {}

  const std::string& handleId() const { return handleId_; }

  using google::LogSink::send;
  void send(google::LogSeverity severity, const char* full_filename, const char* base_filename,
            int line, const google::LogMessageTime& /*time*/, const char* message,
            std::size_t message_len) override {
    std::string where = base_filename ? base_filename : "";
    where += ':';
    where += std::to_string(line);
    const std::string_view body(message ? message : "", message ? message_len : 0);
    const Level level = severity == google::GLOG_INFO      ? Level::Info
                        : severity == google::GLOG_WARNING ? Level::Warn
                        : severity == google::GLOG_ERROR   ? Level::Error
                                                           : Level::Fatal;
    const Attribute source[] = {{"code.file.path", full_filename}, {"code.line.number", line}};
    ZEPLog::log(level, body, source, handleId_, where);
  }

 private:
  const std::string handleId_;
};

}  // namespace zeplog
