// tvx's run over its files.
#ifndef TARVIX_PROGRAMS_TVX_TVX_H
#define TARVIX_PROGRAMS_TVX_TVX_H

#include "options.h"

namespace tarvix::tvx {

// run() codes each file of `options` in turn (standard input when there is
// none), reports each failure on standard error as "tvx: NAME: reason" and
// goes on with the next file; it returns the exit status: 0 when every file
// succeeded, else 1.
int run(const Options& options);

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_TVX_H
