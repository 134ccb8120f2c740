// Stopping a long operation from outside.
//
// Hashing a file of a hundred gigabytes takes about a minute, and the caller may want it to end
// sooner (a person pressing Ctrl-C). Every loop that streams a file counts the bytes it reads and,
// once per kCancelCheckBytes, asks the caller's hook whether to go on. The library never decides
// to stop by itself and knows nothing of what the hook looks at: the Python module checks for
// pending signals there, a C++ caller may look at a flag of its own.
//
// An operation told to stop reads nothing more, closes what it opened and writes nothing: it
// returns ManifestError::cancelled() (verification marks its run as cancelled instead).
#pragma once

#include <cstdint>

namespace karnid::manifest {

// The caller's question, asked on the operation's thread. `stop_requested` returns true to stop
// the operation; it must not throw. A hook without a function never stops anything.
struct CancelHook {
  bool (*stop_requested)(void* context) noexcept = nullptr;
  void* context = nullptr;
};

// Bytes streamed between two questions. At full speed SHA-256 takes about 7 ms for them and the
// row-map validator, three times slower per byte, about 20 ms, so a stop is noticed well within
// 100 ms even on a busy machine. The question itself (for the Python module: taking the
// interpreter lock back for a moment) costs microseconds, nothing next to the interval's work.
inline constexpr std::uint64_t kCancelCheckBytes = std::uint64_t{16} << 20;

// The running count of one operation, shared by every file it streams so that many small files
// are counted together. Once the hook has asked to stop, every later call says so without asking
// again.
class CancelCheck {
 public:
  explicit CancelCheck(CancelHook hook) noexcept : hook_(hook) {}
  CancelCheck(const CancelCheck&) = delete;
  CancelCheck& operator=(const CancelCheck&) = delete;

  // Counts `bytes` more read; asks the hook whenever another kCancelCheckBytes have gone by.
  // True when the operation must stop.
  [[nodiscard]] bool stop_after(std::uint64_t bytes) noexcept {
    if (hook_.stop_requested == nullptr || stopped_) return stopped_;
    unchecked_ += bytes;
    if (unchecked_ < kCancelCheckBytes) return false;
    unchecked_ %= kCancelCheckBytes;
    return ask();
  }

  // Asks at once, whatever the count: a read was interrupted by a signal, which is the moment
  // the hook is most likely to have an answer.
  [[nodiscard]] bool stop_now() noexcept {
    if (hook_.stop_requested == nullptr || stopped_) return stopped_;
    return ask();
  }

  [[nodiscard]] bool stopped() const noexcept { return stopped_; }

 private:
  bool ask() noexcept {
    stopped_ = hook_.stop_requested(hook_.context);
    return stopped_;
  }

  CancelHook hook_;
  std::uint64_t unchecked_ = 0;
  bool stopped_ = false;
};

// The null-tolerant forms the streaming loops use: an operation run without a hook passes none.
[[nodiscard]] inline bool stop_after(CancelCheck* cancel, std::uint64_t bytes) noexcept {
  return cancel != nullptr && cancel->stop_after(bytes);
}
[[nodiscard]] inline bool stop_now(CancelCheck* cancel) noexcept {
  return cancel != nullptr && cancel->stop_now();
}
[[nodiscard]] inline bool stopped(const CancelCheck* cancel) noexcept {
  return cancel != nullptr && cancel->stopped();
}

}  // namespace karnid::manifest
