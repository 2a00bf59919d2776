// StoreError: the one error value of every fallible engine operation.
//
//   Result<Reader> r = Reader::Open(path, /*verify=*/true);
//   if (!r.ok()) std::puts(r.error().Render().c_str());
//
// Engine calls never throw a StoreError and never touch the interpreter; the
// extension module turns an error into a Python exception in one place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quordb {

// A key that the build's policy (OnDuplicate::kError) refused to let another
// object take: `key` names object `first`; object `second` claimed it.
struct DuplicateKey {
  std::string key;
  uint64_t first;
  uint64_t second;
};

class [[nodiscard]] StoreError {
 public:
  enum class Kind : uint8_t { kCorrupt, kVersion, kIo, kGeneral };

  static StoreError Corrupt(std::string message) { return {Kind::kCorrupt, std::move(message), 0}; }
  static StoreError Version(uint8_t version) { return {Kind::kVersion, {}, version}; }
  static StoreError Io(std::string message) { return {Kind::kIo, std::move(message), 0}; }
  static StoreError General(std::string message) { return {Kind::kGeneral, std::move(message), 0}; }
  // An Io error for a failed system call: "{what}{strerror} (os error {errnum})".
  static StoreError Os(int errnum, std::string_view what = {});
  // A General error that also carries the key and both objects, so that a
  // binding can raise its own class for it and show the key its own way.
  static StoreError Duplicate(std::string_view key, uint64_t first, uint64_t second);

  // A copy holds its own copy of the duplicate's details.
  StoreError(const StoreError& other);
  StoreError& operator=(const StoreError& other);
  StoreError(StoreError&&) noexcept = default;
  StoreError& operator=(StoreError&&) noexcept = default;
  ~StoreError() = default;

  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  uint8_t version() const noexcept { return version_; }
  // The refused key of a Duplicate error; null for every other error.
  const DuplicateKey* duplicate_key() const noexcept { return duplicate_key_.get(); }

  // The kind's fixed prefix followed by the message, exactly as users see it.
  std::string Render() const;

 private:
  StoreError(Kind kind, std::string message, uint8_t version)
      : kind_(kind), message_(std::move(message)), version_(version) {}

  Kind kind_;
  std::string message_;
  uint8_t version_;
  // Owned, not shared: a shared pointer's release, inlined wherever a Status
  // goes out of scope, made every add of a bulk build measurably dearer.
  std::unique_ptr<const DuplicateKey> duplicate_key_;
};

// The system's description of an error number followed by " (os error N)".
std::string OsErrorText(int errnum);

// The message of a Duplicate error, with the key as `shown_key` shows it
// (quoted): "key 'k' already names object 3; object 7 cannot take it".
std::string DuplicateKeyMessage(std::string_view shown_key, uint64_t first, uint64_t second);

// A value or a StoreError. Deliberately tiny: the engine needs no more.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(StoreError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  const StoreError& error() const& { return std::get<1>(state_); }
  StoreError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, StoreError> state_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status OkStatus() { return Ok{}; }

}  // namespace quordb

// Propagates the error of a Result-returning expression to the caller.
#define QUORDB_RETURN_IF_ERROR(expr)                                    \
  do {                                                                  \
    auto quordb_status_ = (expr);                                       \
    if (!quordb_status_.ok()) return std::move(quordb_status_).error(); \
  } while (0)
