// tarvix: compresses one file into another, or restores it, in one command.
#include "file_coder.h"
#include "messages.h"
#include "names.h"
#include "process.h"

int main(int argc, char* argv[]) {
  tarvix::prepare_process();

  // Arguments after the second are ignored.
  const char* const source_name = argc > 1 ? argv[1] : nullptr;
  const char* const target_name = argc > 2 ? argv[2] : nullptr;

  // Names that lead to one file are refused before either is opened, or
  // creating the target would empty the source.
  tarvix::ResultCode result = tarvix::ResultCode::kSameNames;
  if (!tarvix::same_names(source_name, target_name) &&
      !tarvix::same_file(source_name, target_name)) {
    result = tarvix::code_file(source_name, target_name);
  }
  tarvix::print_result(result, source_name, target_name);
  return static_cast<int>(result);
}
