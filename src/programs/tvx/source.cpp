// The files tvx reads, on POSIX hosts and on Windows.
#include "source.h"

#include <cerrno>
#include <cstring>

namespace tarvix::tvx {

namespace {

#ifdef _WIN32

// Standard input is read as it is. A file by name is looked at by name;
// Windows' stat tells no identity, so the open stream is asked for it.
bool open_file(const char* name, bool standard_input, Source& source) noexcept {
  if (standard_input) {
    source.stream = stdin;
    source.is_standard_input = true;
    return true;
  }
  if (_stat64(name, &source.info) == 0 && (source.info.st_mode & _S_IFDIR) != 0) {
    errno = EISDIR;
    return false;
  }
  source.stream = std::fopen(name, "rb");
  if (source.stream == nullptr) {
    return false;
  }
  source.is_regular = (source.info.st_mode & _S_IFREG) != 0;
  if (const std::optional<FileLook> look = look_at(platform::descriptor_of(source.stream))) {
    source.identity = look->identity;
  }
  return true;
}

#else

// A file by name is opened without waiting for a pipe's writer (what the
// file is decides first); then the open file, or standard input, is looked at
// once.
bool open_file(const char* name, bool standard_input, Source& source) noexcept {
  int fd = STDIN_FILENO;
  if (!standard_input) {
    fd = open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      return false;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  const bool looked = fstat(fd, &source.info) == 0;
  source.stream = !looked || S_ISDIR(source.info.st_mode) ? nullptr
                  : standard_input                        ? stdin
                                                          : fdopen(fd, "rb");
  if (source.stream == nullptr) {
    const int error = looked && S_ISDIR(source.info.st_mode) ? EISDIR : errno;
    if (!standard_input) {
      (void)close(fd);
    }
    errno = error;
    return false;
  }
  const FileLook look = look_of(source.info);
  source.is_standard_input = standard_input;
  source.is_regular = look.is_regular;
  source.identity = look.identity;
  return true;
}

#endif

}  // namespace

Source::~Source() { close_source(*this); }

bool open_source(const char* name, Source& source) noexcept {
  const bool standard_input = std::strcmp(name, "-") == 0;
  if (!open_file(name, standard_input, source)) {
    return false;
  }
  if (source.is_regular) {
    source.size = static_cast<std::uint64_t>(source.info.st_size);
  }
  if (!standard_input) {
    (void)std::setvbuf(source.stream, nullptr, _IONBF, 0);
  }
  return true;
}

void close_source(Source& source) noexcept {
  if (source.stream != nullptr && !source.is_standard_input) {
    (void)std::fclose(source.stream);
  }
  source.stream = nullptr;
}

bool is_standard_output(const Source& source) noexcept {
  if (!source.is_regular || !source.identity) {
    return false;
  }
  const std::optional<FileLook> output = look_at(platform::descriptor_of(stdout));
  return output && output->identity == *source.identity;
}

bool remove_source(const char* name) noexcept { return std::remove(name) == 0; }

}  // namespace tarvix::tvx
