// tvx -d --range: one stretch of what a compressed file restores to.
#ifndef TARVIX_PROGRAMS_TVX_RANGE_H
#define TARVIX_PROGRAMS_TVX_RANGE_H

#include <tarvix/container.h>
#include <tarvix/workers.h>

#include <cstdio>
#include <optional>

#include "options.h"
#include "pipeline.h"
#include "progress.h"

namespace tarvix::tvx {

// restore_range() restores the bytes of `range` of the compressed file in
// `source` through `pipeline`, with `restorer` (read as tvx reads files:
// one after another), and returns the outcome, or std::nullopt when a write
// failed. A source that `can_seek` is walked from where it stands to the
// record that holds the range's start (on `workers` if given) and restored
// from there; any other is restored from its start, the bytes before the
// range dropped. Once the range is written it reads no more, so a fault
// after the range goes unseen. A walk that cannot read, or seek, returns
// kReadFailed with `read_error` set to the errno.
std::optional<Status> restore_range(Pipeline& pipeline, Restorer& restorer,
                                           std::FILE* source, bool can_seek, const Range& range,
                                           Workers* workers, ProgressLine& progress,
                                           int& read_error) noexcept;

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_RANGE_H
