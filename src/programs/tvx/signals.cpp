// tvx's signal handling, and the state that its handler reaches.
#include "signals.h"

#include "platform.h"

#include <atomic>

#include <tarvix/container_format.h>

namespace tarvix::tvx {

namespace {

// The state a signal handler reaches. It is static because a handler is
// given nothing but the signal's number: whatever it must clean up has to
// lie where it can find it, and be safe to read there (a lock-free atomic,
// or bytes that no one changes while the atomic that guards them is set).
// Nothing outside this file touches it but through the functions below.
//
// The temporary file that the handler removes: its name, valid while
// `pending` is set.
char pending_file[kMaxPendingName + 1];
std::atomic<bool> pending{false};
static_assert(std::atomic<bool>::is_always_lock_free);
// The compressed stream that the handler ends with a mark: its descriptor
// (-1 for none) and where its writes stand.
std::atomic<int> watched_descriptor{-1};
WriteWatch stream_watch;
static_assert(std::atomic<int>::is_always_lock_free);

#ifdef _WIN32

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGBREAK};

void remove_pending_file() noexcept { (void)_unlink(pending_file); }

// Writes the mark; Windows cannot tell whether a pipe takes it.
void write_mark(int fd, const char* mark, unsigned size) noexcept { (void)_write(fd, mark, size); }

bool is_ignored(int) noexcept { return false; }

void set_handler(int signal_number, void (*handler)(int)) noexcept {
  (void)std::signal(signal_number, handler);
}

#else

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

// unlink() is safe in a signal handler, as std::remove() need not be.
void remove_pending_file() noexcept { (void)unlink(pending_file); }

// A reader that takes no more bytes within a second is not waited for: the
// signal still ends the process.
void write_mark(int fd, const char* mark, unsigned size) noexcept {
  struct pollfd ready {
    fd, POLLOUT, 0
  };
  if (poll(&ready, 1, 1000) == 1 && (ready.revents & POLLOUT) != 0) {
    (void)write(fd, mark, size);
  }
}

bool is_ignored(int signal_number) noexcept {
  struct sigaction action {};
  return sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

void set_handler(int signal_number, void (*handler)(int)) noexcept {
  struct sigaction action {};
  action.sa_handler = handler;
  (void)sigemptyset(&action.sa_mask);
  (void)sigaction(signal_number, &action, nullptr);
}

#endif

// Ends the watched stream, cut after a whole write, with the length field
// 0, which every reader refuses.
void mark_cut_stream() noexcept {
  constexpr char kMark[kLengthFieldSize] = {0, 0};
  const int fd = watched_descriptor.load();
  if (fd >= 0 && stream_watch.claim_boundary()) {
    write_mark(fd, kMark, sizeof kMark);
  }
}

// Everything here is safe in a signal handler.
extern "C" void on_signal(int signal_number) {
  if (pending.load()) {
    remove_pending_file();
  }
  mark_cut_stream();
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);
}

}  // namespace

void handle_signals() noexcept {
  for (const int signal_number : kHandledSignals) {
    if (!is_ignored(signal_number)) {
      set_handler(signal_number, on_signal);
    }
  }
}

#ifdef _WIN32

HeldSignals::HeldSignals() noexcept = default;
HeldSignals::~HeldSignals() = default;

void raise_broken_pipe() noexcept {}

#else

HeldSignals::HeldSignals() noexcept {
  sigset_t set;
  (void)sigemptyset(&set);
  for (const int signal_number : kHandledSignals) {
    (void)sigaddset(&set, signal_number);
  }
  (void)pthread_sigmask(SIG_BLOCK, &set, &before_);
}

HeldSignals::~HeldSignals() { (void)pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

void raise_broken_pipe() noexcept { (void)std::raise(SIGPIPE); }

#endif

std::span<char, kMaxPendingName + 1> pending_name() noexcept { return pending_file; }

void mark_pending(bool marked) noexcept { pending.store(marked); }

bool is_pending() noexcept { return pending.load(); }

WriteWatch* watch_compressed_stream(std::FILE* stream) noexcept {
  const int fd = platform::descriptor_of(stream);
  if (watched_descriptor.load() != fd) {
    watched_descriptor.store(-1);
    stream_watch.reset();
    watched_descriptor.store(fd);
  }
  return &stream_watch;
}

void stop_watching_stream() noexcept { watched_descriptor.store(-1); }

}  // namespace tarvix::tvx
