/* The parts that every coder object of tarvix._tarvix uses: its lock, memory
 * of its own, the caller's buffers, the thread count, the errors, and the
 * coding loops over the library's C interface. */
#include "_tarvix.h"

#include <assert.h>
#include <string.h>

#include <tarvix/cores.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

/* ------------------------------------------------------------------------ */
/* Locks */

static int object_lock_init(ObjectLock* lock) {
  lock->lock = PyThread_allocate_lock();
  lock->owner = 0;
  if (lock->lock == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

int object_lock_enter(ObjectLock* lock) {
  const unsigned long self = PyThread_get_thread_ident();
  if (!PyThread_acquire_lock(lock->lock, NOWAIT_LOCK)) {
    if (lock->owner == self) {
      PyErr_SetString(PyExc_RuntimeError, "tarvix: a call into a coder from inside a call into it");
      return -1;
    }
    Py_BEGIN_ALLOW_THREADS;
    PyThread_acquire_lock(lock->lock, WAIT_LOCK);
    Py_END_ALLOW_THREADS;
  }
  lock->owner = self;
  return 0;
}

void object_lock_leave(ObjectLock* lock) {
  lock->owner = 0;
  PyThread_release_lock(lock->lock);
}

static void object_lock_free(ObjectLock* lock) {
  if (lock->lock != NULL) {
    PyThread_free_lock(lock->lock);
    lock->lock = NULL;
  }
}

/* ------------------------------------------------------------------------ */
/* Areas */

int area_reserve(Area* area, size_t capacity) {
  if (capacity <= area->capacity) {
    return 0;
  }
  unsigned char* const data = PyMem_Realloc(area->data, capacity);
  if (data == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  area->data = data;
  area->capacity = capacity;
  return 0;
}

void area_free(Area* area) {
  PyMem_Free(area->data);
  area->data = NULL;
  area->capacity = 0;
}

/* ------------------------------------------------------------------------ */
/* The caller's objects */

/* A buffer that is not contiguous is refused as a TypeError, as before the
 * module had a C core; others keep their own error (str: TypeError). */
static int get_buffer(PyObject* object, Py_buffer* view, int flags) {
  if (PyObject_GetBuffer(object, view, flags) == 0) {
    return 0;
  }
  if (PyErr_ExceptionMatches(PyExc_BufferError)) {
    PyErr_SetString(PyExc_TypeError, "tarvix: a bytes-like object must be contiguous");
  }
  return -1;
}

int get_input(PyObject* object, Py_buffer* view) { return get_buffer(object, view, PyBUF_SIMPLE); }

int get_output(PyObject* object, Py_buffer* view) {
  return get_buffer(object, view, PyBUF_WRITABLE);
}

int thread_count(PyObject* threads, unsigned* count) {
  long value = 0;
  if (threads != NULL) {
    if (!PyLong_Check(threads) || PyBool_Check(threads)) {
      PyObject* const name = PyObject_GetAttrString((PyObject*)Py_TYPE(threads), "__name__");
      if (name != NULL) {
        PyErr_Format(PyExc_TypeError, "tarvix: threads must be an int, not %U", name);
        Py_DECREF(name);
      }
      return -1;
    }
    int overflow = 0;
    value = PyLong_AsLongAndOverflow(threads, &overflow);
    if (value == -1 && PyErr_Occurred()) {
      return -1;
    }
    if (overflow != 0 || value < 0 || value > TARVIX_MAX_THREADS) {
      PyErr_Format(PyExc_ValueError, "tarvix: threads must be 0 to %d, not %R", TARVIX_MAX_THREADS,
                   threads);
      return -1;
    }
  }
  if (value != 0) {
    *count = (unsigned)value;
    return 0;
  }
  *count = tarvix_automatic_threads();
  return 0;
}

/* The error classes are Python's (tarvix/_errors.py), which imports this
 * module: they are looked up when a fault is raised. */
PyObject* raise_fault(tarvix_status status, PyObject* restored) {
  PyObject* const errors = PyImport_ImportModule("tarvix._errors");
  if (errors == NULL) {
    return NULL;
  }
  PyObject* const error = PyObject_CallMethod(errors, "make_error", "(iO)", (int)status,
                                              restored != NULL ? restored : Py_None);
  Py_DECREF(errors);
  if (error != NULL) {
    PyErr_SetObject((PyObject*)Py_TYPE(error), error);
    Py_DECREF(error);
  }
  return NULL;
}

PyObject* restoring_outcome(tarvix_status status, PyObject* restored) {
  if (restored != NULL && status != TARVIX_OK) {
    raise_fault(status, restored);
    Py_CLEAR(restored);
  }
  return restored;
}

/* ------------------------------------------------------------------------ */
/* Coding */

size_t compress_room(size_t size) {
  const size_t blocks = size / TARVIX_MAX_BLOCK_SIZE + 2;
  if (blocks > (SIZE_MAX - 4) / TVX_STRAIGHT_ROOM) {
    return SIZE_MAX;
  }
  return 4 + blocks * TVX_STRAIGHT_ROOM;
}

size_t compress_all(tarvix_compressor* compressor, const void* source, size_t size, int end,
                    unsigned char* out) {
  const size_t room = compress_room(size);
  size_t used = 0;
  size_t written = 0;
  size_t ending = 0;
  size_t held = 0;
  Py_BEGIN_ALLOW_THREADS;
  (void)tarvix_compressor_compress(compressor, source, size, &used, out, room, &written);
  if (end) {
    (void)tarvix_compressor_end(compressor, out + written, room - written, &ending, &held);
  }
  Py_END_ALLOW_THREADS;
  /* The room holds every block straight: all is taken, nothing held. */
  assert(used == size && held == 0);
  (void)used;
  (void)held;
  return written + ending;
}

/* Memory of many MiB fresh from the system is mapped a page at a time as it
 * is first written: a 64 MiB area costs 16,384 page faults, a tenth of the
 * time of coding into it. Where the kernel gives huge pages on request
 * (Linux's transparent huge pages, "madvise"), 2 MiB pages are 512 times
 * fewer faults. */
void ask_for_huge_pages(void* data, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t huge = (uintptr_t)2 << 20;
  const uintptr_t begin = ((uintptr_t)data + huge - 1) & ~(huge - 1);
  const uintptr_t end = ((uintptr_t)data + size) & ~(huge - 1);
  if (end > begin) {
    (void)madvise((void*)begin, end - begin, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)size;
#endif
}

const unsigned char tvx_magic[TVX_MAGIC_SIZE] = {0xD8, 0xC7, 0xB6, 0xA5};

PyObject* compress_to_bytes(tarvix_compressor* compressor, const void* source, size_t size, int end,
                            size_t skip) {
  Area area = {NULL, 0};
  const size_t room = compress_room(size);
  if (room == SIZE_MAX || area_reserve(&area, room) < 0) {
    return PyErr_NoMemory();
  }
  ask_for_huge_pages(area.data, room);
  const size_t written = compress_all(compressor, source, size, end, area.data);
  assert(skip <= written);
  /* The exact size is known only now: one copy of the compressed bytes. */
  PyObject* const result = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)(written - skip));
  if (result != NULL) {
    char* const bytes = PyBytes_AsString(result);
    ask_for_huge_pages(bytes, written - skip);
    memcpy(bytes, area.data + skip, written - skip);
  }
  area_free(&area);
  return result;
}

static size_t smaller(size_t a, size_t b) { return a < b ? a : b; }

int restore_growing(tarvix_restorer* restorer, const unsigned char* input, size_t size,
                    size_t first, size_t limit, int end, Area* out, Restoring* done) {
  done->status = TARVIX_OK;
  done->used = 0;
  done->written = 0;
  size_t capacity = smaller(first, limit);
  for (;;) {
    /* At least a byte, so that the area has an address. */
    if (area_reserve(out, capacity != 0 ? capacity : 1) < 0) {
      return -1;
    }
    size_t used = 0;
    size_t written = 0;
    Py_BEGIN_ALLOW_THREADS;
    const unsigned char* const rest = input == NULL ? NULL : input + done->used;
    done->status =
        tarvix_restorer_restore(restorer, rest, size - done->used, &used, out->data + done->written,
                                capacity - done->written, &written);
    Py_END_ALLOW_THREADS;
    done->used += used;
    done->written += written;
    if (done->status != TARVIX_OK || done->used == size || done->written == limit) {
      break;
    }
    capacity = capacity > limit / 2 ? limit : capacity * 2;
  }
  if (!end) {
    return 0;
  }
  for (size_t held = 1; held != 0 && done->written < limit;) {
    if (area_reserve(out, smaller(done->written + TARVIX_MAX_BLOCK_SIZE, limit)) < 0) {
      return -1;
    }
    size_t written = 0;
    Py_BEGIN_ALLOW_THREADS;
    done->status = tarvix_restorer_end(restorer, out->data + done->written,
                                       out->capacity - done->written, &written, &held);
    Py_END_ALLOW_THREADS;
    done->written += written;
  }
  return 0;
}

PyObject* restored_bytes(Area* out, const Restoring* done, int failed) {
  PyObject* const restored =
      failed ? NULL : PyBytes_FromStringAndSize((const char*)out->data, (Py_ssize_t)done->written);
  area_free(out);
  return restoring_outcome(done->status, restored);
}

/* ------------------------------------------------------------------------ */
/* Objects */

TVX_SLOTS_BEGIN
CoderObject* new_coder(PyTypeObject* type) {
  const allocfunc alloc = (allocfunc)PyType_GetSlot(type, Py_tp_alloc);
  CoderObject* const coder = (CoderObject*)alloc(type, 0);
  if (coder != NULL && object_lock_init(&coder->lock) < 0) {
    Py_DECREF(coder);
    return NULL;
  }
  return coder;
}

void free_coder(CoderObject* coder) {
  PyTypeObject* const type = Py_TYPE(coder);
  object_lock_free(&coder->lock);
  const freefunc free = (freefunc)PyType_GetSlot(type, Py_tp_free);
  free(coder);
  Py_DECREF(type);
}
TVX_SLOTS_END
