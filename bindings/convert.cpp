#include "convert.hpp"

#include "karnid/manifest/json.hpp"
#include "karnid/manifest/text.hpp"

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

std::optional<std::string> raw_path(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  return manifest::strip_extended_length_prefix(*path);
}

// Sets dict[key] to the decoded path when the dict already has that key; an absent path stays
// None.
bool restore_path(PyObject* dict, const char* key, const std::optional<std::string>& path) {
  if (!path || !PyDict_Check(dict) || PyDict_GetItemString(dict, key) == nullptr) return true;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(path->data(), static_cast<Py_ssize_t>(path->size())));
  return text && PyDict_SetItemString(dict, key, text.get()) == 0;
}

void write_read(json::Writer& writer, const manifest::FileRead& read) {
  writer.key("sha256");
  writer.string(read.digest.sha256);
  writer.key("size_bytes");
  writer.u64(read.digest.size_bytes);
  writer.key("device");
  writer.u64(read.identity.device);
  writer.key("inode");
  writer.u64(read.identity.inode);
  writer.key("mtime_ns");
  writer.i64(read.identity.mtime_ns);
  writer.key("ctime_ns");
  writer.i64(read.identity.ctime_ns);
  writer.key("steady");
  writer.boolean(read.steady);
}

std::string reads_json(const manifest::VerificationReads& reads) {
  std::string out;
  json::Writer writer(out);
  writer.begin_object();
  writer.key("manifest");
  writer.begin_object();
  write_read(writer, reads.manifest);
  writer.end_object();
  writer.key("files");
  writer.begin_array();
  for (const manifest::CapturedRead& file : reads.files) {
    writer.begin_object();
    writer.key("role");
    writer.string(manifest::read_role_name(file.role));
    writer.key("name");
    if (file.name) {
      writer.string(*file.name);
    } else {
      writer.null();
    }
    write_read(writer, file.read);
    writer.end_object();
  }
  writer.end_array();
  writer.end_object();
  return out;
}

// Sets dict["path"] to the bytes of `path`.
bool set_path_bytes(PyObject* dict, const std::string& path) {
  PyRef bytes =
      PyRef::steal(PyBytes_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  return bytes && PyDict_Check(dict) && PyDict_SetItemString(dict, "path", bytes.get()) == 0;
}

}  // namespace

PyObject* reads_to_python(const manifest::VerificationReads& reads) {
  PyRef result = PyRef::steal(json_to_python(reads_json(reads)));
  if (!result) return nullptr;
  // The package reads this record itself: a replaced json module that returns another shape
  // fails loudly here instead of leaving the display text where the bytes belong.
  const auto unexpected_shape = [] {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_ValueError, "json.loads returned an unexpected record of the reads");
    }
    return nullptr;
  };
  if (!PyDict_Check(result.get())) return unexpected_shape();
  PyObject* manifest = PyDict_GetItemString(result.get(), "manifest");  // borrowed
  PyObject* files = PyDict_GetItemString(result.get(), "files");        // borrowed
  if (manifest == nullptr || files == nullptr || !PyList_Check(files) ||
      PyList_Size(files) != static_cast<Py_ssize_t>(reads.files.size()) ||
      !set_path_bytes(manifest, reads.manifest_path)) {
    return unexpected_shape();
  }
  for (std::size_t i = 0; i < reads.files.size(); ++i) {
    PyObject* entry = PyList_GetItem(files, static_cast<Py_ssize_t>(i));  // borrowed
    if (entry == nullptr || !set_path_bytes(entry, reads.files[i].path)) return unexpected_shape();
  }
  return result.release();
}

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

PlanPaths plan_paths(const manifest::VerifiedLoadPlan& plan) {
  PlanPaths paths;
  paths.manifest_path = raw_path(plan.manifest_path);
  paths.artifact_path = manifest::strip_extended_length_prefix(plan.artifact_path);
  paths.row_identity_path = raw_path(plan.row_identity.path);
  paths.auxiliary_paths.reserve(plan.auxiliary_artifacts.size());
  for (const auto& entry : plan.auxiliary_artifacts) {
    paths.auxiliary_paths.push_back(raw_path(entry.path));
  }
  return paths;
}

bool restore_plan_paths(PyObject* plan, const PlanPaths& paths) {
  if (!PyDict_Check(plan)) return true;
  if (!restore_path(plan, "manifest_path", paths.manifest_path) ||
      !restore_path(plan, "artifact_path", paths.artifact_path)) {
    return false;
  }
  PyObject* row_identity = PyDict_GetItemString(plan, "row_identity");  // borrowed
  if (row_identity != nullptr && !restore_path(row_identity, "path", paths.row_identity_path)) {
    return false;
  }
  PyObject* auxiliary = PyDict_GetItemString(plan, "auxiliary_artifacts");  // borrowed
  if (auxiliary == nullptr || !PyList_Check(auxiliary)) return true;
  const Py_ssize_t count = PyList_Size(auxiliary);
  for (Py_ssize_t i = 0; i < count && static_cast<std::size_t>(i) < paths.auxiliary_paths.size();
       ++i) {
    PyObject* entry = PyList_GetItem(auxiliary, i);  // borrowed
    if (entry == nullptr) return false;
    if (!restore_path(entry, "path", paths.auxiliary_paths[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  return true;
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
