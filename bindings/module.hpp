// Pieces of the module definition shared by its translation units.
#pragma once

#include "py_ref.hpp"

#include <exception>
#include <span>

namespace karnid::bindings {

// Raises PanicException (a BaseException subclass, created on first use and kept) with `text`,
// or with a fixed generic text when `text` is null or empty. Replaces any pending exception.
void raise_panic(const char* text) noexcept;

// Runs `body` so that no C++ exception reaches the interpreter: one that escapes becomes a
// PanicException and `failure` is returned.
template <typename Result, typename Body>
Result at_panic_boundary(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic(nullptr);
  }
  return failure;
}

// The six function definitions, in the order in which the module adds them. Static storage:
// the function objects keep pointers into it.
[[nodiscard]] std::span<PyMethodDef> module_functions() noexcept;

}  // namespace karnid::bindings
