// The edges of a program's process: the standard descriptors and the
// signals that a failed write raises.
#ifndef TARVIX_PROGRAMS_COMMON_PROCESS_H
#define TARVIX_PROGRAMS_COMMON_PROCESS_H

namespace tarvix {

// What a write to a pipe that no one reads does.
enum class LostReader {
  kFails,  // the write fails with EPIPE, and the run reports it (SIGPIPE ignored)
  kEnds,   // SIGPIPE ends the process, as it ends the other compressors
};

// prepare_process() readies the process for a program's run; call it first
// in main(). On POSIX hosts it opens /dev/null on any of descriptors 0, 1
// and 2 that is closed, the wrong way round (write-only as standard input,
// read-only as the others), so that no file the run opens takes the place
// of a standard stream and using one fails rather than losing data; it
// ignores SIGXFSZ, so that a write past the file-size limit fails with EFBIG
// and is reported, and with LostReader::kFails, SIGPIPE too. Elsewhere it
// does nothing.
void prepare_process(LostReader lost_reader) noexcept;

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_COMMON_PROCESS_H
