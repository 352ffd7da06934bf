// Opening the target of a run, once its source is open.
#ifndef TARVIX_PROGRAMS_TARVIX_TARGET_FILE_H
#define TARVIX_PROGRAMS_TARVIX_TARGET_FILE_H

#include <cstdio>
#include <optional>

#include "file_identity.h"
#include "result_code.h"

namespace tarvix {

// open_target() creates or empties the target `target_name` for a run whose
// source is open, and on ResultCode::kSuccess sets `target` to it, a stream
// for binary writing that the caller closes. `source` and `target_look` are
// the looks at the two names taken before the source was opened (std::nullopt
// where a name led to no file). On POSIX hosts a target that it creates gets
// the source's permission bits as the umask masks them, from the moment it
// exists; an existing target keeps its mode. It refuses, and opens nothing,
// when the target name:
//  - leads to the open source (a name such as /dev/fd/3 that led nowhere
//    before the source took descriptor 3): ResultCode::kSameNames;
//  - leads to the file on standard output, and that file is a regular file,
//    a pipe or a socket, where the messages would be mixed with the target's
//    bytes: ResultCode::kTargetNotOpened. A device, such as /dev/null, is
//    allowed.
// A target that cannot be opened gives ResultCode::kTargetNotOpened. A target
// name that led to no file is looked at no more unless a file of that name
// comes to exist.
ResultCode open_target(const std::optional<FileLook>& source, std::optional<FileLook> target_look,
                       const char* target_name, std::FILE*& target) noexcept;

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_TARVIX_TARGET_FILE_H
