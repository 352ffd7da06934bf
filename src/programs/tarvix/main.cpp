// tarvix: compresses one file into another, or restores it, in one command.
#include "file_coder.h"
#include "messages.h"
#include "names.h"
#include "pipeline.h"
#include "process.h"

int main(int argc, char* argv[]) {
  // The result code tells what failed: a failed write to the target is
  // Error[5], and a failed write to standard output changes nothing.
  tarvix::prepare_process(tarvix::LostReader::kFails);

  // Arguments after the second are ignored.
  const char* const source_name = argc > 1 ? argv[1] : nullptr;
  const char* const target_name = argc > 2 ? argv[2] : nullptr;

  // The pipeline's areas: static, neither heap nor stack, for the program
  // may run with a small stack.
  static tarvix::PipelineAreas areas;
  const tarvix::ResultCode result = tarvix::same_names(source_name, target_name)
                                        ? tarvix::ResultCode::kSameNames
                                        : tarvix::code_file(source_name, target_name, areas);
  tarvix::print_result(result, source_name, target_name);
  return static_cast<int>(result);
}
