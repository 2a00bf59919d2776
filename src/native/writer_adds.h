// The add surface that quordb._native's writer classes share: add,
// add_many, add_object_raw, add_key and the counts, written once over any
// engine with Add(payload, keys), AddObject, AddKey and the three counts.
// `Class` describes the class as glue::Instance wants it, and says what its
// engine needs around an add:
//
//   struct StreamWriterClass {
//     using Engine = StreamWriter;
//     static constexpr const char* kName = "StreamWriter";
//     static PyType_Spec kSpec;
//     // Room for a record of `size` bytes; false with the error set.
//     static bool MakeRoomFor(StreamWriter& writer, size_t size, Flush flush);
//     // Ends what MakeRoomFor left under way; false with the error set.
//     static bool Settle(StreamWriter& writer);
//   };
//   using Adds = WriterAdds<StreamWriterClass>;
//   PyMethodDef kMethods[] = {
//       {"add", FastcallMethod<Adds::Add>(), METH_FASTCALL | METH_KEYWORDS, kAddDoc}, ...};
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/instance.h"
#include "glue/py_ref.h"
#include "native/add_checks.h"
#include "native/error_classes.h"
#include "native/text_columns.h"

namespace quordb::native {

// How a full buffer goes out: written before the call returns, or handed
// over to be written while the call goes on (add_many settles it before it
// returns, so that no write is under way when Python code may fork).
enum class Flush { kNow, kHandOver };

inline constexpr const char kAddDoc[] =
    "add($self, raw_bytes, keys)\n--\n\n"
    "Store msgpack *raw_bytes* under *keys* (a key, or an iterable of keys) and return\n"
    "the object ID. Checks every key and that the payload reads back before storing\n"
    "anything: a failure changes nothing. Under on_duplicate=\"error\", a key that names\n"
    "another object raises DuplicateKeyError.";
inline constexpr const char kAddManyDoc[] =
    "add_many($self, items, encode=None)\n--\n\n"
    "add() for each (raw_bytes, keys) pair of the iterable *items*, in order, or with\n"
    "*encode*, for each (object, keys) pair, storing encode(object). Returns how many were\n"
    "added. A failing item raises, with the items before it stored and the rest not; the\n"
    "exception's pair_index is the failing item's position (from 0) in *items*.";
inline constexpr const char kAddTextColumnsDoc[] =
    "add_text_columns($self, columns, rows, fields, keys, start=0)\n--\n\n"
    "add() for each of *rows* rows of text columns from *start* on, with no Python object\n"
    "per cell: each row stored as the msgpack map of its *fields*, (name, column index)\n"
    "pairs, to their text, under its cells in the *keys* columns (indices). *columns* holds\n"
    "an (offsets, data, offset) tuple per column, as Arrow lays out a string array: 32-bit\n"
    "offsets from the column's offset on into UTF-8 data. Returns how many rows were added;\n"
    "a failing row raises as add_many does, with pair_index counted from *start*.";
inline constexpr const char kAddPackedDoc[] =
    "add_packed($self, packed, keys)\n--\n\n"
    "add() for each value of *packed*, the msgpack bytes of an array, under the item of\n"
    "*keys*, a list as long as the array, at its position: what add_many does for encoded\n"
    "pairs, with no bytes object per value. Returns how many were added; a failing value\n"
    "raises as add_many does, with its pair_index.";
inline constexpr const char kAddObjectRawDoc[] =
    "add_object_raw($self, raw_bytes)\n--\n\nStore *raw_bytes* as they are; return the ID.";
inline constexpr const char kAddKeyDoc[] =
    "add_key($self, key, obj_id)\n--\n\n"
    "Map *key* (str or bytes) to *obj_id*; a key that names another object already is\n"
    "settled by on_duplicate.";

// One (object, keys) item of add_many: a tuple of two, or any iterable of
// two, refused as unpacking it in Python would be. False with the error set.
bool UnpackPair(PyObject* item, glue::PyRef* pair);

// Gives the exception being raised the attribute pair_index = `position`,
// where its object takes attributes; it is raised unchanged otherwise.
void SetPairIndex(uint64_t position);

// A method's name as a Signature shows it, "{Class::kName}.{method}()", made
// at compile time from the class's name.
template <size_t N>
struct MethodName {
  consteval MethodName(const char (&name)[N]) { std::copy_n(name, N, chars); }  // NOLINT: implicit
  char chars[N];
};

template <typename Class, MethodName kMethod>
struct QualifiedName {
  static constexpr std::string_view kClass = Class::kName;
  static constexpr size_t kMethodLength = sizeof(kMethod.chars) - 1;
  static constexpr auto kText = [] {
    std::array<char, kClass.size() + 1 + kMethodLength + 3> text{};
    auto at = std::copy(kClass.begin(), kClass.end(), text.begin());
    *at++ = '.';
    at = std::copy_n(kMethod.chars, kMethodLength, at);
    *at++ = '(';
    *at = ')';
    return text;
  }();
  static constexpr const char* value = kText.data();
};

template <typename Class>
struct WriterAdds {
  using Engine = typename Class::Engine;
  using Instance = glue::Instance<Class>;

