// The name check, on the names as typed.
#include "names.h"

namespace tarvix {

namespace {

constexpr char fold_case(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool same_names(const char* source_name, const char* target_name) noexcept {
  if (source_name == nullptr || target_name == nullptr) {
    return false;
  }
  // Up to and including the terminator, so names of different lengths differ.
  for (;; ++source_name, ++target_name) {
    if (fold_case(*source_name) != fold_case(*target_name)) {
      return false;
    }
    if (*source_name == '\0') {
      return true;
    }
  }
}

}  // namespace tarvix
