// The name check: two names that count as the same, or lead to the same file.
#ifndef TARVIX_PROGRAMS_COMMON_NAMES_H
#define TARVIX_PROGRAMS_COMMON_NAMES_H

#include <cstdio>

namespace tarvix {

// same_names() returns true when both names are present and agree byte for
// byte once the letters a to z are upper-cased (the "C" locale's rule: no
// other byte is folded). Names of any length are compared in full; neither
// name is changed.
bool same_names(const char* source_name, const char* target_name) noexcept;

// same_file() returns true when both names are present, both files exist, and
// they are one file under two names: "a" and "./a", a hard link, or a symbolic
// link. It opens no file for reading or writing and changes nothing.
bool same_file(const char* source_name, const char* target_name) noexcept;

// same_open_file() returns true when the name is present, its file exists,
// and it is the file open on `descriptor` (as fileno() gives it). It opens no
// file for reading or writing and changes nothing.
bool same_open_file(const char* name, int descriptor) noexcept;

// same_open_files() returns true when both descriptors are open, on one file.
bool same_open_files(int descriptor, int other) noexcept;

// descriptor_of() returns the descriptor of an open stream, as fileno() does
// (_fileno() on Windows).
int descriptor_of(std::FILE* stream) noexcept;

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_COMMON_NAMES_H
