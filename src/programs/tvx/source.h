// The files tvx reads: a source, open for reading, with what it was when it
// was opened.
#ifndef TARVIX_PROGRAMS_TVX_SOURCE_H
#define TARVIX_PROGRAMS_TVX_SOURCE_H

#include <cstdint>
#include <cstdio>
#include <optional>

#include "file_identity.h"
#include "platform.h"

namespace tarvix::tvx {

// A source file, open for reading, with what one look at it told when it was
// opened; closed when it goes (standard input stays open).
struct Source {
  Source() = default;
  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  Source(Source&&) = delete;
  Source& operator=(Source&&) = delete;

  std::FILE* stream = nullptr;
  bool is_standard_input = false;
  bool is_regular = false;
  std::optional<std::uint64_t> size;     // known for a regular file
  std::optional<FileIdentity> identity;  // which file it is, where it can be told
#ifdef _WIN32
  struct _stat64 info {};
#else
  struct stat info {};
#endif
};

// open_source() opens `name` for reading ("-" is standard input) into
// `source`, which must be new, and looks at it once. On failure it returns
// false with errno set; a directory fails with EISDIR. A pipe by name is
// opened without waiting for its writer.
bool open_source(const char* name, Source& source) noexcept;
// close_source() closes the source's stream, but standard input, before it
// goes (a file that is open cannot be removed on Windows).
void close_source(Source& source) noexcept;

// Whether the source is a file of data: a regular file, or standard input.
inline bool is_file_of_data(const Source& source) noexcept {
  return source.is_regular || source.is_standard_input;
}

// Whether standard output is the regular file open as `source`.
bool is_standard_output(const Source& source) noexcept;

// remove_source() removes the source file `name`; false with errno set.
bool remove_source(const char* name) noexcept;

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_SOURCE_H
