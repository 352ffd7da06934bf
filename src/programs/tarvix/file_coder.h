// The file coder: one run's work on files, in compress or restore mode.
#ifndef TARVIX_PROGRAMS_TARVIX_FILE_CODER_H
#define TARVIX_PROGRAMS_TARVIX_FILE_CODER_H

#include "result_code.h"

namespace tarvix {

// code_file() opens the source for reading, then creates or empties the
// target, and chooses the mode from the source's first four bytes: a source
// that opens with the file magic is restored, anything else is compressed.
// The blocks are coded on thread_count() threads, with the same bytes and
// outcomes as on one. It prints the progress line once the first block has
// been read, and nothing else; it closes every file it opened and never
// removes the target, whatever it returns. A null name gives
// ResultCode::kNameMissing and opens nothing. The caller must have refused
// names that lead to the same file; a target name that leads to the source
// only once the source is open (/dev/fd/3) gives ResultCode::kSameNames with
// the target not opened, and a target that is the file on standard output
// gives ResultCode::kTargetNotOpened (see open_target()).
ResultCode code_file(const char* source_name, const char* target_name);

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_TARVIX_FILE_CODER_H
