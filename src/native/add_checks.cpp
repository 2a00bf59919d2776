#include "native/add_checks.h"

#include "core/error.h"
#include "core/key_table.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/results.h"
#include "native/error_classes.h"
#include "native/msgpack_keys.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallFunction;
using glue::CatchBoundary;
using glue::FastcallMethod;
using glue::PyRef;
using glue::Signature;

// A key of `listed` that the format can hold, appended to `out`.
bool CheckKey(PyObject* key, KeyViews* out) {
  std::string_view bytes;
  if (!ConvertAddKey(key, &bytes)) return false;
  if (Status fits = CheckKeyLength(AsBytes(bytes)); !fits.ok()) {
    SetStoreError(fits.error());
    return false;
  }
  out->push_back(AsBytes(bytes));
  return true;
}

PyObject* CheckPayloadFunction(PyObject*, PyObject* raw_bytes) {
  return CatchBoundary(
      [&]() -> PyObject* {
        std::string_view payload;
        if (!glue::ConvertRawBytes(raw_bytes, &payload) || !CheckPayload(payload)) return nullptr;
        Py_RETURN_NONE;
      },
      nullptr);
}

constexpr const char* kCheckAddNames[] = {"raw_bytes", "keys"};

PyObject* CheckAddFunction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"check_add()", kCheckAddNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    std::string_view payload;
    if (!glue::ConvertRawBytes(matched[0], &payload)) return nullptr;
    PyRef listed = ListedKeys(matched[1]);
    KeyViews keys;
    if (!listed || !CheckAdd(payload, listed.get(), &keys)) return nullptr;
    return listed.release();
  });
}

// A checked key as a key of the list check_keys returns: str and bytes as
// they are, other bytes-like keys as a copy of their bytes. New reference.
PyObject* CheckedKeyObject(PyObject* key, Bytes bytes) {
  if (PyUnicode_Check(key) || PyBytes_Check(key)) return Py_NewRef(key);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* CheckKeysFunction(PyObject*, PyObject* keys) {
  return CatchBoundary(
      [&]() -> PyObject* {
        const PyRef listed = ListedKeys(keys);
        KeyViews views;
        if (!listed || !CheckKeys(listed.get(), &views)) return nullptr;
        const bool one = !PyList_CheckExact(listed.get()) && !PyTuple_CheckExact(listed.get());
        return glue::BuildList(views.size(), [&](size_t i) {
          return CheckedKeyObject(
              one ? listed.get()
                  : PySequence_Fast_GET_ITEM(listed.get(), static_cast<Py_ssize_t>(i)),
              views[i]);
        });
      },
      nullptr);
}

constexpr const char* kCheckObjectIdNames[] = {"obj_id", "object_count"};

PyObject* CheckObjectIdFunction(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const Signature signature{"check_object_id()", kCheckObjectIdNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    uint64_t obj_id = 0;
    uint64_t count = 0;
    if (!glue::ConvertObjectId(matched[0], &obj_id) || !glue::ConvertObjectId(matched[1], &count))
      return nullptr;
    if (Status named = CheckObjectId(obj_id, count); !named.ok())
      return SetStoreError(named.error());
    return PyLong_FromUnsignedLongLong(obj_id);
  });
}

