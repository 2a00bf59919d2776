#include "glue/arguments.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "glue/py_ref.h"

namespace quordb::glue {
namespace {

std::string QualifiedTypeName(PyObject* object) {
  PyRef name = PyRef::Steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
  }
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
  }
  return text;
}

std::string QuotedList(std::span<const char* const> names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool TooManyPositional(const Parameters& parameters, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (parameters.required == parameters.positional)
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 parameters.full_name, parameters.positional, given, verb);
  else
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 parameters.full_name, parameters.required, parameters.positional, given, verb);
  return false;
}

// Places one keyword argument; false (error set) for an unknown or repeated name.
bool PlaceKeyword(const Parameters& parameters, PyObject* name, PyObject* value, PyObject** out) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  if (text == nullptr) return false;
  const std::string_view wanted(text, static_cast<size_t>(length));
  for (size_t i = 0; i < parameters.names.size(); ++i) {
    if (wanted != parameters.names[i]) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   parameters.full_name, parameters.names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", parameters.full_name,
               name);
  return false;
}

bool CheckRequired(const Parameters& parameters, PyObject** out) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < parameters.required; ++i)
    if (out[i] == nullptr) missing.push_back(parameters.names[i]);
  if (missing.empty()) return true;
  const std::string names = QuotedList(missing);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", parameters.full_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

bool PlacePositional(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  if (static_cast<size_t>(nargs) > parameters.positional)
    return TooManyPositional(parameters, nargs);
  for (size_t i = 0; i < parameters.names.size(); ++i)
    out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
  return true;
}

// Re-raises a TypeError from converting parameter `name` as
// "argument '{name}': {message}"; any other error passes unchanged.
bool RelabelTypeError(const char* name) {
  PyRef raised = PyRef::Steal(PyErr_GetRaisedException());
  if (!PyErr_GivenExceptionMatches(raised.get(), PyExc_TypeError)) {
    PyErr_SetRaisedException(raised.release());
    return false;
  }
  PyRef message = PyRef::Steal(PyObject_Str(raised.get()));
  if (!message) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
  return false;
}

// A type mismatch of a typed parameter, already labelled with its name.
bool ArgumentNotInstance(const char* name, PyObject* object, const char* required) {
  SetNotInstanceError(object, required);
  return RelabelTypeError(name);
}

bool IsNumpyBool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  PyRef name = PyRef::Steal(PyType_GetName(Py_TYPE(object)));
  PyRef module = PyRef::Steal(PyObject_GetAttrString(type, "__module__"));
  if (!name || !module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// A key from any object the sequence protocol accepts: every item an int in
// 0..255. Any failure is the caller's to report.
bool CollectSequenceKey(PyObject* sequence, std::string* out) {
  const Py_ssize_t hint = PySequence_Size(sequence);
  if (hint < 0)
    PyErr_Clear();
  else
    out->reserve(static_cast<size_t>(hint));
  PyRef iterator = PyRef::Steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (PyRef item = PyRef::Steal(PyIter_Next(iterator.get()))) {
    PyRef index = PyRef::Steal(PyNumber_Index(item.get()));
    if (!index) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (overflow != 0 || value < 0 || value > 255) return false;
    out->push_back(static_cast<char>(value));
  }
  return !PyErr_Occurred();
}

}  // namespace

void SetNotInstanceError(PyObject* object, const char* required) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", required);
    return;
  }
  const std::string type_name = QualifiedTypeName(object);
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_name.c_str(),
               required);
}

namespace detail {

bool MatchArguments(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  // The common call: every parameter by position.
  if (kwnames == nullptr && static_cast<size_t>(nargs) == parameters.names.size() &&
      parameters.positional == parameters.names.size()) {
    std::copy(args, args + nargs, out);
    return true;
  }
  if (!PlacePositional(parameters, args, nargs, out)) return false;
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k)
    if (!PlaceKeyword(parameters, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  return CheckRequired(parameters, out);
}

bool MatchArguments(const Parameters& parameters, PyObject* args, PyObject* kwargs,
                    PyObject** out) {
  if (!PlacePositional(parameters, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out))
    return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &name, &value))
      if (!PlaceKeyword(parameters, name, value, out)) return false;
  }
  return CheckRequired(parameters, out);
}

}  // namespace detail

