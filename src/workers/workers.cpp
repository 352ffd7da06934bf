// Worker threads on the platform's own primitives: POSIX threads, or the
// Windows thread, lock and condition-variable calls. Neither needs the C++
// runtime library, so a program that uses the pool loads no more than libc.
#include <tarvix/workers.h>

#include <algorithm>
#include <cassert>
#include <new>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace tarvix {

namespace {

// A worker codes one block at a time; the encoder's hash table is its
// largest local. A fixed stack keeps the pool's memory the same whatever the
// process's stack limit.
constexpr std::size_t kWorkerStackSize = std::size_t{256} * 1024;

}  // namespace

#ifdef _WIN32

struct Workers::Platform {
  SRWLOCK mutex = SRWLOCK_INIT;
  CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;  // a batch came, or the pool ends
  CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;  // the last worker left a batch
  HANDLE handles[kMaxThreads - 1] = {};

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
  static DWORD WINAPI entry(void* pool) noexcept {
    static_cast<Workers*>(pool)->work();
    return 0;
  }
  bool start(unsigned index, Workers* pool) noexcept {
    handles[index] = CreateThread(nullptr, kWorkerStackSize, entry, pool,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    return handles[index] != nullptr;
  }
  void join(unsigned index) noexcept {
    WaitForSingleObject(handles[index], INFINITE);
    CloseHandle(handles[index]);
  }
};

#else

struct Workers::Platform {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake = PTHREAD_COND_INITIALIZER;  // a batch came, or the pool ends
  pthread_cond_t done = PTHREAD_COND_INITIALIZER;  // the last worker left a batch
  pthread_t handles[kMaxThreads - 1] = {};

  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  Platform(Platform&&) = delete;
  Platform& operator=(Platform&&) = delete;

  void lock() noexcept { (void)pthread_mutex_lock(&mutex); }
  void unlock() noexcept { (void)pthread_mutex_unlock(&mutex); }
  void wait(pthread_cond_t& condition) noexcept { (void)pthread_cond_wait(&condition, &mutex); }
  static void notify_all(pthread_cond_t& condition) noexcept {
    (void)pthread_cond_broadcast(&condition);
  }
  static void notify_one(pthread_cond_t& condition) noexcept {
    (void)pthread_cond_signal(&condition);
  }
  static void* entry(void* pool) noexcept {
    static_cast<Workers*>(pool)->work();
    return nullptr;
  }
  bool start(unsigned index, Workers* pool) noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
      return false;
    }
    (void)pthread_attr_setstacksize(&attributes, kWorkerStackSize);
    const bool started = pthread_create(&handles[index], &attributes, entry, pool) == 0;
    (void)pthread_attr_destroy(&attributes);
    return started;
  }
  void join(unsigned index) noexcept { (void)pthread_join(handles[index], nullptr); }
  ~Platform() {
    (void)pthread_cond_destroy(&done);
    (void)pthread_cond_destroy(&wake);
    (void)pthread_mutex_destroy(&mutex);
  }
};

#endif

Workers::Workers(unsigned threads) noexcept : threads_(std::clamp(threads, 1U, kMaxThreads)) {
  static_assert(sizeof(Platform) <= sizeof(platform_storage_));
  static_assert(alignof(Platform) <= 16);
  new (platform_storage_) Platform;
}

Workers::~Workers() {
  // A batch still out is finished first: its tasks may touch what the
  // caller is about to free.
  if (handed_out_) {
    wait();
  }
  Platform& p = platform();
  p.lock();
  stopping_ = true;
  p.unlock();
  Platform::notify_all(p.wake);
  for (unsigned i = 0; i < started_; ++i) {
    p.join(i);
  }
  p.~Platform();
}

Workers::Platform& Workers::platform() noexcept {
  return *std::launder(reinterpret_cast<Platform*>(platform_storage_));
}

void Workers::start_workers() noexcept {
  workers_tried_ = true;
  // A worker may first take the lock after the batch that started it has
  // been handed out: it counts batches from here, not from what it sees.
  first_generation_ = generation_;
  Platform& p = platform();
  while (started_ + 1 < threads_ && p.start(started_, this)) {
    ++started_;
  }
}

void Workers::begin(std::size_t count, Call call, void* context, bool hand_out) noexcept {
  assert(!handed_out_);
  if (hand_out && !workers_tried_ && threads_ > 1) {
    start_workers();
  }
  // No worker looks at the batch until it is handed out, under the mutex.
  call_ = call;
  context_ = context;
  count_ = count;
  next_.store(0, std::memory_order_relaxed);
  handed_out_ = hand_out && started_ != 0 && count != 0;
  if (!handed_out_) {
    return;
  }
  Platform& p = platform();
  p.lock();
  busy_ = started_;
  ++generation_;
  p.unlock();
  Platform::notify_all(p.wake);
}

void Workers::wait() noexcept {
  take_tasks();
  if (!handed_out_) {
    return;
  }
  // Every worker leaves the batch before the next one is handed out, so no
  // worker can miss a batch or see two at once.
  Platform& p = platform();
  p.lock();
  while (busy_ != 0) {
    p.wait(p.done);
  }
  p.unlock();
  handed_out_ = false;
}

void Workers::take_tasks() noexcept {
  for (std::size_t i = next_.fetch_add(1, std::memory_order_relaxed); i < count_;
       i = next_.fetch_add(1, std::memory_order_relaxed)) {
    call_(context_, i);
  }
}

void Workers::work() noexcept {
  Platform& p = platform();
  p.lock();
  std::uint64_t seen = first_generation_;
  for (;;) {
    while (generation_ == seen && !stopping_) {
      p.wait(p.wake);
    }
    if (stopping_) {
      p.unlock();
      return;
    }
    seen = generation_;
    p.unlock();
    take_tasks();
    p.lock();
    if (--busy_ == 0) {
      Platform::notify_one(p.done);
    }
  }
}

}  // namespace tarvix
