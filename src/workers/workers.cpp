// Worker threads on the platform's own primitives: POSIX threads, or the
// Windows thread, lock and condition-variable calls. Neither needs the C++
// runtime library, so a program that uses the pool loads no more than libc.
#include <tarvix/workers.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>

#include <csignal>
#endif

#include "c_object.h"

namespace {

// A worker codes one block at a time; the encoder's hash table is its
// largest local. A fixed stack keeps the pool's memory the same whatever the
// process's stack limit.
constexpr std::size_t kWorkerStackSize = std::size_t{256} * 1024;

#ifdef _WIN32

// No fork() here: the process that made a pool is the only one it sees.
std::uint64_t forks_seen() noexcept { return 0; }

struct Platform {
  SRWLOCK mutex = SRWLOCK_INIT;
  CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;       // a batch came, or the pool ends
  CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;       // the last worker left a batch
  CONDITION_VARIABLE turn_free = CONDITION_VARIABLE_INIT;  // the batch in turn ended
  HANDLE handles[TARVIX_MAX_THREADS - 1] = {};

  void lock() noexcept { AcquireSRWLockExclusive(&mutex); }
  void unlock() noexcept { ReleaseSRWLockExclusive(&mutex); }
  void wait(CONDITION_VARIABLE& condition) noexcept {
    SleepConditionVariableSRW(&condition, &mutex, INFINITE, 0);
  }
  static void notify_all(CONDITION_VARIABLE& condition) noexcept {
    WakeAllConditionVariable(&condition);
  }
  static void notify_one(CONDITION_VARIABLE& condition) noexcept {
    WakeConditionVariable(&condition);
  }
  bool start(unsigned index, void* pool) noexcept {
    handles[index] = CreateThread(nullptr, kWorkerStackSize, thread_main, pool,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    return handles[index] != nullptr;
  }
  void join(unsigned index) noexcept {
    WaitForSingleObject(handles[index], INFINITE);
    CloseHandle(handles[index]);
  }

 private:
  static DWORD WINAPI thread_main(void* pool) noexcept;
};

#else

// The forks this process descends from, counted in each child by a handler
// that pthread_atfork() runs there before fork() returns. A pool made in an
// ancestor sees a count other than its own.
std::atomic<std::uint64_t> forks{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
extern "C" void count_fork() { forks.fetch_add(1, std::memory_order_relaxed); }
extern "C" void watch_forks() { (void)pthread_atfork(nullptr, nullptr, count_fork); }
pthread_once_t forks_watched = PTHREAD_ONCE_INIT;

std::uint64_t forks_seen() noexcept {
  (void)pthread_once(&forks_watched, watch_forks);
  return forks.load(std::memory_order_acquire);
}

struct Platform {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake = PTHREAD_COND_INITIALIZER;       // a batch came, or the pool ends
  pthread_cond_t done = PTHREAD_COND_INITIALIZER;       // the last worker left a batch
  pthread_cond_t turn_free = PTHREAD_COND_INITIALIZER;  // the batch in turn ended
  pthread_t handles[TARVIX_MAX_THREADS - 1] = {};

  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  Platform(Platform&&) = delete;
  Platform& operator=(Platform&&) = delete;
  ~Platform() {
    (void)pthread_cond_destroy(&turn_free);
    (void)pthread_cond_destroy(&done);
    (void)pthread_cond_destroy(&wake);
    (void)pthread_mutex_destroy(&mutex);
  }

  void lock() noexcept { (void)pthread_mutex_lock(&mutex); }
  void unlock() noexcept { (void)pthread_mutex_unlock(&mutex); }
  void wait(pthread_cond_t& condition) noexcept { (void)pthread_cond_wait(&condition, &mutex); }
  static void notify_all(pthread_cond_t& condition) noexcept {
    (void)pthread_cond_broadcast(&condition);
  }
  static void notify_one(pthread_cond_t& condition) noexcept {
    (void)pthread_cond_signal(&condition);
  }
  // A worker takes no signal: it starts with every signal blocked, so that
  // the process's signals go to the caller's threads, whose handlers may
  // rely on which thread runs them.
  bool start(unsigned index, void* pool) noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
      return false;
    }
    (void)pthread_attr_setstacksize(&attributes, kWorkerStackSize);
    sigset_t all;
    sigset_t before;
    (void)sigfillset(&all);
    (void)pthread_sigmask(SIG_SETMASK, &all, &before);
    const bool started = pthread_create(&handles[index], &attributes, thread_main, pool) == 0;
    (void)pthread_sigmask(SIG_SETMASK, &before, nullptr);
    (void)pthread_attr_destroy(&attributes);
    return started;
  }
  void join(unsigned index) noexcept { (void)pthread_join(handles[index], nullptr); }

