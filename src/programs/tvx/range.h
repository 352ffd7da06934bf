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
#include "walk.h"

namespace tarvix::tvx {

// What restore_range() works with: the pipeline and the restorer it
// restores through, the progress line it updates, the pool its walk sizes
// records on (null: one thread), and the area its walk reads into.
struct RangeTools {
  Pipeline& pipeline;
  Restorer& restorer;
  ProgressLine& progress;
  Workers* workers;
  WalkArea& walk_area;
};

// restore_range() restores the bytes of `range` of the compressed file in
// `source` with `tools` (read as tvx reads files: one after another), and
// returns the outcome, or std::nullopt when a write failed. A source that
// `can_seek` is walked from where it stands to the record that holds the
// range's start and restored from there; any other is restored from its
// start, the bytes before the range dropped. Once the range is written it
// reads no more, so a fault after the range goes unseen. A walk that cannot
// read, or seek, returns kReadFailed with `read_error` set to the errno.
std::optional<Status> restore_range(const RangeTools& tools, std::FILE* source, bool can_seek,
                                    const Range& range, int& read_error) noexcept;

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_RANGE_H
