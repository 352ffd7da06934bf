// The result codes of a run, which are also the exit status of the process.
#ifndef TARVIX_PROGRAMS_TARVIX_RESULT_CODE_H
#define TARVIX_PROGRAMS_TARVIX_RESULT_CODE_H

namespace tarvix {

enum class ResultCode : int {
  kSuccess = 0,
  kNameMissing = 1,      // fewer than two names on the command line
  kSourceNotOpened = 3,  // the source cannot be opened for reading
  kTargetNotOpened = 4,  // the target cannot be opened for writing, or is standard output
  kWriteFailed = 5,      // writing to the target failed, its flush and close included
  kSeekFailed = 6,       // the seek back to the start of the source failed
  kSourceDamaged = 7,    // the source ended too early, could not be read, or is malformed
  kSameNames = 8,        // the two names lead to the same file
};

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_TARVIX_RESULT_CODE_H
