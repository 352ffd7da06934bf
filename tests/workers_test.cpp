// Tests of the pool of worker threads: every task once, waiting, a pool that
// goes with a batch out, two callers at once, and a pool used after fork().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include <tarvix/workers.h>

// Neither ThreadSanitizer nor qemu's user-mode emulation can follow the
// threads a child starts after a fork of a process with threads: the fork
// test runs in every other build (TARVIX_EMULATED marks a cross build).
#if (defined(__unix__) || defined(__APPLE__)) && !defined(__SANITIZE_THREAD__) && \
    !defined(TARVIX_EMULATED)
#define TARVIX_TEST_FORK 1
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tarvix {
namespace {

// A batch that counts each call of each index, slowly enough now and then
// for the other threads to take part.
struct Counting {
  explicit Counting(std::size_t count) : calls(count) {}
  void operator()(std::size_t index) noexcept {
    if (index % 16 == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    calls[index].fetch_add(1, std::memory_order_relaxed);
  }
  bool each_once() const {
    for (const auto& call : calls) {
      if (call.load() != 1) {
        return false;
      }
    }
    return true;
  }
  std::vector<std::atomic<int>> calls;
};

TEST(Workers, CallsEveryTaskOnceAndWaitsForAll) {
  for (const unsigned threads : {1U, 2U, 7U}) {
    Workers pool(threads);
    EXPECT_EQ(pool.threads(), threads);
    for (const std::size_t count : {0U, 1U, 2U, 5U, 300U}) {
      SCOPED_TRACE(::testing::Message() << threads << " threads, " << count << " tasks");
      Counting together(count);
      pool.for_each(count, together);
      EXPECT_TRUE(together.each_once());

      // start() returns at once; the caller's own work comes between.
      Counting apart(count);
      pool.start(count, apart);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      pool.wait();
      EXPECT_TRUE(apart.each_once());
    }
  }
  EXPECT_EQ(Workers(0).threads(), 1U);
  EXPECT_EQ(Workers(1000).threads(), Workers::kMaxThreads);
}

TEST(Workers, APoolGoingWithABatchOutFinishesItFirst) {
  Counting batch(100);
  {
    Workers pool(3);
    pool.start(batch.calls.size(), batch);
  }
  EXPECT_TRUE(batch.each_once());
}

TEST(Workers, TwoCallersAtOnceTakeTurns) {
  Workers pool(3);
  auto caller = [&pool](bool& sound) {
    for (int round = 0; round < 200; ++round) {
      Counting batch(40);
      if (round % 2 == 0) {
        pool.for_each(batch.calls.size(), batch);
      } else {
        pool.start(batch.calls.size(), batch);
        pool.wait();
      }
      sound = sound && batch.each_once();
    }
  };
  bool first_sound = true;
  bool second_sound = true;
  std::thread first(caller, std::ref(first_sound));
  std::thread second(caller, std::ref(second_sound));
  first.join();
  second.join();
  EXPECT_TRUE(first_sound);
  EXPECT_TRUE(second_sound);
}

#ifdef TARVIX_TEST_FORK
// A batch that also notes whether any call ran off the thread that made it.
struct CountingHere : Counting {
  using Counting::Counting;
  void operator()(std::size_t index) noexcept {
    Counting::operator()(index);
    if (std::this_thread::get_id() != caller) {
      elsewhere = true;
    }
  }
  bool each_once_here() const { return each_once() && !elsewhere; }
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> elsewhere{false};
};

// Forks while `pool` may be in any state, and checks that the child can run
// batches on it, on its one thread, as the parent goes on.
void fork_and_use(Workers& pool) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(60);  // a child that hangs fails, rather than the whole test
    CountingHere together(64);
    pool.for_each(together.calls.size(), together);
    CountingHere waited(64);
    pool.start(waited.calls.size(), waited);
    pool.wait();
    _exit(together.each_once_here() && waited.each_once_here() ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

TEST(Workers, APoolWorksInAForkedChildAndGoesOnInTheParent) {
  // Its workers started before the fork.
  Workers pool(3);
  Counting before(64);
  pool.for_each(before.calls.size(), before);
  fork_and_use(pool);
  Counting after(64);
  pool.for_each(after.calls.size(), after);
  EXPECT_TRUE(before.each_once() && after.each_once());

  // Another thread runs the first batches of new pools, starting their
  // workers, as the forks come.
  for (int round = 0; round < 20; ++round) {
    Workers fresh(Workers::kMaxThreads);
    bool sound = true;
    std::atomic<bool> going{false};
    std::thread other([&fresh, &sound, &going] {
      for (int batch = 0; batch < 5; ++batch) {
        Counting counting(32);
        going = true;
        fresh.for_each(counting.calls.size(), counting);
        sound = sound && counting.each_once();
      }
    });
    while (!going) {
    }
    fork_and_use(fresh);
    other.join();
    EXPECT_TRUE(sound);
  }
}
#endif

TEST(Workers, NoPoolRunsEveryTaskOnTheCallingThread) {
  Counting batch(10);
  auto task = [](void* context, std::size_t index) { (*static_cast<Counting*>(context))(index); };
  tarvix_workers_start(nullptr, batch.calls.size(), task, &batch);
  EXPECT_TRUE(batch.each_once());
  tarvix_workers_wait(nullptr);
  EXPECT_EQ(tarvix_workers_threads(nullptr), 1U);
}

}  // namespace
}  // namespace tarvix
