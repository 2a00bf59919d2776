#include "glue/results.h"

#include <cstring>

namespace quordb::glue {
namespace {

// Sets `dict[name] = value`, stealing `value`. False with an error set.
bool SetItem(PyObject* dict, const char* name, PyObject* value) {
  PyRef owned = PyRef::Steal(value);
  return owned && PyDict_SetItemString(dict, name, owned.get()) == 0;
}

}  // namespace

PyObject* KeyObject(std::string_view key, KeyForm form) {
  bool ascii = true;
  for (const char c : key) ascii &= static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127);
    if (text != nullptr && !key.empty()) std::memcpy(PyUnicode_DATA(text), key.data(), key.size());
    return text;
  }
  const auto size = static_cast<Py_ssize_t>(key.size());
  if (form == KeyForm::kReplaced) return PyUnicode_DecodeUTF8(key.data(), size, "replace");
  PyObject* text = PyUnicode_DecodeUTF8(key.data(), size, nullptr);
  if (text != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
  PyErr_Clear();
  return PyBytes_FromStringAndSize(key.data(), size);
}

PyObject* PayloadBytes(Bytes payload) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                   static_cast<Py_ssize_t>(payload.size()));
}

PyObject* Pair(std::string_view key, KeyForm form, Bytes payload) {
  PyRef key_object = PyRef::Steal(KeyObject(key, form));
  if (!key_object) return nullptr;
  PyRef bytes = PyRef::Steal(PayloadBytes(payload));
  if (!bytes) return nullptr;
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  PyTuple_SET_ITEM(pair, 0, key_object.release());
  PyTuple_SET_ITEM(pair, 1, bytes.release());
  // The interpreter would untrack such a tuple itself, but only when a
  // collection reaches it.
  PyObject_GC_UnTrack(pair);
  return pair;
}

PyObject* StatsDict(const ReaderStats& stats) {
  PyRef dict = PyRef::Steal(PyDict_New());
  if (!dict) return nullptr;
  const bool filled =
      SetItem(dict.get(), "path", KeyObject(stats.path, KeyForm::kReplaced)) &&
      SetItem(dict.get(), "version", PyLong_FromLong(stats.version)) &&
      SetItem(dict.get(), "num_keys", PyLong_FromUnsignedLong(stats.num_keys)) &&
      SetItem(dict.get(), "num_objects", PyLong_FromUnsignedLong(stats.num_objects)) &&
      SetItem(dict.get(), "index_offset", PyLong_FromUnsignedLongLong(stats.index_offset)) &&
      SetItem(dict.get(), "data_offset", PyLong_FromUnsignedLongLong(stats.data_offset)) &&
      SetItem(dict.get(), "file_size_kb", PyFloat_FromDouble(stats.file_size_kb)) &&
      SetItem(dict.get(), "file_crc32",
              PyUnicode_FromStringAndSize(stats.file_crc32.data(),
                                          static_cast<Py_ssize_t>(stats.file_crc32.size())));
  return filled ? dict.release() : nullptr;
}

void PrefetchPayload(Bytes payload) noexcept {
  if (payload.empty()) return;
  __builtin_prefetch(payload.data());
  __builtin_prefetch(payload.data() + payload.size() - 1);
}

PyRef NewUnfilledList(size_t count) {
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (list) PyObject_GC_UnTrack(list.get());
  return list;
}

PyObject* HandOut(PyRef list) {
  PyObject_GC_Track(list.get());
  return list.release();
}

}  // namespace quordb::glue