 private:
  static void* thread_main(void* pool) noexcept;
};

#endif

}  // namespace

// The pool. Its fields are the batch in turn's, written by the thread whose
// turn it is; the workers read them after the batch is handed out under the
// mutex.
struct tarvix_workers {  // NOLINT(readability-identifier-naming): the C name
  explicit tarvix_workers(unsigned threads) noexcept
      : threads_(std::clamp(threads, 1U, unsigned{TARVIX_MAX_THREADS})), forks_(forks_seen()) {}
  ~tarvix_workers();
  tarvix_workers(const tarvix_workers&) = delete;
  tarvix_workers& operator=(const tarvix_workers&) = delete;
  tarvix_workers(tarvix_workers&&) = delete;
  tarvix_workers& operator=(tarvix_workers&&) = delete;

  unsigned threads() const noexcept { return threads_; }
  void run(std::size_t count, tarvix_task task, void* context) noexcept;
  void start(std::size_t count, tarvix_task task, void* context) noexcept;
  void wait() noexcept;

  // The loop of one worker thread, which the platform's thread entry calls.
  static void work(void* pool) noexcept;

 private:
  // In a child process the parent's workers do not exist, and the parent's
  // locks may have been held at the fork: the pool starts again from the
  // state of a new one that runs every batch on the calling thread. It
  // starts no worker there: a child of a process with threads may rely on
  // little more than async-signal-safe calls until it execs, and its own
  // new pools are its own choice. The parent's threads are not the child's
  // to join. One thread of the child does it; others wait for it.
  void adopt_process() noexcept;
  void take_turn() noexcept;
  void end_turn() noexcept;
  void start_workers() noexcept;
  void take_tasks() noexcept;

  const unsigned threads_;
  Platform platform_;
  // forks_seen() of the process whose pool this is; kAdopting while a
  // thread of a child makes it the child's.
  static constexpr std::uint64_t kAdopting = UINT64_MAX;
  std::atomic<std::uint64_t> forks_;
  unsigned started_ = 0;  // workers running
  bool workers_tried_ = false;
  bool turn_taken_ = false;  // under the mutex: a batch holds the pool

  // The batch in turn.
  bool batch_open_ = false;  // started, not yet waited for
  tarvix_task task_ = nullptr;
  void* context_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};    // the next task index to take
  std::uint64_t generation_ = 0;        // batches handed out so far
  std::uint64_t first_generation_ = 0;  // batches handed out before the workers started
  unsigned busy_ = 0;                   // workers not yet done with this batch
  bool handed_out_ = false;             // the batch went to the workers
  bool stopping_ = false;
};

#ifdef _WIN32
DWORD WINAPI Platform::thread_main(void* pool) noexcept {
  tarvix_workers::work(pool);
  return 0;
}
#else
void* Platform::thread_main(void* pool) noexcept {
  tarvix_workers::work(pool);
  return nullptr;
}
#endif

tarvix_workers::~tarvix_workers() {
  adopt_process();
  // A batch still out is finished first: its tasks may touch what the
  // caller is about to free.
  if (batch_open_) {
    wait();
  }
  platform_.lock();
  stopping_ = true;
  platform_.unlock();
  Platform::notify_all(platform_.wake);
  for (unsigned i = 0; i < started_; ++i) {
    platform_.join(i);
  }
}

void tarvix_workers::adopt_process() noexcept {
  const std::uint64_t now = forks_seen();
  std::uint64_t seen = forks_.load(std::memory_order_acquire);
  while (seen != now) {
    if (seen != kAdopting &&
        forks_.compare_exchange_weak(seen, kAdopting, std::memory_order_acquire)) {
      // The old Platform is not destroyed: its mutex may be locked for good.
      new (&platform_) Platform;
      started_ = 0;
      workers_tried_ = true;
      turn_taken_ = false;
      batch_open_ = false;
      generation_ = 0;
      first_generation_ = 0;
      busy_ = 0;
      handed_out_ = false;
      forks_.store(now, std::memory_order_release);
      return;
    }
#ifndef _WIN32
    (void)sched_yield();
#endif
    seen = forks_.load(std::memory_order_acquire);
  }
}

