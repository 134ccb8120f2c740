// Running one library operation with the interpreter lock released.
//
// Arguments are converted to owned C++ values first; the operation must not touch any Python
// object. Whatever happens inside, the thread state is restored before control returns to code
// that may call into the interpreter, and no C++ exception unwinds through the released region.
#pragma once

#include "py_ref.hpp"

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace karnid::bindings {

// Releases the interpreter lock for its lifetime.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Calls `operation` without the interpreter lock and returns its result once the lock is held
// again. An exception escaping the operation is captured inside the released region and rethrown
// afterwards, so the caller's panic boundary sees it with the lock held.
template <typename Operation>
[[nodiscard]] std::invoke_result_t<Operation> run_without_gil(Operation&& operation) {
  using Value = std::invoke_result_t<Operation>;
  std::optional<Value> value;
  std::exception_ptr failure;
  {
    GilRelease released;
    try {
      value.emplace(std::forward<Operation>(operation)());
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*value);
}

}  // namespace karnid::bindings
