// What tvx asks of the file system: the files it reads, and the targets it
// writes under a temporary name until they are whole.
#ifndef TARVIX_PROGRAMS_TVX_FILES_H
#define TARVIX_PROGRAMS_TVX_FILES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "pipeline.h"

#include <sys/stat.h>

namespace tarvix::tvx {

// A source file, open for reading, with what it was when it was opened;
// closed when it goes (standard input stays open).
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
  std::optional<std::uint64_t> size;  // known for a regular file
#ifdef _WIN32
  struct _stat64 info {};
#else
  struct stat info {};
#endif
};

// prepare_streams() readies the process at its start: it opens /dev/null on
// a closed descriptor 0, 1 or 2, the wrong way round (write-only as
// standard input, read-only as the others) so that using it fails rather
// than losing data, and so that no file tvx opens takes its place; it
// puts standard input and output into binary mode where text mode exists,
// makes them unbuffered for the pipeline, and sets the handlers that remove
// a pending target on SIGINT, SIGTERM and SIGHUP (unless the signal was
// ignored when tvx started).
void prepare_streams() noexcept;

// open_source() opens `name` for reading ("-" is standard input) into
// `source`, which must be new. On failure it returns false with errno set; a
// directory fails with EISDIR.
bool open_source(const char* name, Source& source) noexcept;
// close_source() closes the source's stream, but standard input, before it
// goes (a file that is open cannot be removed on Windows).
void close_source(Source& source) noexcept;

// Whether a file of this name exists (a dangling symbolic link counts).
bool exists(const char* name) noexcept;

// Whether `name` leads to a folder.
bool is_folder(const char* name) noexcept;

// What walk_folder() finds.
class FolderVisitor {
 public:
  virtual ~FolderVisitor() = default;
  // A regular file, by its name below the folder walked.
  virtual void file(const char* name) = 0;
  // A folder that could not be read, or a name too long to make.
  virtual void failed(const char* name, int error) = 0;

 protected:
  FolderVisitor() = default;
  FolderVisitor(const FolderVisitor&) = default;
  FolderVisitor& operator=(const FolderVisitor&) = default;
  FolderVisitor(FolderVisitor&&) = default;
  FolderVisitor& operator=(FolderVisitor&&) = default;
};

// walk_folder() shows `visitor` each regular file in the folder `name` and
// in its folders, in the order the system lists them, as "name/sub/file". It
// follows no symbolic link (nor, on Windows, any other reparse point) inside
// the folder, and passes over what is neither a file nor a folder, and what
// is gone by the time it looks. Files that appear while it walks may or may
// not be shown.
void walk_folder(const char* name, FolderVisitor& visitor) noexcept;

// Whether `name` leads to a file that holds no data of its own: a device
// (such as /dev/null), a pipe or a socket.
bool is_special_file(const char* name) noexcept;

// Whether the source is a file of data: a regular file, or standard input.
inline bool is_file_of_data(const Source& source) noexcept {
  return source.is_regular || source.is_standard_input;
}

// Whether `name` is the file open as `source`.
bool is_same_file(const char* name, const Source& source) noexcept;
// Whether standard output is the regular file open as `source`.
bool is_standard_output(const Source& source) noexcept;

bool is_terminal(std::FILE* stream) noexcept;

// watch_compressed_stream() names `stream`, to which compressed data goes
// straight (standard output), to the handlers of SIGINT, SIGTERM and SIGHUP:
// one that comes while no write to it is under way ends it, after its last
// whole write, with a length field of 0, so that no reader restores the cut
// stream as sound; one that comes during a write leaves it cut there. Give
// the pipelines that write it the watch it returns, the same for the same
// stream; stop_watching_stream() ends the watch.
WriteWatch* watch_compressed_stream(std::FILE* stream) noexcept;
void stop_watching_stream() noexcept;

// raise_broken_pipe() raises SIGPIPE on the calling thread, which ends the
// process unless the signal is ignored or blocked there (or, on Windows,
// does nothing).
void raise_broken_pipe() noexcept;

// PendingTarget writes a target under a temporary name in the target's
// folder, created anew and readable by its owner alone, and renames it onto
// the target only when it is whole. Until then, or when it fails, or when the
// process receives SIGINT, SIGTERM or SIGHUP, the temporary file is removed
// and nothing else is touched. One target is pending at a time.
//
// A target that the user named and that exists as no file of data (a device
// such as /dev/null, a pipe, a socket) may be written directly instead:
// renaming would put a file in its place.
class PendingTarget {
 public:
  // The longest target name it takes, in bytes.
  static constexpr std::size_t kMaxName = 4096;

  PendingTarget() = default;
  ~PendingTarget() { discard(); }
  PendingTarget(const PendingTarget&) = delete;
  PendingTarget& operator=(const PendingTarget&) = delete;
  PendingTarget(PendingTarget&&) = delete;
  PendingTarget& operator=(PendingTarget&&) = delete;

  // Creates the temporary file for `target_name`, or with `direct`, when
  // the target is a device, a pipe or a socket, opens it; false with errno
  // set. Without `replace`, the target must not exist when it is renamed
  // into place (EEXIST).
  bool create(const char* target_name, bool direct, bool replace) noexcept;
  // The stream to write, unbuffered.
  std::FILE* stream() const noexcept { return stream_; }
  // True when the target is written directly, not renamed into place.
  bool is_direct() const noexcept { return direct_; }
  // Gives the target the permission bits, modification time and, where the
  // process may, owner of `source` when that is a regular file (else the
  // mode a new file gets); writes it to disk when `durable`, then closes it
  // and renames it onto the target, syncing the folder too when `durable`.
  // False with errno set on failure, the temporary file removed. A target
  // written directly is only closed.
  bool commit(const Source& source, bool durable) noexcept;
  // Closes and removes the temporary file, if there is one.
  void discard() noexcept;

 private:
  std::FILE* stream_ = nullptr;
  bool direct_ = false;
  bool replace_ = false;
  std::array<char, kMaxName + 1> target_{};
};

// remove_source() removes the source file `name`; false with errno set.
bool remove_source(const char* name) noexcept;

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_FILES_H