  static PyObject* Add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const glue::Signature signature{QualifiedName<Class, "add">::value, kAddNames, 2};
    return Instance::Call(
        signature, glue::AccessKind::kExclusive, self, args, nargs, kwnames,
        [](Engine& writer, PyObject** matched) -> PyObject* {
          KeyViews key_bytes;
          uint64_t id = 0;
          if (!AddPair(writer, matched[0], matched[1], Flush::kNow, &key_bytes, &id))
            return nullptr;
          return PyLong_FromUnsignedLongLong(id);
        });
  }

  static PyObject* AddMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static const glue::Signature signature{QualifiedName<Class, "add_many">::value, kAddManyNames,
                                           1};
    return Instance::Call(
        signature, glue::AccessKind::kExclusive, self, args, nargs, kwnames,
        [](Engine& writer, PyObject** matched) -> PyObject* {
          PyObject* encode = matched[1] == Py_None ? nullptr : matched[1];
          const glue::PyRef iterator = glue::PyRef::Steal(PyObject_GetIter(matched[0]));
          if (!iterator) return nullptr;
          KeyViews key_bytes;
          // Also the position of the pair being added.
          uint64_t added = 0;
          const auto add_all = [&] {
            while (glue::PyRef item = glue::PyRef::Steal(PyIter_Next(iterator.get()))) {
              if (!AddItem(writer, item.get(), encode, &key_bytes)) {
                SetPairIndex(added);
                return false;
              }
              if (++added % kSignalCheckEvery == 0 && PyErr_CheckSignals() < 0) return false;
            }
            return !PyErr_Occurred();
          };
          const bool all_added = add_all();
          // A failed write handed over fails the build, after the pairs before it.
          if (!Class::Settle(writer) || !all_added) return static_cast<PyObject*>(nullptr);
          return PyLong_FromUnsignedLongLong(added);
        });
  }

  static PyObject* AddPacked(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const glue::Signature signature{QualifiedName<Class, "add_packed">::value,
                                           kAddPackedNames, 2};
    return Instance::Call(
        signature, glue::AccessKind::kExclusive, self, args, nargs, kwnames,
        [](Engine& writer, PyObject** matched) -> PyObject* {
          std::string_view packed;
          if (!glue::ConvertRawBytes(matched[0], &packed)) return nullptr;
          PyObject* keys = matched[1];
          uint64_t count = 0;
          size_t at = 0;
          if (!PyList_CheckExact(keys) || !ReadArrayHeader(packed, &count, &at) ||
              count != static_cast<uint64_t>(PyList_GET_SIZE(keys))) {
            PyErr_SetString(PyExc_ValueError,
                            "add_packed() takes a msgpack array and a list of as many keys");
            return nullptr;
          }
          KeyViews key_bytes;
          // Also the position of the value being added.
          uint64_t added = 0;
          const auto add_all = [&] {
            for (; added < count; ++added) {
              const std::string_view rest = packed.substr(at);
              size_t end = 0;
              const glue::PyRef listed = ListedKeys(PyList_GET_ITEM(keys, added));
              if (!listed || !CheckKeys(listed.get(), &key_bytes) ||
                  !CheckPayloadOutcome(CheckFirstMapKeys(rest, &end)) ||
                  !Class::MakeRoomFor(writer, end, Flush::kHandOver)) {
                SetPairIndex(added);
                return false;
              }
              if (Result<uint64_t> id = writer.Add(AsBytes(rest.substr(0, end)), key_bytes);
                  !id.ok()) {
                SetStoreError(id.error());
                SetPairIndex(added);
                return false;
              }
              at += end;
              if ((added + 1) % kSignalCheckEvery == 0 && PyErr_CheckSignals() < 0) return false;
            }
            if (at == packed.size()) return true;
            PyErr_SetString(PyExc_ValueError, "add_packed() found bytes after the array");
            return false;
          };
          const bool all_added = add_all();
          if (!Class::Settle(writer) || !all_added) return static_cast<PyObject*>(nullptr);
          return PyLong_FromUnsignedLongLong(added);
        });
  }

  static PyObject* AddTextColumns(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static const glue::Signature signature{QualifiedName<Class, "add_text_columns">::value,
                                           kAddTextColumnsNames, 4};
    return Instance::Call(
        signature, glue::AccessKind::kExclusive, self, args, nargs, kwnames,
        [](Engine& writer, PyObject** matched) -> PyObject* {
          TextRows rows;
          if (!rows.Init(matched[0], matched[1], matched[2], matched[3], matched[4]))
            return nullptr;
          std::string payload;
          KeyViews key_bytes;
          // Also the position, from start, of the row being added.
          uint64_t added = 0;
          const auto add_all = [&] {
            for (size_t row = rows.start(); row < rows.end(); ++row) {
              rows.Encode(row, &payload);
              if (!rows.Keys(row, &key_bytes) ||
                  !Class::MakeRoomFor(writer, payload.size(), Flush::kHandOver)) {
                SetPairIndex(added);
                return false;
              }
              if (Result<uint64_t> id = writer.Add(AsBytes(payload), key_bytes); !id.ok()) {
                SetStoreError(id.error());
                SetPairIndex(added);
                return false;
              }
              if (++added % kSignalCheckEvery == 0 && PyErr_CheckSignals() < 0) return false;
            }
            return true;
          };
          const bool all_added = add_all();
          if (!Class::Settle(writer) || !all_added) return static_cast<PyObject*>(nullptr);
          return PyLong_FromUnsignedLongLong(added);
        });
  }

  static PyObject* AddObjectRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const glue::Signature signature{QualifiedName<Class, "add_object_raw">::value,
                                           kRawBytesName, 1};
    return Instance::Call(signature, glue::AccessKind::kExclusive, self, args, nargs, kwnames,
                          [](Engine& writer, PyObject** matched) -> PyObject* {
                            std::string_view payload;
                            if (!glue::ConvertRawBytes(matched[0], &payload)) return nullptr;
                            if (!Class::MakeRoomFor(writer, payload.size(), Flush::kNow))
                              return nullptr;
                            Result<uint64_t> id = writer.AddObject(AsBytes(payload));
                            if (!id.ok()) return SetStoreError(id.error());
                            return PyLong_FromUnsignedLongLong(id.value());
                          });
  }

  static PyObject* AddKey(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static const glue::Signature signature{QualifiedName<Class, "add_key">::value, kAddKeyNames, 2};
    return Instance::Call(signature, glue::AccessKind::kExclusive, self, args, nargs, kwnames,
                          [](Engine& writer, PyObject** matched) -> PyObject* {
                            uint64_t obj_id = 0;
                            if (!glue::ConvertObjectId(matched[1], &obj_id)) return nullptr;
                            std::string_view key;
                            if (!ConvertAddKey(matched[0], &key)) return nullptr;
                            const Status added = writer.AddKey(AsBytes(key), obj_id);
                            if (!added.ok()) return SetStoreError(added.error());
                            Py_RETURN_NONE;
                          });
  }

  // A getter of one of the engine's counts, as a Python int.
  template <uint64_t (Engine::*kCount)() const noexcept>
  static PyObject* Count(PyObject* self, void*) {
    return Instance::CallNoArgs(glue::AccessKind::kShared, self, [](Engine& writer) {
      return PyLong_FromUnsignedLongLong((writer.*kCount)());
    });
  }

 private:
  static constexpr const char* kAddNames[] = {"raw_bytes", "keys"};
  static constexpr const char* kAddManyNames[] = {"items", "encode"};
  static constexpr const char* kAddPackedNames[] = {"packed", "keys"};
  static constexpr const char* kAddTextColumnsNames[] = {"columns", "rows", "fields", "keys",
                                                         "start"};
  static constexpr const char* kRawBytesName[] = {"raw_bytes"};
  static constexpr const char* kAddKeyNames[] = {"key", "obj_id"};
  // Items added between checks for signals, when the items are no generator
  // that would check them itself.
  static constexpr uint64_t kSignalCheckEvery = 4096;

  // Adds one object, already encoded, under `keys` (anything ListedKeys
  // takes), all or nothing.
  static bool AddPair(Engine& writer, PyObject* raw_bytes, PyObject* keys, Flush flush,
                      KeyViews* key_bytes, uint64_t* id) {
    std::string_view payload;
    if (!glue::ConvertRawBytes(raw_bytes, &payload)) return false;
    const glue::PyRef listed = ListedKeys(keys);
    if (!listed || !CheckAdd(payload, listed.get(), key_bytes) ||
        !Class::MakeRoomFor(writer, payload.size(), flush))
      return false;
    Result<uint64_t> added = writer.Add(AsBytes(payload), *key_bytes);
    if (!added.ok()) {
      SetStoreError(added.error());
      return false;
    }
    *id = added.value();
    return true;
  }

  // One item of add_many, encoded with `encode` (unless null) and added.
  static bool AddItem(Engine& writer, PyObject* item, PyObject* encode, KeyViews* key_bytes) {
    glue::PyRef pair;
    if (!UnpackPair(item, &pair)) return false;
    PyObject* obj = PyTuple_GET_ITEM(pair.get(), 0);
    const glue::PyRef encoded = encode == nullptr
                                    ? glue::PyRef::Borrow(obj)
                                    : glue::PyRef::Steal(PyObject_CallOneArg(encode, obj));
    uint64_t id = 0;
    return encoded && AddPair(writer, encoded.get(), PyTuple_GET_ITEM(pair.get(), 1),
                              Flush::kHandOver, key_bytes, &id);
  }
};

}  // namespace quordb::native
