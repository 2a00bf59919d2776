// What an add accepts, checked before anything is stored. The rule lives
// here alone: StreamWriter's adds use it, and the module functions
// check_keys, check_payload, check_add and check_object_id hand it to writers that add in
// several steps (the in-memory and sharded writers).
//
//   keys   one key, or an iterable of at least one; each key str (with a
//          UTF-8 form: no lone surrogate), bytes, bytearray or a contiguous
//          memoryview, of a length the format can hold
//   payload  one msgpack value whose map keys all read back hashable
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <boost/container/small_vector.hpp>
#include <string_view>

#include "core/format.h"
#include "glue/py_ref.h"
#include "native/msgpack_keys.h"

namespace quordb::native {

// The keys of one add, as views into their objects: on the stack for the
// usual few, so that an add allocates nothing for them.
using KeyViews = boost::container::small_vector<Bytes, 8>;

// One key of an add, as bytes; its length is not checked here. The view
// lives as long as the key object does, unchanged. False with the error set.
bool ConvertAddKey(PyObject* key, std::string_view* out);

// Whether `object` may be iterated; if not, TypeError "{what}, not '{type}'".
bool CheckIterable(PyObject* object, const char* what);

// `keys` as an add walks them: one key, or a list or tuple of keys, as they
// are; any other iterable as a new list. Null, with TypeError, for anything
// else.
glue::PyRef ListedKeys(PyObject* keys);

// Each key of `listed` (as ListedKeys gives them), in order, into `out`: at
// least one, each one ConvertAddKey takes, of a length the format can hold.
// The views live as long as the key objects do, unchanged. False with the
// error set.
bool CheckKeys(PyObject* listed, KeyViews* out);

// The checks of an add, in their order: CheckKeys, then CheckPayload.
bool CheckAdd(std::string_view payload, PyObject* listed, KeyViews* out);

// Refuses `payload` with TypeError unless it is msgpack whose map keys all
// decode to hashable values, with ValueError unless it is msgpack at all.
bool CheckPayload(std::string_view payload);
// The error CheckPayload sets for what CheckMapKeys found; true, with none
// set, for a readable payload.
bool CheckPayloadOutcome(MsgpackKeys found);

}  // namespace quordb::native