bool ConvertKey(PyObject* key, KeyBytes* out) {
  if (PyUnicode_Check(key)) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 != nullptr) {
      out->view_ = {utf8, static_cast<size_t>(length)};
      return true;
    }
    // Text with no UTF-8 form (a lone surrogate) is no key.
    PyErr_Clear();
  } else if (PyBytes_Check(key)) {
    out->view_ = {PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key))};
    return true;
  } else if (PyByteArray_Check(key)) {
    out->view_ = {PyByteArray_AS_STRING(key), static_cast<size_t>(PyByteArray_GET_SIZE(key))};
    return true;
  } else if (PySequence_Check(key)) {
    if (CollectSequenceKey(key, &out->owned_)) {
      out->view_ = out->owned_;
      return true;
    }
    PyErr_Clear();
  }
  PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
  return false;
}

bool ConvertObjectId(PyObject* obj_id, uint64_t* out) {
  PyRef index;
  if (!PyLong_Check(obj_id)) {
    index = PyRef::Steal(PyNumber_Index(obj_id));
    if (!index) return RelabelTypeError("obj_id");
    obj_id = index.get();
  }
  // Negative or too large: the interpreter's own OverflowError, unchanged.
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj_id);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool ConvertRawBytes(PyObject* raw_bytes, std::string_view* out) {
  if (!PyBytes_Check(raw_bytes)) return ArgumentNotInstance("raw_bytes", raw_bytes, "bytes");
  *out = {PyBytes_AS_STRING(raw_bytes), static_cast<size_t>(PyBytes_GET_SIZE(raw_bytes))};
  return true;
}

bool ConvertPath(PyObject* path, std::string_view* out) {
  if (!PyUnicode_Check(path)) return ArgumentNotInstance("path", path, "str");
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path, &length);
  if (utf8 == nullptr) return false;  // UnicodeEncodeError, unchanged
  *out = {utf8, static_cast<size_t>(length)};
  return true;
}

bool ConvertVerify(PyObject* verify, bool* out) {
  if (verify == nullptr || verify == Py_True) {
    *out = true;
    return true;
  }
  if (verify == Py_False) {
    *out = false;
    return true;
  }
  if (IsNumpyBool(verify)) {
    PyNumberMethods* number = Py_TYPE(verify)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      const std::string type_name = QualifiedTypeName(verify);
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   type_name.c_str());
      return RelabelTypeError("verify");
    }
    const int truth = number->nb_bool(verify);
    if (truth < 0) return RelabelTypeError("verify");
    *out = truth != 0;
    return true;
  }
  return ArgumentNotInstance("verify", verify, "bool");
}

bool ConvertOnDuplicate(PyObject* on_duplicate, OnDuplicate* out) {
  if (on_duplicate == nullptr) {
    *out = OnDuplicate::kLast;
    return true;
  }
  if (!PyUnicode_Check(on_duplicate))
    return ArgumentNotInstance("on_duplicate", on_duplicate, "str");
  Py_ssize_t length = 0;
  const char* name = PyUnicode_AsUTF8AndSize(on_duplicate, &length);
  if (name == nullptr) return false;
  if (const std::optional<OnDuplicate> parsed =
          ParseOnDuplicate({name, static_cast<size_t>(length)})) {
    *out = *parsed;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "on_duplicate must be 'last', 'first' or 'error', not %R",
               on_duplicate);
  return false;
}

bool ConvertChunk(PyObject* chunk, size_t* out) {
  if (chunk == nullptr) {
    *out = kDefaultChunk;
    return true;
  }
  const Py_ssize_t value = PyNumber_AsSsize_t(chunk, PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 1) {
    PyErr_SetString(PyExc_ValueError, "chunk must be at least 1");
    return false;
  }
  *out = static_cast<size_t>(value);
  return true;
}

bool ConvertOpenArguments(PyObject* path, PyObject* verify, OpenArguments* out) {
  return ConvertPath(path, &out->path) && ConvertVerify(verify, &out->verify);
}

}  // namespace quordb::glue
