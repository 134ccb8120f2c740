// The _karnid_manifest module: definition, execution step and the panic exception type.
#include "module.hpp"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/schema.hpp"

namespace karnid::bindings {
namespace {

constexpr const char* kGenericPanicText = "internal invariant violated in _karnid_manifest";

PyObject* g_panic_type = nullptr;

struct Constant {
  const char* name;
  std::variant<std::string_view, std::uint64_t> value;
};

constexpr Constant kConstants[] = {
    {"SCHEMA_VERSION", manifest::kSchemaVersion},
    {"CALIBRATION_SCHEMA_VERSION", manifest::kCalibrationSchemaVersion},
    {"ENCODER_DISTORTION_SCHEMA_VERSION", manifest::kEncoderDistortionSchemaVersion},
    {"DEFAULT_MAX_MANIFEST_BYTES", manifest::kDefaultMaxManifestBytes},
    {"DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES", manifest::kDefaultMaxRowMapLineBytes},
    {"DEFAULT_MAX_ROW_IDENTITY_ROWS", manifest::kDefaultMaxRowMapRows},
    {"DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES", manifest::kDefaultMaxRowMapTrackedIdBytes},
    {"DEFAULT_MAX_AUXILIARY_ARTIFACTS", manifest::kDefaultMaxAuxiliaryArtifacts},
    {"DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES", manifest::kDefaultMaxAuxiliaryArtifactBytes},
    {"DEFAULT_MAX_CALIBRATION_PROFILE_BYTES", manifest::kDefaultMaxCalibrationProfileBytes},
    {"DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES",
     manifest::kDefaultMaxEncoderDistortionProfileBytes},
    {"DEFAULT_MAX_REPORT_ISSUES", manifest::kDefaultMaxReportIssues},
    {"DEFAULT_MAX_CACHED_REPORT_BYTES", manifest::kDefaultMaxCachedReportBytes},
};

// A C API constructor that returns nothing must have set an exception; if it did not, our
// picture of the interpreter is wrong and the import must not go on as if it had failed cleanly.
PyRef checked(PyObject* created) {
  if (created == nullptr && PyErr_Occurred() == nullptr) {
    throw std::logic_error("constant creation failed without a Python exception");
  }
  return PyRef::steal(created);
}

PyObject* make_value(const std::variant<std::string_view, std::uint64_t>& value) {
  if (const auto* text = std::get_if<std::string_view>(&value)) {
    return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
  }
  return PyLong_FromUnsignedLongLong(std::get<std::uint64_t>(value));
}

// Appends `name` to the module's __all__ (created by the first addition) and sets the attribute.
int add_name(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_karnid_manifest: execution step needs a module object");
    return -1;
  }
  for (const Constant& constant : kConstants) {
    PyRef name = checked(PyUnicode_FromString(constant.name));
    if (!name) return -1;
    PyRef value = checked(make_value(constant.value));
    if (!value) return -1;
    if (add_name(module, name.get(), value.get()) < 0) return -1;
  }
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& definition : module_functions()) {
    PyRef function = PyRef::steal(PyCFunction_NewEx(&definition, module, module_name.get()));
    if (!function) return -1;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (add_name(module, name.get(), function.get()) < 0) return -1;
  }
  return 0;
}

int exec_slot(PyObject* module) {
  return at_panic_boundary(-1, [module] { return exec_module(module); });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_slot)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_karnid_manifest",  // m_name
    "",                  // m_doc
    0,                   // m_size: no per-module state
    nullptr,             // m_methods: the execution step adds the functions
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

void raise_panic(const char* text) noexcept {
  PyErr_Clear();
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "_karnid_manifest.PanicException",
        "An internal invariant of _karnid_manifest was violated: a bug in the module (or memory "
        "ran out), never a verdict on the input, which is refused with OSError, ValueError or "
        "TypeError. The message is the failure's own text. Derives from BaseException so that "
        "`except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) Py_FatalError("_karnid_manifest: cannot create PanicException");
  }
  if (text == nullptr || *text == '\0') text = kGenericPanicText;
  PyRef message =
      PyRef::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strlen(text)), "replace"));
  if (!message) Py_FatalError("_karnid_manifest: cannot build the PanicException message");
  PyErr_SetObject(g_panic_type, message.get());
}

}  // namespace karnid::bindings

PyMODINIT_FUNC PyInit__karnid_manifest(void) {
  return PyModuleDef_Init(&karnid::bindings::g_module);
}
