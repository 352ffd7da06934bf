/* A pool of worker threads that code many blocks at once: the one part of the
 * library that starts threads (and so allocates their stacks). In C, an
 * opaque tarvix_workers; in C++20, tarvix::Workers over it.
 *
 * A pool runs the tasks of one batch on up to its thread count: the calling
 * thread and threads - 1 workers. The workers start when the first batch that
 * needs them comes, so a pool that only ever sees single tasks starts no
 * thread at all. Waiting is blocking, never spinning. If the system refuses a
 * worker, the pool goes on with the ones it has, down to the calling thread
 * alone.
 *
 * Sharing. One pool may serve several coders, and several threads: their
 * batches take turns, each one running on all of the pool's threads while the
 * others wait for it to end. A batch that runs on the calling thread alone
 * (tarvix_workers_run() of one task, or a pool of one thread) takes no turn.
 * A task must not start a batch of its own on the pool that runs it.
 *
 * fork(). A pool notices, at the next batch, that it is in a new process
 * that has none of the parent's threads: there it runs every batch on the
 * calling thread, starting no thread in a child that POSIX allows little more
 * than async-signal-safe calls until it execs, and the parent's pool goes on
 * as before. A pool made in the child is the child's own and starts workers
 * as usual. (A handler that pthread_atfork() runs in each child counts the
 * forks; a pool compares the count with the one it was made or last used
 * in.) Fork between batches; a batch started but not yet waited for stays
 * the parent's.
 *
 * Signals. The workers block every signal, so that the process's signals go
 * to the caller's own threads.
 *
 * A pool must outlive every coder that uses it. */
#ifndef TARVIX_WORKERS_H
#define TARVIX_WORKERS_H

/* The C interface is C, whose headers, typedefs, (void) and names the C++
 * checks would have it give up:
 * NOLINTBEGIN(modernize-deprecated-headers,modernize-use-using,modernize-redundant-void-arg,readability-identifier-naming)
 */
#include <stddef.h>

#include <tarvix/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The most threads one pool runs. */
#define TARVIX_MAX_THREADS 64

/* The most threads that the programs and the Python module choose by
 * themselves, however many cores the process may use: past this, coding
 * waits on reading and writing, not on the cores. <tarvix/cores.h> counts
 * the cores. */
#define TARVIX_MAX_AUTOMATIC_THREADS 16

/* An opaque pool of worker threads. */
typedef struct tarvix_workers tarvix_workers;

/* A task of a batch, called once with each index from 0 to count - 1 and the
 * batch's context. The calls run on several threads at once: they must not
 * touch each other's data, and must return (a C++ task must not throw). */
typedef void (*tarvix_task)(void* context, size_t index);

/* tarvix_workers_create() returns a new pool of `threads` threads (the calling
 * thread and threads - 1 workers, started when a batch first needs them), or
 * NULL when memory runs out. 0 and 1 mean the calling thread alone; counts
 * above TARVIX_MAX_THREADS are taken as TARVIX_MAX_THREADS. Free it with
 * tarvix_workers_free(). */
TARVIX_EXPORT tarvix_workers* tarvix_workers_create(unsigned threads);

/* tarvix_workers_free() waits for a batch still out, joins the workers and
 * frees the pool; NULL is allowed and ignored. */
TARVIX_EXPORT void tarvix_workers_free(tarvix_workers* workers);

/* tarvix_workers_threads() returns the pool's thread count, 1 to
 * TARVIX_MAX_THREADS (1 for NULL). */
TARVIX_EXPORT unsigned tarvix_workers_threads(const tarvix_workers* workers);

/* tarvix_workers_run() calls task(context, i) for each i from 0 to count - 1,
 * spread over the pool's threads and the calling thread, and returns when
 * every call has returned. With NULL for the pool, every call is made on the
 * calling thread. */
TARVIX_EXPORT void tarvix_workers_run(tarvix_workers* workers, size_t count, tarvix_task task,
                                      void* context);

/* tarvix_workers_start() hands the calls of a batch to the workers and
 * returns at once; tarvix_workers_wait(), from the same thread, then makes
 * the calls that no worker has taken yet and returns when every call has
 * returned. In between, the calling thread may do other work, but not start
 * another batch on the pool, and `context` must live on. With one thread,
 * every call is made in tarvix_workers_wait(); with NULL for the pool, in
 * tarvix_workers_start(). */
TARVIX_EXPORT void tarvix_workers_start(tarvix_workers* workers, size_t count, tarvix_task task,
                                        void* context);
TARVIX_EXPORT void tarvix_workers_wait(tarvix_workers* workers);

#ifdef __cplusplus
}  // extern "C"
#endif

/* NOLINTEND(modernize-deprecated-headers,modernize-use-using,modernize-redundant-void-arg,readability-identifier-naming)
 */
// The C++ interface, for C++20: a handle over the C pool, with nothing of the
// pool's layout in it.
#if defined(__cplusplus) && \
    (__cplusplus >= 202002L || (defined(_MSVC_LANG) && _MSVC_LANG >= 202002L))

#include <cstddef>

namespace tarvix {

// Workers owns a tarvix_workers pool; its functions are those above. If the
// pool cannot be made (memory ran out), every batch runs on the calling
// thread and threads() is 1.
class Workers {
 public:
  // The most threads one pool runs.
  static constexpr unsigned kMaxThreads = TARVIX_MAX_THREADS;

  // `threads` is clamped to 1..kMaxThreads; 1 is the calling thread alone.
  explicit Workers(unsigned threads) noexcept : pool_(tarvix_workers_create(threads)) {}
  ~Workers() { tarvix_workers_free(pool_); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  Workers(Workers&&) = delete;
  Workers& operator=(Workers&&) = delete;

  unsigned threads() const noexcept { return tarvix_workers_threads(pool_); }

  // for_each() calls task(i) once for each i from 0 to count - 1, spread over
  // the pool's threads and the calling thread, and returns when every call has
  // returned. The calls must not throw, and must not touch each other's data.
  template <typename Task>
  void for_each(std::size_t count, Task& task) noexcept {
    tarvix_workers_run(pool_, count, &invoke<Task>, &task);
  }

  // start() hands the calls task(0) to task(count - 1) to the workers and
  // returns at once; wait(), on the same thread, then makes the calls that no
  // worker has taken yet and returns when every call has returned. In
  // between, the calling thread may do other work, but not start another
  // batch on the pool, and `task` must live on. With no worker
  // (threads() == 1), every call is made in wait().
  template <typename Task>
  void start(std::size_t count, Task& task) noexcept {
    tarvix_workers_start(pool_, count, &invoke<Task>, &task);
  }
  void wait() noexcept { tarvix_workers_wait(pool_); }

  // The C pool, for tarvix_compressor_create_on() and the like.
  tarvix_workers* c_pool() const noexcept { return pool_; }

 private:
  template <typename Task>
  static void invoke(void* task, std::size_t index) noexcept {
    (*static_cast<Task*>(task))(index);
  }

  tarvix_workers* pool_;
};

}  // namespace tarvix

#endif  // C++20
#endif  // TARVIX_WORKERS_H