void tarvix_workers::take_turn() noexcept {
  platform_.lock();
  while (turn_taken_) {
    platform_.wait(platform_.turn_free);
  }
  turn_taken_ = true;
  platform_.unlock();
}

void tarvix_workers::end_turn() noexcept {
  platform_.lock();
  turn_taken_ = false;
  platform_.unlock();
  Platform::notify_one(platform_.turn_free);
}

void tarvix_workers::start_workers() noexcept {
  workers_tried_ = true;
  // A worker may first take the lock after the batch that started it has
  // been handed out: it counts batches from here, not from what it sees.
  first_generation_ = generation_;
  while (started_ + 1 < threads_ && platform_.start(started_, this)) {
    ++started_;
  }
}

namespace {

// Makes every call of a batch on the calling thread, touching no pool.
void run_here(std::size_t count, tarvix_task task, void* context) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    task(context, i);
  }
}

}  // namespace

void tarvix_workers::run(std::size_t count, tarvix_task task, void* context) noexcept {
  if (count <= 1 || threads_ == 1) {
    run_here(count, task, context);
    return;
  }
  start(count, task, context);
  wait();
}

void tarvix_workers::start(std::size_t count, tarvix_task task, void* context) noexcept {
  adopt_process();
  take_turn();
  if (!workers_tried_ && threads_ > 1) {
    start_workers();
  }
  batch_open_ = true;
  // No worker looks at the batch until it is handed out, under the mutex.
  task_ = task;
  context_ = context;
  count_ = count;
  next_.store(0, std::memory_order_relaxed);
  handed_out_ = started_ != 0 && count != 0;
  if (!handed_out_) {
    return;
  }
  platform_.lock();
  busy_ = started_;
  ++generation_;
  platform_.unlock();
  Platform::notify_all(platform_.wake);
}

void tarvix_workers::wait() noexcept {
  if (!batch_open_) {
    return;
  }
  take_tasks();
  if (handed_out_) {
    // Every worker leaves the batch before the next one is handed out, so no
    // worker can miss a batch or see two at once.
    platform_.lock();
    while (busy_ != 0) {
      platform_.wait(platform_.done);
    }
    platform_.unlock();
    handed_out_ = false;
  }
  batch_open_ = false;
  end_turn();
}

void tarvix_workers::take_tasks() noexcept {
  for (std::size_t i = next_.fetch_add(1, std::memory_order_relaxed); i < count_;
       i = next_.fetch_add(1, std::memory_order_relaxed)) {
    task_(context_, i);
  }
}

void tarvix_workers::work(void* pool_memory) noexcept {
  tarvix_workers& pool = *static_cast<tarvix_workers*>(pool_memory);
  Platform& p = pool.platform_;
  p.lock();
  std::uint64_t seen = pool.first_generation_;
  for (;;) {
    while (pool.generation_ == seen && !pool.stopping_) {
      p.wait(p.wake);
    }
    if (pool.stopping_) {
      p.unlock();
      return;
    }
    seen = pool.generation_;
    p.unlock();
    pool.take_tasks();
    p.lock();
    if (--pool.busy_ == 0) {
      Platform::notify_one(p.done);
    }
  }
}

extern "C" {

tarvix_workers* tarvix_workers_create(unsigned threads) {
  return tarvix::detail::make_c_object<tarvix_workers>(threads);
}

void tarvix_workers_free(tarvix_workers* workers) { tarvix::detail::free_c_object(workers); }

unsigned tarvix_workers_threads(const tarvix_workers* workers) {
  return workers == nullptr ? 1 : workers->threads();
}

void tarvix_workers_run(tarvix_workers* workers, size_t count, tarvix_task task, void* context) {
  if (workers == nullptr) {
    run_here(count, task, context);
    return;
  }
  workers->run(count, task, context);
}

void tarvix_workers_start(tarvix_workers* workers, size_t count, tarvix_task task, void* context) {
  if (workers == nullptr) {
    run_here(count, task, context);
    return;
  }
  workers->start(count, task, context);
}

void tarvix_workers_wait(tarvix_workers* workers) {
  if (workers != nullptr) {
    workers->wait();
  }
}

}  // extern "C"