PyMethodDef kFunctions[] = {
    {"check_keys", CheckKeysFunction, METH_O,
     "check_keys(keys, /)\n--\n\n"
     "The keys of an add as a new list of str and bytes keys (other bytes-like keys copied\n"
     "as bytes), raising what StreamWriter.add would raise for them: *keys* is one key or an\n"
     "iterable of at least one; each key is str with a UTF-8 form, or bytes-like, of at most\n"
     "65535 bytes."},
    {"check_payload", CheckPayloadFunction, METH_O,
     "check_payload(raw_bytes, /)\n--\n\n"
     "Raise TypeError when msgpack *raw_bytes* would not read back (a map key that is an\n"
     "array or a map), ValueError when they are no msgpack value."},
    {"check_add", FastcallMethod<CheckAddFunction>(), METH_FASTCALL | METH_KEYWORDS,
     "check_add(raw_bytes, keys)\n--\n\n"
     "Raise what StreamWriter.add would raise for these arguments before storing anything,\n"
     "for writers that add in several steps. Returns the keys as checked: the one key, a\n"
     "list or tuple as given, or any other iterable's keys as a new list."},
    {"check_object_id", FastcallMethod<CheckObjectIdFunction>(), METH_FASTCALL | METH_KEYWORDS,
     "check_object_id(obj_id, object_count)\n--\n\n"
     "*obj_id* as an int if it names one of *object_count* objects; raises what\n"
     "StreamWriter.add_key raises for an object ID it does not hold."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool ConvertAddKey(PyObject* key, std::string_view* out) {
  if (PyUnicode_Check(key)) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 == nullptr) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError,
                   "key %R cannot be stored: it holds a lone surrogate, which has no UTF-8 form",
                   key);
      return false;
    }
    *out = {utf8, static_cast<size_t>(length)};
  } else if (PyBytes_Check(key)) {
    *out = {PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key))};
  } else if (PyByteArray_Check(key)) {
    *out = {PyByteArray_AS_STRING(key), static_cast<size_t>(PyByteArray_GET_SIZE(key))};
  } else if (PyMemoryView_Check(key) && PyBuffer_IsContiguous(PyMemoryView_GET_BUFFER(key), 'C')) {
    const Py_buffer* view = PyMemoryView_GET_BUFFER(key);
    *out = {static_cast<const char*>(view->buf), static_cast<size_t>(view->len)};
  } else {
    PyRef name = PyRef::Steal(PyType_GetName(Py_TYPE(key)));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "each key must be str or bytes, not '%U'", name.get());
    return false;
  }
  return true;
}

bool CheckIterable(PyObject* object, const char* what) {
  if (Py_TYPE(object)->tp_iter != nullptr || PySequence_Check(object)) return true;
  PyRef name = PyRef::Steal(PyType_GetName(Py_TYPE(object)));
  if (name) PyErr_Format(PyExc_TypeError, "%s, not '%U'", what, name.get());
  return false;
}

PyRef ListedKeys(PyObject* keys) {
  if (PyUnicode_Check(keys) || PyBytes_Check(keys) || PyByteArray_Check(keys) ||
      PyMemoryView_Check(keys) || PyList_CheckExact(keys) || PyTuple_CheckExact(keys))
    return PyRef::Borrow(keys);
  if (!CheckIterable(keys, "keys must be a str or bytes key or an iterable of them")) return {};
  return PyRef::Steal(PySequence_List(keys));
}

bool CheckKeys(PyObject* listed, KeyViews* out) {
  out->clear();
  if (!PyList_CheckExact(listed) && !PyTuple_CheckExact(listed)) return CheckKey(listed, out);
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(listed);
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "add() needs at least one key for the object");
    return false;
  }
  out->reserve(static_cast<size_t>(count));
  PyObject** items = PySequence_Fast_ITEMS(listed);
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!CheckKey(items[i], out)) return false;
  return true;
}

bool CheckAdd(std::string_view payload, PyObject* listed, KeyViews* out) {
  return CheckKeys(listed, out) && CheckPayload(payload);
}

bool CheckPayload(std::string_view payload) { return CheckPayloadOutcome(CheckMapKeys(payload)); }

bool CheckPayloadOutcome(MsgpackKeys found) {
  switch (found) {
    case MsgpackKeys::kReadable:
      return true;
    case MsgpackKeys::kUnhashableKey:
      PyErr_SetString(PyExc_TypeError,
                      "cannot store an object with a map key that is a tuple, a list or a map: "
                      "msgpack stores it as an array or a map, which reads back as a list or a "
                      "dict and cannot be a dict key");
      return false;
    case MsgpackKeys::kMalformed:
      break;
  }
  PyErr_SetString(PyExc_ValueError, "payload is not one well-formed msgpack value");
  return false;
}

int AddAddCheckFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace quordb::native
