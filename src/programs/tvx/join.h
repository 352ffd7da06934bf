// tvx --join: one compressed file from parts, each compressed from a stretch
// of one source, with exactly the bytes that compressing the whole gives.
#ifndef TARVIX_PROGRAMS_TVX_JOIN_H
#define TARVIX_PROGRAMS_TVX_JOIN_H

#include <tarvix/workers.h>

#include <optional>

#include "options.h"
#include "walk.h"

namespace tarvix::tvx {

// Why a join failed: the file it names, and the errno, or a reason.
struct JoinFailure {
  const char* name;
  int error;           // 0 for a reason
  const char* reason;  // when error is 0
};

// join_parts() writes the compressed file that options.files (the parts, in
// order) make, to options.output under a temporary name until it is whole
// (an existing one only with options.force), or to standard output. A part
// holds records alone, or a whole compressed file: its magic is dropped.
// Each part is walked first (on `workers` if given, through `walk_area`),
// decoding nothing, and
// refused if it is damaged, or if it would leave a block of less than
// kMaxBlockSize bytes before the last block of the whole. Returns the first
// failure, with nothing left behind, or std::nullopt.
std::optional<JoinFailure> join_parts(const Options& options, Workers* workers,
                                      WalkArea& walk_area) noexcept;

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_JOIN_H
