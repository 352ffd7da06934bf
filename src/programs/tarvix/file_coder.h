// The file coder: one run's work on files, in compress or restore mode.
#ifndef TARVIX_PROGRAMS_TARVIX_FILE_CODER_H
#define TARVIX_PROGRAMS_TARVIX_FILE_CODER_H

#include "pipeline.h"
#include "result_code.h"

namespace tarvix {

// code_file() looks once at each name and refuses names that lead to one
// file (ResultCode::kSameNames) before it opens either, or creating the
// target would empty the source; it opens the source for reading, then
// creates or empties the target (see open_target()), and chooses the mode
// from the source's first four bytes: a source that opens with the file
// magic is restored, anything else is compressed. The blocks are coded on
// thread_count() threads, through `areas`, with the same bytes and outcomes
// as on one. It prints the progress line once the first block has been
// read, and nothing else; it closes every file it opened and never removes
// the target, whatever it returns. A null name gives ResultCode::kNameMissing
// and opens nothing. The caller refuses the names that count as the same
// (same_names()).
ResultCode code_file(const char* source_name, const char* target_name, PipelineAreas& areas);

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_TARVIX_FILE_CODER_H
