// Every thread's frames at a crash: the crashed thread's from its signal context, each other
// thread's by asking it with a real-time signal whose handler answers through a pipe. Written
// into the crash report and, when one is written, the minidump. Runs inside the crash handler:
// async-signal-safe, no allocation, no locks; one crash at a time (the handler's entry guard).
#pragma once

#include <sys/types.h>

#include <string>

#include "crash/minidump_writer.hpp"
#include "crash/signal_safe_io.hpp"
#include "crash/thread_capture.hpp"

namespace zeplog::detail {

// Makes the pipe the asked threads answer on; false with error text when it can't be made.
bool openThreadAnswerPipe(std::string* error);
// In a forked child: closes the copies of the parent's answer pipe.
void closeThreadAnswerPipe();
// Installs the handler with which a thread answers a backtrace request; without it the other
// threads are listed without frames.
void installThreadDumpHandler();
// In a forked child: forgets a request the parent had under way at the fork.
void forgetThreadDumpRequest();

// Every thread's frames into the report and, when minidump is not null, its registers and
// stack into the minidump; selfCapture is the crashed thread's (self), taken beforehand.
void writeThreads(RawWriter& w, pid_t self, void* ucontext, MinidumpWriter* minidump,
                  const ThreadCapture* selfCapture);

}  // namespace zeplog::detail
