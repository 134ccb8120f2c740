// An owning PyObject* handle, so that no early return can leak or double-release a reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One binary serves every interpreter from 3.11 on: only the stable ABI of 3.11 may be used, and a
// build without the limit (or with a later floor) would compile calls that 3.11 lacks.
#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 != 0x030B0000
#error "bindings/ must be compiled with Py_LIMITED_API=0x030B0000"
#endif

#include <utility>

namespace karnid::bindings {

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (the usual result of a C API call); nullptr stays empty.
  [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of our own to a borrowed object.
  [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller (typically as a function's return value).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace karnid::bindings
