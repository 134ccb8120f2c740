#include "convert.hpp"

#include <type_traits>
#include <variant>

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

// ---- the facts attached to raised errors ----

// The attribute that carries them, private to the package above the module.
constexpr const char* kFactsAttribute = "_karnid_facts";

// Each builder returns a new reference, or nullptr with an exception set.

PyObject* none() {
  return Py_NewRef(Py_None);
}

PyObject* text(std::string_view value) {
  // Messages and keys are UTF-8; replacement keeps a stray byte from failing the conversion.
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

PyObject* unsigned_int(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(value);
}

// Paths stay OS bytes: os.fsdecode gives the caller the exact file back.
PyObject* bytes_or_none(const std::optional<std::string>& value) {
  if (!value) return none();
  return PyBytes_FromStringAndSize(value->data(), static_cast<Py_ssize_t>(value->size()));
}

PyObject* scalar(const manifest::JsonScalar& value) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return none();
        } else if constexpr (std::is_same_v<T, bool>) {
          return PyBool_FromLong(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          return PyLong_FromUnsignedLongLong(v);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return PyFloat_FromDouble(v);
        } else {
          return text(v);
        }
      },
      value);
}

// Stores a new reference under `key`; false when `value` is nullptr or the store fails.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// A list of the builder's results for every item.
template <typename Items, typename Build>
PyObject* list_of(const Items& items, Build build) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& item : items) {
    PyRef element = PyRef::steal(build(item));
    if (!element || PyList_Append(list.get(), element.get()) != 0) return nullptr;
  }
  return list.release();
}

PyObject* path_step(const manifest::JsonPathStep& step) {
  if (const auto* key = std::get_if<std::string>(&step)) return text(*key);
  return unsigned_int(std::get<std::uint64_t>(step));
}

PyObject* issue(const manifest::ReportIssue& item) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), "code", text(item.code)) ||
      !put(dict.get(), "message", text(item.message)) ||
      !put(dict.get(), "line", item.line ? unsigned_int(*item.line) : none())) {
    return nullptr;
  }
  return dict.release();
}

// Where and why a document could not be read, with the pieces its message was built from.
bool put_parse_facts(PyObject* dict, const manifest::ManifestError& error) {
  using manifest::ParseReason;
  const manifest::ParseFacts& facts = error.parse_facts();
  if (!put(dict, "reason", text(manifest::to_json_name(facts.reason))) ||
      !put(dict, "offset", unsigned_int(facts.offset)) ||
      !put(dict, "line", unsigned_int(error.line())) ||
      !put(dict, "column", unsigned_int(error.column())) ||
      !put(dict, "json_path", list_of(facts.json_path, path_step))) {
    return false;
  }
  if (facts.key && !put(dict, "key", text(*facts.key))) return false;
  if ((facts.reason == ParseReason::UnknownKey || facts.reason == ParseReason::UnknownVariant) &&
      !put(dict, "allowed",
           list_of(facts.allowed, [](const std::string& name) { return text(name); }))) {
    return false;
  }
  if (facts.expected && !put(dict, "expected", text(*facts.expected))) return false;
  if (facts.found && !put(dict, "found", text(*facts.found))) return false;
  if (!std::holds_alternative<std::monostate>(facts.value) &&
      !put(dict, "value", scalar(facts.value))) {
    return false;
  }
  return !facts.length || put(dict, "length", unsigned_int(*facts.length));
}

// The facts of one error as a dict: "kind" and the keys that kind carries.
PyObject* error_facts(const manifest::ManifestError& error) {
  using Detail = manifest::ManifestError::Detail;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), "kind", text(manifest::to_json_name(error.detail())))) {
    return nullptr;
  }
  bool stored = true;
  switch (error.detail()) {
    case Detail::Os:
    case Detail::IoText:
    case Detail::WriteFailed:
      stored = put(dict.get(), "errno",
                   error.os_errno() != 0 ? PyLong_FromLong(error.os_errno()) : none()) &&
               put(dict.get(), "path", bytes_or_none(error.path()));
      break;
    case Detail::Coded:
      stored = put(dict.get(), "code", text(error.code())) &&
               put(dict.get(), "path", bytes_or_none(error.path()));
      break;
    case Detail::Json:
      stored = put_parse_facts(dict.get(), error);
      break;
    case Detail::VerificationFailed:
    case Detail::RowMapInvalid:
      stored = put(dict.get(), "issues", list_of(error.issues(), issue));
      break;
    case Detail::Invalid:
    case Detail::InconsistentReport:
    case Detail::Cancelled:
      break;
  }
  return stored ? dict.release() : nullptr;
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
  // Messages embed paths only in display form, so the text is UTF-8.
  PyRef message = PyRef::steal(text(error.display()));
  if (!message) return nullptr;
  // A single argument: OSError(errno, text) would pick a subclass such as FileNotFoundError and
  // fill errno, which callers must not come to rely on.
  PyObject* type =
      error.kind() == manifest::ManifestError::Kind::Io ? PyExc_OSError : PyExc_ValueError;
  PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!exception) return nullptr;
  // The facts are an extra for the package: an exception without them (the interpreter out of
  // memory while they were built) is still the right exception.
  PyRef facts = PyRef::steal(error_facts(error));
  if (!facts || PyObject_SetAttrString(exception.get(), kFactsAttribute, facts.get()) != 0) {
    PyErr_Clear();
  }
  PyErr_SetObject(type, exception.get());
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
