// The message table: one place turns a result code into lines.
#include "messages.h"

#include <cstdio>

namespace tarvix {

namespace {

enum class NameShown { kNone, kSource, kTarget };

struct Message {
  const char* format;  // a printf format with at most one "%s"; null for success
  NameShown name;
};

// The error line of each code. A switch with no default, so that -Wswitch
// names a code added without its line.
Message message_for(ResultCode code) {
  switch (code) {
    case ResultCode::kSuccess:
      return {nullptr, NameShown::kNone};
    case ResultCode::kNameMissing:
      return {"Error[1] : Compress file not specified.\n", NameShown::kNone};
    case ResultCode::kSourceNotOpened:
      return {"Error[3] : opening %s for read access.\n", NameShown::kSource};
    case ResultCode::kTargetNotOpened:
      return {"Error[4] : opening %s for write access.\n", NameShown::kTarget};
    case ResultCode::kWriteFailed:
      return {"Error[5] : writing to %s\n", NameShown::kTarget};
    case ResultCode::kSeekFailed:
      return {"Error[6] : doing a seek on %s.\n", NameShown::kSource};
    case ResultCode::kSourceDamaged:
      return {"Error[7] : unexpected end of file for %s\n", NameShown::kSource};
    case ResultCode::kSameNames:
      return {"Error[8] : original and new file names must be different.\n", NameShown::kNone};
  }
  return {nullptr, NameShown::kNone};  // a value that is no result code: no line
}

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
  const Message message = message_for(code);
  if (message.format == nullptr) {
    return;
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
}

}  // namespace tarvix
