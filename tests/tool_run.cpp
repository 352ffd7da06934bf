// Runs the tool's file coder in-process on a source held in memory.
#include "tool_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "file_coder.h"

namespace tarvix::test {

namespace {

// Sends standard output to /dev/null while it lives.
class QuietStdout {
 public:
  QuietStdout() : saved_((std::fflush(stdout), dup(STDOUT_FILENO))) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    (void)std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;
  QuietStdout(QuietStdout&&) = delete;
  QuietStdout& operator=(QuietStdout&&) = delete;

 private:
  int saved_;
};

std::vector<std::uint8_t> read_whole(const std::string& name) {
  std::vector<std::uint8_t> bytes;
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    return bytes;
  }
  std::uint8_t chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  (void)std::fclose(file);
  return bytes;
}

}  // namespace

ToolRunner::ToolRunner() {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
  static int runners = 0;  // of this process, for distinct names
  const std::string base = std::string(dir ? dir : "/tmp") + "/tarvix-tool-run-" +
                           std::to_string(static_cast<long>(getpid())) + "-" +
                           std::to_string(runners++);
  source_ = base + ".src";
  target_ = base + ".out";
}

ToolRunner::~ToolRunner() {
  (void)std::remove(source_.c_str());
  (void)std::remove(target_.c_str());
}

ToolRun ToolRunner::run(std::span<const std::uint8_t> source) {
  std::FILE* file = std::fopen(source_.c_str(), "wb");
  if (file == nullptr) {
    return {ResultCode::kNameMissing, {}};
  }
  const bool written = std::fwrite(source.data(), 1, source.size(), file) == source.size();
  if (std::fclose(file) != 0 || !written) {
    return {ResultCode::kNameMissing, {}};
  }
  ResultCode result = ResultCode::kSuccess;
  {
    const QuietStdout quiet;
    static PipelineAreas areas;  // as the tool keeps them: static, not on the stack
    result = code_file(source_.c_str(), target_.c_str(), areas);
  }
  return {result, read_whole(target_)};
}

}  // namespace tarvix::test
