// A pool of worker threads that code many blocks at once: the one part of the
// library that starts threads (and so allocates their stacks).
#ifndef TARVIX_WORKERS_H
#define TARVIX_WORKERS_H

// The C++ interface needs C++20; C programs include <tarvix/tarvix.h>.
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "<tarvix/workers.h> needs C++20 (for example -std=c++20)"
#else

#include <tarvix/export.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarvix {

// Workers runs the tasks of one batch on up to threads() threads: the
// calling thread and threads() - 1 workers. The workers start when the first
// batch that needs them comes, so a pool that only ever sees single tasks
// starts no thread at all; the destructor joins every worker it started.
// Waiting is blocking, never spinning. If the system refuses a worker, the
// pool goes on with the ones it has, down to the calling thread alone.
//
// A pool serves one batch at a time, from one thread at a time, and must
// outlive every coder that uses it.
class Workers {
 public:
  // The most threads one pool runs.
  static constexpr unsigned kMaxThreads = 64;

  // `threads` is clamped to 1..kMaxThreads; 1 is the calling thread alone.
  TARVIX_EXPORT explicit Workers(unsigned threads) noexcept;
  TARVIX_EXPORT ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  unsigned threads() const noexcept { return threads_; }

  // for_each() calls task(i) once for each i from 0 to count - 1, spread over
  // the pool's threads and the calling thread, and returns when every call has
  // returned. The calls must not throw, and must not touch each other's data.
  template <typename Task>
  void for_each(std::size_t count, Task& task) noexcept {
    begin(count, &invoke<Task>, &task, count > 1);
    wait();
  }

  // start() hands the calls task(0) to task(count - 1) to the workers and
  // returns at once; wait() then makes the calls that no worker has taken
  // yet and returns when every call has returned. In between, the calling
  // thread may do other work, but not use the pool, and `task` must live on.
  // With no worker (threads() == 1), every call is made in wait().
  template <typename Task>
  void start(std::size_t count, Task& task) noexcept {
    begin(count, &invoke<Task>, &task, true);
  }
  TARVIX_EXPORT void wait() noexcept;

 private:
  using Call = void (*)(void* context, std::size_t index) noexcept;
  template <typename Task>
  static void invoke(void* task, std::size_t index) noexcept {
    (*static_cast<Task*>(task))(index);
  }

  // Sets up a batch, and hands it to the workers when `hand_out` is set.
  TARVIX_EXPORT void begin(std::size_t count, Call call, void* context, bool hand_out) noexcept;
  void start_workers() noexcept;
  void work() noexcept;  // the loop of one worker thread
  void take_tasks() noexcept;

  struct Platform;  // the mutex, the two condition variables, the thread handles
  Platform& platform() noexcept;

  unsigned threads_;
  unsigned started_ = 0;  // workers running
  bool workers_tried_ = false;

  // The batch in progress; written under the mutex before the workers wake.
  Call call_ = nullptr;
  void* context_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};    // the next task index to take
  std::uint64_t generation_ = 0;        // batches handed out so far
  std::uint64_t first_generation_ = 0;  // batches handed out before the workers started
  unsigned busy_ = 0;                   // workers not yet done with this batch
  bool handed_out_ = false;             // the batch went to the workers
  bool stopping_ = false;

  // Room for Platform, which holds platform types that stay out of this header.
  alignas(16) unsigned char platform_storage_[1024]{};
};

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_WORKERS_H
