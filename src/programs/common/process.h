// The edges of the process: signals and the standard descriptors.
#ifndef TARVIX_PROGRAMS_COMMON_PROCESS_H
#define TARVIX_PROGRAMS_COMMON_PROCESS_H

namespace tarvix {

// prepare_process() readies the process for a run; call it first in main().
// On POSIX hosts it ignores SIGPIPE and SIGXFSZ, so that a write to a pipe
// without a reader or past the file-size limit fails with an error that the
// run reports, rather than ending the process; and it opens /dev/null on any
// of descriptors 0, 1 and 2 that is closed, so that no file the run opens
// takes the place of standard output. Elsewhere it does nothing.
void prepare_process() noexcept;

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_COMMON_PROCESS_H
