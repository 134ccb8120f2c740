#include "args.hpp"

#include <limits>
#include <string>
#include <utility>

namespace karnid::bindings {
namespace {

std::string call_name(const Signature& signature) {
  std::string name(signature.function);
  name += "()";
  return name;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_name_list(const std::vector<std::string_view>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) list += ',';
      list += i + 1 == names.size() ? " and " : " ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// The name the interpreter's own messages give a type. Type objects are opaque to the stable ABI,
// so it is rebuilt from the attributes: a static type (one written in C) is shown with its module,
// as its C name reads ("decimal.Decimal"), unless that module is builtins; a heap type (a class
// written in Python) by its bare name.
PyObject* type_display_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name || (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0) return name.release();
  PyRef module =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return name.release();
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) return name.release();
  return PyUnicode_FromFormat("%U.%U", module.get(), name.get());
}

// TypeError "expected {what}, not {type name}".
void raise_expected(const char* what, PyObject* object) {
  PyRef name = PyRef::steal(type_display_name(Py_TYPE(object)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "expected %s, not %.200U", what, name.get());
}

// Raises the "missing" TypeError for the required parameters of one kind that got no value;
// returns false when none is missing.
bool raise_if_missing(const Signature& signature,
                      const std::array<PyObject*, kMaxParameters>& values, bool keyword_only) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    const Parameter& parameter = signature.parameters[i];
    if (parameter.keyword_only == keyword_only && parameter.required && values[i] == nullptr) {
      missing.push_back(parameter.name);
    }
  }
  if (missing.empty()) return false;
  std::string message = call_name(signature);
  message += " missing ";
  message += std::to_string(missing.size());
  message += keyword_only ? " required keyword " : " required positional ";
  message += missing.size() == 1 ? "argument: " : "arguments: ";
  message += quoted_name_list(missing);
  raise_type_error(message);
  return true;
}

// The parameter whose name equals the keyword, or the table size when none does.
std::size_t find_keyword(const Signature& signature, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return signature.parameters.size();
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (data == nullptr) {
    // A keyword that has no UTF-8 form (a lone surrogate) cannot name any parameter.
    PyErr_Clear();
    return signature.parameters.size();
  }
  const std::string_view name(data, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (signature.parameters[i].name == name) return i;
  }
  return signature.parameters.size();
}

bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyRef module =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  // NumPy 1 calls its scalar type bool_, NumPy 2 calls it bool.
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool Arguments::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const std::span<const Parameter> parameters = signature_.parameters;
  std::size_t positional_count = 0;
  while (positional_count < parameters.size() && !parameters[positional_count].keyword_only) {
    ++positional_count;
  }

  const auto given_count = static_cast<std::size_t>(nargs);
  if (given_count > positional_count) {
    std::string message = call_name(signature_);
    message += " takes ";
    message += std::to_string(positional_count);
    message += " positional arguments but ";
    message += std::to_string(given_count);
    message += given_count == 1 ? " was given" : " were given";
    raise_type_error(message);
    return false;
  }
  for (std::size_t i = 0; i < given_count; ++i) values_[i] = args[i];

  // The vector-call protocol always passes kwnames as a tuple, so neither call can fail here.
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    const std::size_t index = find_keyword(signature_, keyword);
    if (index == parameters.size()) {
      const std::string prefix = call_name(signature_);
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", prefix.c_str(),
                   keyword);
      return false;
    }
    if (values_[index] != nullptr) {
      std::string message = call_name(signature_);
      message += " got multiple values for argument '";
      message += parameters[index].name;
      message += '\'';
      raise_type_error(message);
      return false;
    }
    values_[index] = args[nargs + k];
  }

  if (raise_if_missing(signature_, values_, false)) return false;
  if (raise_if_missing(signature_, values_, true)) return false;
  return true;
}

bool Arguments::fail_with_note(std::size_t index) const {
  std::string note = "while processing '";
  note += signature_.parameters[index].name;
  note += '\'';
  add_note_to_pending_exception(note);
  return false;
}

bool Arguments::path(std::size_t index, std::string& out) const {
  return convert_path(values_[index], out) || fail_with_note(index);
}

bool Arguments::optional_path(std::size_t index, std::optional<std::string>& out) const {
  if (!given(index)) return true;
  std::string path;
  if (!convert_path(values_[index], path)) return fail_with_note(index);
  out = std::move(path);
  return true;
}

