// The name check: two names that count as the same.
#ifndef TARVIX_PROGRAMS_TARVIX_NAMES_H
#define TARVIX_PROGRAMS_TARVIX_NAMES_H

namespace tarvix {

// same_names() returns true when both names are present and agree byte for
// byte once the letters a to z are upper-cased (the "C" locale's rule: no
// other byte is folded). Names of any length are compared in full; neither
// name is changed.
bool same_names(const char* source_name, const char* target_name) noexcept;

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_TARVIX_NAMES_H
