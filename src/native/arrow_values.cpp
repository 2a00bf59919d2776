// arrow_values(): a msgpack array of text, or of integers, with nils, as the
// buffers of an Arrow column, so that a join's field of names or counts goes
// from its picked values to its column without a Python object a value.
//
// Only what converts exactly: text (Arrow's string, its UTF-8 left to Arrow
// to check), or integers that fit int64; an array of nils only is "null",
// of whatever type the caller's other arrays hold. A value of any other
// kind, or text past 32-bit offsets, gives None, and the caller decodes the
// values as before: what it makes of them, or raises, is then the decoder's.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/format.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/lock_released.h"
#include "glue/py_ref.h"
#include "native/key_batch.h"
#include "native/msgpack_head.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallFunction;
using glue::FastcallMethod;
using glue::LockReleased;
using glue::PyRef;
using glue::Signature;

constexpr uint8_t kNil = 0xc0;

// The integer whose head byte is `b`, its bytes (if any) at `p`, of which
// `size` remain. False for no integer, one cut short, or one past int64.
bool ReadInteger(uint8_t b, const uint8_t* p, uint64_t size, uint64_t* at, int64_t* value) {
  if (b <= 0x7f) {
    *value = b;
    return true;
  }
  if (b >= 0xe0) {
    *value = static_cast<int8_t>(b);
    return true;
  }
  if (b < 0xcc || b > 0xd3) return false;
  const bool is_signed = b >= 0xd0;
  const int width = 1 << ((b - (is_signed ? 0xd0 : 0xcc)) & 3);
  if (!Fits(size, *at, static_cast<uint64_t>(width))) return false;
  const uint64_t bits = LoadBigEndian(p + *at, width);
  *at += static_cast<uint64_t>(width);
  if (!is_signed) {
    if (bits > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    *value = static_cast<int64_t>(bits);
    return true;
  }
  const int shift = 64 - 8 * width;  // sign-extended from its width
  *value = static_cast<int64_t>(bits << shift) >> shift;
  return true;
}

// The values of one array, as one Arrow column's buffers.
class ArrowValues {
 public:
  enum class Kind { kNone, kText, kInteger };

  // False when some value is not of the array's kind, or the array is
  // malformed. The kind stays kNone for an array of nils only.
  bool Read(const uint8_t* p, uint64_t size) {
    uint64_t at = 0;
    MsgpackHead head;
    if (!ReadMsgpackHead(p, size, &at, &head) || !head.is_container || head.is_map) return false;
    count_ = head.items;
    valid_.assign((count_ + 7) / 8, 0);
    offsets_.push_back(0);
    for (uint64_t i = 0; i < count_; ++i) {
      if (at >= size) return false;
      const uint8_t b = p[at];
      if (b == kNil) {
        ++at;
        offsets_.push_back(offsets_.back());
        integers_.push_back(0);
        continue;
      }
      valid_[i / 8] = static_cast<uint8_t>(valid_[i / 8] | (1u << (i % 8)));
      if (kind_ != Kind::kText) {
        int64_t value = 0;
        uint64_t after = at + 1;
        if (ReadInteger(b, p, size, &after, &value)) {
          kind_ = Kind::kInteger;
          integers_.push_back(value);
          at = after;
          continue;
        }
        if (kind_ == Kind::kInteger) return false;
      }
      MsgpackHead value;
      if (!ReadMsgpackHead(p, size, &at, &value) || !value.is_text ||
          !Fits(size, at, value.payload))
        return false;
      kind_ = Kind::kText;
      text_.insert(text_.end(), p + at, p + at + value.payload);
      at += value.payload;
      if (text_.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
      offsets_.push_back(static_cast<int32_t>(text_.size()));
    }
    return at == size;
  }

  // New reference: (kind, count, validity, offsets, data), kind "string",
  // "int64" or "null" (offsets None but for text). Null with an error set.
  PyObject* Buffers() const {
    const bool text = kind_ == Kind::kText;
    const char* kind = text ? "string" : kind_ == Kind::kInteger ? "int64" : "null";
    PyRef validity = Bytes(valid_.data(), valid_.size());
    PyRef offsets =
        text ? Bytes(offsets_.data(), offsets_.size() * sizeof(int32_t)) : PyRef::Borrow(Py_None);
    PyRef data = text ? Bytes(text_.data(), text_.size())
                      : Bytes(integers_.data(), integers_.size() * sizeof(int64_t));
    if (!validity || !offsets || !data) return nullptr;
    return Py_BuildValue("(sKOOO)", kind, static_cast<unsigned long long>(count_), validity.get(),
                         offsets.get(), data.get());
  }

 private:
  static PyRef Bytes(const void* data, size_t size) {
    return PyRef::Steal(
        PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
  }

  Kind kind_ = Kind::kNone;
  uint64_t count_ = 0;
  std::vector<uint8_t> valid_;
  // Both kept until the kind is known: an array's leading nils go in either.
  std::vector<int32_t> offsets_;
  std::vector<uint8_t> text_;
  std::vector<int64_t> integers_;
};

constexpr const char* kArrowValuesNames[] = {"array"};

PyObject* ArrowValuesOf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"arrow_values()", kArrowValuesNames, 1};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    if (!PyBytes_Check(matched[0])) {
      PyErr_SetString(PyExc_TypeError, "array must be bytes");
      return nullptr;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(matched[0]));
    const auto size = static_cast<uint64_t>(PyBytes_GET_SIZE(matched[0]));
    ArrowValues values;
    bool read = false;
    {
      LockReleased released(size >= 64 * kLockFreeBatch);
      read = values.Read(p, size);
    }
    if (!read) Py_RETURN_NONE;
    return values.Buffers();
  });
}

PyMethodDef kArrowValuesFunctions[] = {
    {"arrow_values", FastcallMethod<ArrowValuesOf>(), METH_FASTCALL | METH_KEYWORDS,
     "arrow_values(array) -> tuple[str, int, bytes, bytes | None, bytes] | None\n--\n\n"
     "The msgpack array *array* as the buffers of an Arrow column, (kind, count, validity, "
     "offsets, data): kind \"string\" when its values are text or nil (the UTF-8 unchecked), "
     "\"int64\" (offsets None) when they are integers that fit int64 or nil, \"null\" when "
     "all are nil. None for any other array."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddArrowValueFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, kArrowValuesFunctions);
}

}  // namespace quordb::native