bool Arguments::text(std::size_t index, std::string& out) const {
  return convert_text(values_[index], out) || fail_with_note(index);
}

bool Arguments::flag(std::size_t index, bool& out) const {
  if (values_[index] == nullptr) return true;
  return convert_flag(values_[index], out) || fail_with_note(index);
}

bool Arguments::optional_descriptor(std::size_t index, std::optional<int>& out) const {
  if (!given(index)) return true;
  PyRef number = PyRef::steal(PyNumber_Index(values_[index]));
  if (!number) return fail_with_note(index);
  const long value = PyLong_AsLong(number.get());
  if (value == -1 && PyErr_Occurred() != nullptr) return fail_with_note(index);
  if (value < 0 || value > std::numeric_limits<int>::max()) {
    PyErr_SetString(PyExc_ValueError, "a file descriptor must be a non-negative int");
    return fail_with_note(index);
  }
  out = static_cast<int>(value);
  return true;
}

bool Arguments::limits(std::size_t first, manifest::ResourceLimits& out) const {
  for (std::size_t i = 0; i < manifest::kLimitFields.size(); ++i) {
    const std::size_t index = first + i;
    if (!given(index)) continue;
    std::uint64_t value = 0;
    if (!convert_limit(values_[index], value)) return fail_with_note(index);
    out.*manifest::kLimitFields[i].field = value;
  }
  return true;
}

bool convert_path(PyObject* object, std::string& out) {
  PyRef fspath = PyRef::steal(PyOS_FSPath(object));
  if (!fspath) return false;
  // The library works on the bytes the OS sees; a bytes path would bypass the file-system
  // encoding, so only text paths are accepted.
  if (!PyUnicode_Check(fspath.get())) {
    raise_expected("str or os.PathLike returning str", fspath.get());
    return false;
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!encoded) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_text(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    raise_expected("str", object);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);  // UnicodeEncodeError on surrogates
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_flag(PyObject* object, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  // NumPy's boolean scalar is what comparisons on arrays produce; it is accepted through its
  // truth value, recognised by name so that NumPy never has to be imported.
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_expected("bool", object);
  return false;
}

bool convert_limit(PyObject* object, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  out = value;
  return true;
}

void add_note_to_pending_exception(std::string_view note) {
  // The fetch-and-restore calls, not PyErr_GetRaisedException: that one is newer than the stable
  // ABI the module is built for, and a guard on the version of the headers would pass with newer
  // headers and give a module that fails to import on 3.11.
  PyObject* type = nullptr;
  PyObject* exception = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &exception, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &exception, &traceback);
  if (traceback != nullptr && exception != nullptr) PyException_SetTraceback(exception, traceback);
  if (exception != nullptr) {
    PyRef add_note = PyRef::steal(PyObject_GetAttrString(exception, "add_note"));
    if (add_note) {
      PyRef text = PyRef::steal(
          PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
      PyRef added =
          text ? PyRef::steal(PyObject_CallFunctionObjArgs(add_note.get(), text.get(), nullptr))
               : PyRef();
      if (!added) PyErr_Clear();
    } else {
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, exception, traceback);
}

bool read_auxiliary_artifacts(PyObject* iterable,
                              std::vector<manifest::CreateAuxiliaryArtifact>& out) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(iterable));
  if (!iterator) return false;
  PyRef name_key = PyRef::steal(PyUnicode_FromString("name"));
  PyRef path_key = PyRef::steal(PyUnicode_FromString("path"));
  PyRef required_key = PyRef::steal(PyUnicode_FromString("required"));
  if (!name_key || !path_key || !required_key) return false;

  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) return PyErr_Occurred() == nullptr;

    manifest::CreateAuxiliaryArtifact artifact;
    PyRef name = PyRef::steal(PyObject_GetItem(item.get(), name_key.get()));
    if (!name || !convert_text(name.get(), artifact.name)) return false;
    PyRef path = PyRef::steal(PyObject_GetItem(item.get(), path_key.get()));
    if (!path || !convert_path(path.get(), artifact.path)) return false;
    PyRef required = PyRef::steal(PyObject_GetItem(item.get(), required_key.get()));
    if (!required) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
      PyErr_Clear();  // an absent "required" means a required artifact
    } else if (!convert_flag(required.get(), artifact.required)) {
      return false;
    }
    out.push_back(std::move(artifact));
  }
}

}  // namespace karnid::bindings
