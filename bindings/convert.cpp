#include "convert.hpp"

#include "karnid/manifest/json.hpp"

namespace karnid::bindings {
namespace {

// Interned once per process and kept: the only state the module holds besides the panic type.
// Created and read with the interpreter lock held.
PyObject* g_json_name = nullptr;
PyObject* g_loads_name = nullptr;

PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}

}  // namespace

PyObject* json_to_python(std::string_view json_text) {
  PyObject* json_name = interned(g_json_name, "json");
  if (json_name == nullptr) return nullptr;
  // Imported on every call rather than cached, so sys.modules and import hooks stay in charge.
  PyRef module = PyRef::steal(PyImport_Import(json_name));
  if (!module) return nullptr;
  PyObject* loads_name = interned(g_loads_name, "loads");
  if (loads_name == nullptr) return nullptr;
  PyRef loads = PyRef::steal(PyObject_GetAttr(module.get(), loads_name));
  if (!loads) return nullptr;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(json_text.data(), static_cast<Py_ssize_t>(json_text.size()), nullptr));
  if (!text) return nullptr;
  return PyObject_CallFunctionObjArgs(loads.get(), text.get(), nullptr);
}

PyObject* raise_manifest_error(const manifest::ManifestError& error) {
  const std::string text = error.display();
  // Messages embed paths only in display form, so the text is UTF-8; replacement keeps a stray
  // byte from turning the error into a UnicodeDecodeError.
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  // A single argument: OSError(errno, text) would pick a subclass such as FileNotFoundError and
  // fill errno, which callers must not come to rely on.
  PyObject* type =
      error.kind() == manifest::ManifestError::Kind::Io ? PyExc_OSError : PyExc_ValueError;
  PyErr_SetObject(type, message.get());
  return nullptr;
}

std::string digest_json(const manifest::FileDigest& digest) {
  std::string out;
  json::Writer writer(out);
  writer.begin_object();
  writer.key("sha256");
  writer.string(digest.sha256);
  writer.key("size_bytes");
  writer.u64(digest.size_bytes);
  writer.end_object();
  return out;
}

std::string limits_json(const manifest::ResourceLimits& limits) {
  std::string out;
  json::Writer writer(out);
  writer.begin_object();
  for (const manifest::LimitField& field : manifest::kLimitFields) {
    writer.key(field.name);
    writer.u64(limits.*field.field);
  }
  writer.end_object();
  return out;
}

}  // namespace karnid::bindings
