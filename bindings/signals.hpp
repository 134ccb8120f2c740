// Ctrl-C during a long call.
//
// The library runs without the interpreter lock, so the interpreter cannot run a signal handler
// before the call returns: hashing a hundred gigabytes would keep KeyboardInterrupt waiting for a
// minute. The library asks a cancellation hook between blocks of the files it streams
// (karnid/manifest/cancel.hpp); this one takes the lock back for a moment and runs the pending
// handlers. A handler that raises stops the operation, and the call raises exactly that
// exception; a handler that returns changes nothing.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include "py_ref.hpp"

#include "karnid/manifest/cancel.hpp"

namespace karnid::bindings {

class SignalCheck {
 public:
  // Made with the interpreter lock held, before the call releases it.
  SignalCheck() noexcept : state_(PyThreadState_Get()) {}
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

  // The hook for the library's options; valid while this object lives.
  [[nodiscard]] manifest::CancelHook hook() noexcept { return {&stop_requested, this}; }

  // A handler raised: its exception is set, and the call returns nullptr whatever the operation
  // returned.
  [[nodiscard]] bool raised() const noexcept { return raised_; }

 private:
  static bool stop_requested(void* context) noexcept {
    auto& self = *static_cast<SignalCheck*>(context);
    if (!self.runs_signal_handlers()) return false;
    PyEval_RestoreThread(self.state_);
    self.raised_ = PyErr_CheckSignals() != 0;
    self.state_ = PyEval_SaveThread();
    return self.raised_;
  }

  // Only the main thread runs Python's signal handlers; elsewhere PyErr_CheckSignals does
  // nothing with them. Other threads must not take the lock here at all: the command line tool
  // leaves its worker thread running when Ctrl-C ends the program, and a daemon thread that asks
  // for the lock while the interpreter shuts down is ended by pthread_exit, whose unwinding
  // cannot cross the library's noexcept frames and would abort the process. The interpreter's
  // main thread is the process's first one, whose thread id is the process id (in a forked child
  // too). Decided at the first question, so calls too short to ask never pay for it.
  bool runs_signal_handlers() noexcept {
    if (thread_ == Thread::Unknown) {
      thread_ = ::syscall(SYS_gettid) == ::getpid() ? Thread::Main : Thread::Other;
    }
    return thread_ == Thread::Main;
  }

  enum class Thread : unsigned char { Unknown, Main, Other };

  PyThreadState* state_;
  Thread thread_ = Thread::Unknown;
  bool raised_ = false;
};

}  // namespace karnid::bindings
