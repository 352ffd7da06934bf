// The lines the tool prints for each result code.
#ifndef TARVIX_PROGRAMS_TARVIX_MESSAGES_H
#define TARVIX_PROGRAMS_TARVIX_MESSAGES_H

#include "result_code.h"

namespace tarvix {

// print_usage() prints the usage line to standard output.
void print_usage();

// print_result() prints the lines that belong to `code` on standard output:
// "Succeeded..." for success; for a failure the usage line, then the error
// line with the source or target name put in, exactly as typed. Names may be
// null where the code's line shows none.
void print_result(ResultCode code, const char* source_name, const char* target_name);

}  // namespace tarvix

#endif  // TARVIX_PROGRAMS_TARVIX_MESSAGES_H
