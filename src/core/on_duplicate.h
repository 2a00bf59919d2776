// OnDuplicate: what a build does when a key it already has is added for
// another object.
//
//   Writer writer(OnDuplicate::kFirst);
//   std::optional<OnDuplicate> policy = ParseOnDuplicate("error");
//
// A key is replaced when it is added for object B while it names object A.
// Adding a key again for the object it names already replaces nothing and is
// never refused. Builds count replacements under every policy (under kFirst,
// the claims they drop), so that a user learns that keys changed hands.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quordb {

enum class OnDuplicate : uint8_t {
  kLast,   // the key names B: the later add wins, as it always has
  kFirst,  // the key keeps naming A; B is stored all the same
  kError,  // the add fails (a DuplicateKey error) and stores nothing
};

// The policy a user names "last", "first" or "error"; nothing for other names.
inline std::optional<OnDuplicate> ParseOnDuplicate(std::string_view name) noexcept {
  if (name == "last") return OnDuplicate::kLast;
  if (name == "first") return OnDuplicate::kFirst;
  if (name == "error") return OnDuplicate::kError;
  return std::nullopt;
}

}  // namespace quordb
