// tvx's run over its files.
#ifndef TARVIX_PROGRAMS_TVX_TVX_H
#define TARVIX_PROGRAMS_TVX_TVX_H

#include "options.h"
#include "pipeline.h"
#include "walk.h"

namespace tarvix::tvx {

// The areas a run reads and writes through, 3 MiB: the pipeline's, and the
// walks'. main() keeps them in static storage.
struct Areas {
  PipelineAreas pipeline;
  WalkArea walk;
};

// run() codes each file of `options` in turn (standard input when there is
// none) through `areas`, reports each failure on standard error as
// "tvx: NAME: reason" and goes on with the next file; it returns the exit
// status: 0 when every file succeeded, else 1.
int run(const Options& options, Areas& areas);

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_TVX_H
