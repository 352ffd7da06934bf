// The message table: one place turns a result code into lines.
#include "messages.h"

#include <cstdio>

namespace tarvix {

namespace {

enum class NameShown { kNone, kSource, kTarget };

struct Message {
  ResultCode code;
  const char* format;  // a printf format with at most one "%s"
  NameShown name;
};

constexpr Message kMessages[] = {
    {ResultCode::kNameMissing, "Error[1] : Compress file not specified.\n", NameShown::kNone},
    {ResultCode::kSourceNotOpened, "Error[3] : opening %s for read access.\n", NameShown::kSource},
    {ResultCode::kTargetNotOpened, "Error[4] : opening %s for write access.\n", NameShown::kTarget},
    {ResultCode::kWriteFailed, "Error[5] : writing to %s\n", NameShown::kTarget},
    {ResultCode::kSeekFailed, "Error[6] : doing a seek on %s.\n", NameShown::kSource},
    {ResultCode::kSourceDamaged, "Error[7] : unexpected end of file for %s\n", NameShown::kSource},
    {ResultCode::kSameNames, "Error[8] : original and new file names must be different.\n",
     NameShown::kNone},
};

}  // namespace

// What printing reports is not examined: a failure to write standard output
// changes neither the result code nor the exit status.

void print_usage() {
  (void)std::fputs("Usage error : tarvix <original file name> <new file name>.\n", stdout);
}

void print_result(ResultCode code, const char* source_name, const char* target_name) {
  if (code == ResultCode::kSuccess) {
    (void)std::fputs("Succeeded...\n", stdout);
    return;
  }
  for (const Message& message : kMessages) {
    if (message.code != code) {
      continue;
    }
    print_usage();
    switch (message.name) {
      case NameShown::kNone:
        (void)std::fputs(message.format, stdout);
        break;
      case NameShown::kSource:
        std::printf(message.format, source_name);
        break;
      case NameShown::kTarget:
        std::printf(message.format, target_name);
        break;
    }
    return;
  }
}

}  // namespace tarvix
