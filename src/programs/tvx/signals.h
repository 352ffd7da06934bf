// tvx's signal handling: the one place that a handler of SIGINT, SIGTERM or
// SIGHUP reaches, to remove the pending temporary file and to mark a cut
// compressed stream, and the signals a run raises itself.
#ifndef TARVIX_PROGRAMS_TVX_SIGNALS_H
#define TARVIX_PROGRAMS_TVX_SIGNALS_H

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <span>

#include "pipeline.h"

namespace tarvix::tvx {

// The longest name of a pending temporary file, in bytes.
inline constexpr std::size_t kMaxPendingName = 4096;

// handle_signals() sets the handlers of SIGINT, SIGTERM and SIGHUP (on
// Windows SIGINT, SIGTERM and SIGBREAK), but of a signal that was ignored
// when tvx started (nohup, a background job): a handler removes the pending
// temporary file, ends a watched stream (below), and raises the signal again
// with its default action, which ends the process as it would have without
// tvx.
void handle_signals() noexcept;

// HeldSignals holds off those signals on this thread, the only one that
// takes them (the pools' workers block every signal), while it lives: while
// a temporary file and the mark that names it to the handler change
// together.
class HeldSignals {
 public:
  HeldSignals() noexcept;
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  HeldSignals(HeldSignals&&) = delete;
  HeldSignals& operator=(HeldSignals&&) = delete;

 private:
#ifndef _WIN32
  sigset_t before_{};  // the mask before
#endif
};

// The one pending temporary file that a handler removes: its name, written
// into pending_name() while none is pending, then marked pending. Change the
// mark under HeldSignals, together with the file it names.
std::span<char, kMaxPendingName + 1> pending_name() noexcept;
void mark_pending(bool marked) noexcept;
bool is_pending() noexcept;

// watch_compressed_stream() names `stream`, to which compressed data goes
// straight (standard output), to the handlers: a signal that comes while no
// write to it is under way ends it, after its last whole write, with a
// length field of 0, so that no reader restores the cut stream as sound; one
// that comes during a write leaves it cut there. Give the pipelines that
// write it the watch it returns, the same for the same stream;
// stop_watching_stream() ends the watch.
WriteWatch* watch_compressed_stream(std::FILE* stream) noexcept;
void stop_watching_stream() noexcept;

// raise_broken_pipe() raises SIGPIPE on the calling thread, which ends the
// process unless the signal is ignored or blocked there (or, on Windows,
// does nothing).
void raise_broken_pipe() noexcept;

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_SIGNALS_H
