/* The cores of tarvix.TarvixFile: a Writer that compresses into a file
 * object and a Reader that restores from one. Each call moves the coder, the
 * bytes it holds and its position together, inside the call, and calls the
 * file object from here: no Python code runs, and so no KeyboardInterrupt
 * can fall, between a call of the file object and the booking of what it
 * took or gave. */
#include "_tarvix.h"

#include <errno.h>
#include <string.h>

static Py_ssize_t smaller(Py_ssize_t a, Py_ssize_t b) { return a < b ? a : b; }

/* A view of object[begin, end), which keeps the object alive. */
static PyObject* view_of(PyObject* object, Py_ssize_t begin, Py_ssize_t end) {
  PyObject* const whole = PyMemoryView_FromObject(object);
  if (whole == NULL) {
    return NULL;
  }
  PyObject* const view = PySequence_GetSlice(whole, begin, end);
  Py_DECREF(whole);
  return view;
}

/* ------------------------------------------------------------------------ */
/* Writer */

typedef struct {
  CoderObject coder;
  tarvix_compressor* compressor; /* NULL once the file is ended */
  PyObject* fp;
  PyObject* pending; /* bytes: pending[pending_begin, pending_end) is not yet written */
  Py_ssize_t pending_begin;
  Py_ssize_t pending_end;
  unsigned long long taken; /* source bytes taken: what tell() says */
  char exact;               /* fp.write() raises only having written nothing (an io.FileIO) */
  char raw;                 /* fp.write() returns None when it takes nothing now (a raw file) */
  char broken;              /* fp.write() raised having written an unknown part */
} Writer;

/* A record is at most 8195 bytes: a length field and 8193 bytes of block
 * data. Wherever the bytes that went out end, this many zero bytes after
 * them (a longest record and a length field) complete whatever record they
 * cut and then give a length field of 0, which every reader refuses; a cut
 * magic is refused too. */
enum { kRefusingTailSize = 2 + TARVIX_MAX_BLOCK_SIZE + 1 + 2 };

static PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {"fp", "threads", "exact", "raw", NULL};
  PyObject* fp = NULL;
  PyObject* threads_argument = NULL;
  int exact = 0;
  int raw = 0;
  unsigned threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Opp:Writer", keywords, &fp, &threads_argument,
                                   &exact, &raw) ||
      thread_count(threads_argument, &threads) < 0) {
    return NULL;
  }
  Writer* const self = (Writer*)new_coder(type);
  if (self == NULL) {
    return NULL;
  }
  Py_INCREF(fp);
  self->fp = fp;
  self->exact = (char)exact;
  self->raw = (char)raw;
  self->compressor = tarvix_compressor_create_threaded(threads);
  if (self->compressor == NULL) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return (PyObject*)self;
}

static int writer_traverse(Writer* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(self->fp);
  Py_VISIT(self->pending);
  return 0;
}

static int writer_clear(Writer* self) {
  Py_CLEAR(self->fp);
  Py_CLEAR(self->pending);
  return 0;
}

static void writer_dealloc(Writer* self) {
  PyObject_GC_UnTrack(self);
  (void)writer_clear(self);
  tarvix_compressor_free(self->compressor);
  free_coder(&self->coder);
}

/* Raises BlockingIOError for a file that takes nothing now; `taken` of the
 * caller's bytes were taken. */
static int takes_nothing_now(Py_ssize_t taken) {
  PyObject* const error = PyObject_CallFunction(PyExc_BlockingIOError, "(isn)", EAGAIN,
                                                "tarvix: the file takes no bytes now", taken);
  if (error != NULL) {
    PyErr_SetObject(PyExc_BlockingIOError, error);
    Py_DECREF(error);
  }
  return -1;
}

/* After fp.write() raised: a BlockingIOError says how much it took, which is
 * booked, and then how much of the caller's data was taken; an io.FileIO
 * took nothing; any other file, an unknown part. */
static int write_failed(Writer* self, Py_ssize_t taken) {
  if (PyErr_ExceptionMatches(PyExc_BlockingIOError)) {
    PyObject* type = NULL;
    PyObject* value = NULL;
    PyObject* traceback = NULL;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_ssize_t count = -1;
    PyObject* const written = PyObject_GetAttrString(value, "characters_written");
    if (written != NULL) {
      count = PyLong_AsSsize_t(written);
      Py_DECREF(written);
    }
    PyErr_Clear();
    const int known = count >= 0 && count <= self->pending_end - self->pending_begin;
    if (known) {
      self->pending_begin += count;
      PyObject* const data_taken = PyLong_FromSsize_t(taken);
      if (data_taken != NULL) {
        (void)PyObject_SetAttrString(value, "characters_written", data_taken);
        Py_DECREF(data_taken);
      }
      PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
    if (known) {
      return -1;
    }
  }
  if (!self->exact) {
    self->broken = 1;
  }
  return -1;
}

/* Writes out the pending bytes, booking each count that fp.write() takes;
 * `taken` is how much of the caller's data they hold. 0, or -1 with an
 * exception and what was not taken still pending. */
static int write_pending(Writer* self, Py_ssize_t taken) {
  while (self->pending_begin < self->pending_end) {
    PyObject* const view = view_of(self->pending, self->pending_begin, self->pending_end);
    if (view == NULL) {
      return -1;
    }
    PyObject* const result = PyObject_CallMethod(self->fp, "write", "(O)", view);
    Py_DECREF(view);
    if (result == NULL) {
      return write_failed(self, taken);
    }
    const Py_ssize_t rest = self->pending_end - self->pending_begin;
    Py_ssize_t count = self->raw ? 0 : rest; /* None: nothing now, or all */
    if (result != Py_None) {
      count = PyLong_AsSsize_t(result);
    }
    Py_DECREF(result);
    if (count < 0 || count > rest) {
      self->broken = 1;
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_OSError, "tarvix: the file's write() took %zd of %zd bytes", count,
                     rest);
      }
      return -1;
    }
    if (count == 0) {
      return takes_nothing_now(taken);
    }
    self->pending_begin += count;
  }
  Py_CLEAR(self->pending);
  self->pending_begin = self->pending_end = 0;
  return 0;
}

/* Codes `size` source bytes, then ends the file if `end`, into new pending
 * bytes; none may be pending. */
static int code_pending(Writer* self, const void* source, size_t size, int end) {
  const size_t room = compress_room(size);
  if (room > PY_SSIZE_T_MAX) {
    PyErr_NoMemory();
    return -1;
  }
  PyObject* const pending = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)room);
  if (pending == NULL) {
    return -1;
  }
  /* The bytes object is this writer's alone until its bytes are written. */
  unsigned char* const out = (unsigned char*)PyBytes_AsString(pending);
  const size_t written = compress_all(self->compressor, source, size, end, out);
  Py_XDECREF(self->pending);
  self->pending = pending;
  self->pending_begin = 0;
  self->pending_end = (Py_ssize_t)written;
  return 0;
}

static const char kDamaged[] =
    "tarvix: a write to the file failed after an unknown part of its bytes went out";

/* 0 when the writer takes data, else -1 with ValueError or OSError. */
static int writer_usable(const Writer* self) {
  if (self->broken) {
    PyErr_Format(PyExc_OSError, "%s: the file is damaged", kDamaged);
    return -1;
  }
  if (self->compressor == NULL) {
    PyErr_SetString(PyExc_ValueError, "tarvix: the file has been ended");
    return -1;
  }
  return 0;
}

/* Ends a file that is broken so that no reader restores it, then raises. */
static int refuse(Writer* self) {
  PyObject* type = NULL;
  PyObject* cause = NULL;
  PyObject* traceback = NULL;
  PyErr_Fetch(&type, &cause, &traceback);
  PyErr_NormalizeException(&type, &cause, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  tarvix_compressor_free(self->compressor);
  self->compressor = NULL;
  Py_CLEAR(self->pending);
  self->pending_begin = self->pending_end = 0;
  int written = -1;
  PyObject* const tail = PyBytes_FromStringAndSize(NULL, kRefusingTailSize);
  if (tail != NULL) {
    memset(PyBytes_AsString(tail), 0, kRefusingTailSize);
    self->pending = tail;
    self->pending_end = kRefusingTailSize;
    written = write_pending(self, 0);
    Py_CLEAR(self->pending);
  }
  PyErr_Clear();
  PyErr_Format(PyExc_OSError, "%s%s", kDamaged,
               written == 0 ? ": the file is ended with bytes that no reader restores"
                            : ", and the bytes that make readers refuse the file could not be "
                              "written after them");
  if (cause != NULL) {
    PyObject* raised = NULL;
    PyErr_Fetch(&type, &raised, &traceback);
    PyErr_NormalizeException(&type, &raised, &traceback);
    PyException_SetContext(raised, cause);
    PyErr_Restore(type, raised, traceback);
  }
  return -1;
}

static PyObject* writer_write(Writer* self, PyObject* data) {
  Py_buffer source;
  if (get_input(data, &source) < 0) {
    return NULL;
  }
  PyObject* result = NULL;
  if (object_lock_enter(&self->coder.lock) == 0) {
    int failed = writer_usable(self) < 0 || write_pending(self, 0) < 0;
    for (Py_ssize_t start = 0; !failed && start < source.len;) {
      const Py_ssize_t size = smaller(TVX_SLICE_SIZE, source.len - start);
      failed = code_pending(self, (const char*)source.buf + start, (size_t)size, 0) < 0;
      if (!failed) {
        self->taken += (unsigned long long)size;
        start += size;
        failed = write_pending(self, start) < 0;
      }
    }
    if (!failed) {
      result = PyLong_FromSsize_t(source.len);
    }
    object_lock_leave(&self->coder.lock);
  }
  PyBuffer_Release(&source);
  return result;
}

static PyObject* writer_flush(Writer* self, PyObject* unused) {
  (void)unused;
  if (object_lock_enter(&self->coder.lock) < 0) {
    return NULL;
  }
  const int failed = (self->broken && writer_usable(self) < 0) || write_pending(self, 0) < 0;
  object_lock_leave(&self->coder.lock);
  if (failed) {
    return NULL;
  }
  Py_RETURN_NONE;
}

static PyObject* writer_end(Writer* self, PyObject* unused) {
  (void)unused;
  if (object_lock_enter(&self->coder.lock) < 0) {
    return NULL;
  }
  int failed = 0;
  if (self->compressor != NULL) {
    failed = self->broken || write_pending(self, 0) < 0 || code_pending(self, NULL, 0, 1) < 0 ||
             write_pending(self, 0) < 0;
    if (failed && self->broken) {
      (void)refuse(self);
    } else if (!failed) {
      tarvix_compressor_free(self->compressor);
      self->compressor = NULL;
    }
  }
  object_lock_leave(&self->coder.lock);
  if (failed) {
    return NULL;
  }
  Py_RETURN_NONE;
}

static PyObject* writer_taken(Writer* self, void* unused) {
  (void)unused;
  return PyLong_FromUnsignedLongLong(self->taken);
}

static PyObject* writer_broken(Writer* self, void* unused) {
  (void)unused;
  return PyBool_FromLong(self->broken);
}

static PyObject* writer_ended(Writer* self, void* unused) {
  (void)unused;
  return PyBool_FromLong(self->compressor == NULL);
}

static PyMethodDef writer_methods[] = {
    {"write", (PyCFunction)(void (*)(void))writer_write, METH_O,
     "write(data) -> int\n\nCompresses data and writes what is ready to the file object, first "
     "what\nearlier calls left pending; returns len(data). When the file object\nraises, what it "
     "did not take stays pending; BlockingIOError then says\nin characters_written how much of "
     "data was taken."},
    {"flush", (PyCFunction)(void (*)(void))writer_flush, METH_NOARGS,
     "flush()\n\nWrites the pending bytes to the file object."},
    {"end", (PyCFunction)(void (*)(void))writer_end, METH_NOARGS,
     "end()\n\nEnds the file and writes its last bytes. When it raises and broken is\nFalse, "
     "nothing is lost: call it again. A broken file is ended with bytes\nthat no reader "
     "restores, and raises OSError."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef writer_getset[] = {
    {"taken", (getter)(void (*)(void))writer_taken, NULL, "The source bytes taken.", NULL},
    {"broken", (getter)(void (*)(void))writer_broken, NULL,
     "True once the file object raised having written an unknown part of the\nbytes.", NULL},
    {"ended", (getter)(void (*)(void))writer_ended, NULL, "True once the file is ended.", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

TVX_SLOTS_BEGIN
static PyType_Slot writer_slots[] = {
    {Py_tp_new, writer_new},
    {Py_tp_dealloc, writer_dealloc},
    {Py_tp_traverse, writer_traverse},
    {Py_tp_clear, writer_clear},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {Py_tp_doc,
     "Writer(fp, *, threads=0, exact=False, raw=False)\n\nCompresses into the file object fp "
     "for tarvix.TarvixFile: the compressed\nbytes not yet written and the source bytes taken "
     "are kept here. exact\nsays that fp.write() raises only having written nothing (an "
     "io.FileIO);\nraw, that it returns None when it takes nothing now."},
    {0, NULL},
};
TVX_SLOTS_END

PyType_Spec writer_spec = {"tarvix._tarvix.Writer", sizeof(Writer), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, writer_slots};

/* ------------------------------------------------------------------------ */
/* Reader */

/* The records a Reader knows from its walks, in the order of their restored
 * offsets: a seek walks from the nearest one before its target. When the
 * list is full, every other one goes, so that they stay spread over the
 * file. */
enum { kKnownRecords = 256 };
typedef struct {
  tarvix_record records[kKnownRecords];
  size_t count;
} KnownRecords;

/* The known record nearest before (or at) restored offset `target`; the
 * start of the file if none is. */
static tarvix_record nearest_known(const KnownRecords* known, uint64_t target) {
  size_t low = 0;
  size_t high = known->count;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (known->records[middle].restored_offset <= target) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  tarvix_record start;
  memset(&start, 0, sizeof start);
  return low == 0 ? start : known->records[low - 1];
}

static void remember(KnownRecords* known, const tarvix_record* record) {
  if (record->data_size == 0) {
    return; /* the start, always known */
  }
  size_t at = 0;
  while (at < known->count && known->records[at].file_offset < record->file_offset) {
    ++at;
  }
  if (at < known->count && known->records[at].file_offset == record->file_offset) {
    return;
  }
  if (known->count == kKnownRecords) {
    for (size_t i = 0; 2 * i + 1 < kKnownRecords; ++i) {
      known->records[i] = known->records[2 * i + 1];
    }
    known->count = kKnownRecords / 2;
    remember(known, record);
    return;
  }
  /* File offsets and restored offsets grow together. */
  memmove(&known->records[at + 1], &known->records[at],
          (known->count - at) * sizeof known->records[0]);
  known->records[at] = *record;
  ++known->count;
}

typedef struct {
  CoderObject coder;
  tarvix_workers* workers;   /* the threads of the restorer and of the walks; NULL: one */
  tarvix_restorer* restorer; /* NULL once closed */
  PyObject* fp;
  PyObject* fetch;  /* the name of fp's method that reads: readinto, read1 or read */
  PyObject* buffer; /* a bytearray of the reader's own, for readinto */
  Py_buffer input;  /* input.buf[input_begin, input_end) is not yet taken */
  Py_ssize_t input_begin;
  Py_ssize_t input_end;
  long long position; /* the restored bytes given out */
  long long size;     /* the restored size, once known; else -1 */
  /* File offsets count from fp's offset when the reader was made, where the
   * compressed file begins. */
  unsigned long long origin;
  unsigned long long file_offset; /* where fp reads next */
  long long seek_file;            /* where fp moves before its next read, or -1 */
  KnownRecords known;
  tarvix_status status;
  char fills;  /* fetch is readinto */
  char ending; /* the file gives no more input, or met a fault */
  char ended;  /* tarvix_restorer_end() gave out all it held */
} Reader;

/* fp's offset, where a seekable fp stands; 0 for any other. */
static unsigned long long origin_of(PyObject* fp) {
  PyObject* const seekable = PyObject_CallMethod(fp, "seekable", NULL);
  const int is_seekable = seekable != NULL && PyObject_IsTrue(seekable) == 1;
  Py_XDECREF(seekable);
  PyObject* const offset = is_seekable ? PyObject_CallMethod(fp, "tell", NULL) : NULL;
  const unsigned long long origin = offset == NULL ? 0 : PyLong_AsUnsignedLongLong(offset);
  Py_XDECREF(offset);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return origin;
}

static PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {"fp", "threads", "fetch", NULL};
  PyObject* fp = NULL;
  PyObject* threads_argument = NULL;
  const char* fetch = "read";
  unsigned threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Os:Reader", keywords, &fp, &threads_argument,
                                   &fetch) ||
      thread_count(threads_argument, &threads) < 0) {
    return NULL;
  }
  Reader* const self = (Reader*)new_coder(type);
  if (self == NULL) {
    return NULL;
  }
  Py_INCREF(fp);
  self->fp = fp;
  self->fetch = PyUnicode_InternFromString(fetch);
  self->fills = strcmp(fetch, "readinto") == 0;
  self->size = -1;
  self->seek_file = -1;
  self->origin = origin_of(fp);
  self->workers = threads > 1 ? tarvix_workers_create(threads) : NULL;
  self->restorer =
      threads <= 1 || self->workers != NULL ? tarvix_restorer_create_on(self->workers) : NULL;
  if (self->fetch == NULL || self->restorer == NULL) {
    Py_DECREF(self);
    return PyErr_Occurred() ? NULL : PyErr_NoMemory();
  }
  tarvix_restorer_set_concatenated(self->restorer, 1);
  return (PyObject*)self;
}

static void drop_input(Reader* self) {
  if (self->input.obj != NULL) {
    PyBuffer_Release(&self->input);
  }
  self->input.obj = NULL;
  self->input_begin = self->input_end = 0;
}

static int reader_traverse(Reader* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(self->fp);
  Py_VISIT(self->fetch);
  Py_VISIT(self->buffer);
  Py_VISIT(self->input.obj);
  return 0;
}

static int reader_clear(Reader* self) {
  drop_input(self);
  Py_CLEAR(self->fp);
  Py_CLEAR(self->fetch);
  Py_CLEAR(self->buffer);
  return 0;
}

/* Frees the restorer, then the pool it codes on. */
static void free_coders(Reader* self) {
  tarvix_restorer_free(self->restorer);
  self->restorer = NULL;
  tarvix_workers_free(self->workers);
  self->workers = NULL;
}

static void reader_dealloc(Reader* self) {
  PyObject_GC_UnTrack(self);
  (void)reader_clear(self);
  free_coders(self);
  free_coder(&self->coder);
}

/* Moves fp to where the reader reads next, if it is not there. */
static int place_file(Reader* self) {
  if (self->seek_file < 0) {
    return 0;
  }
  PyObject* const moved = PyObject_CallMethod(self->fp, "seek", "(K)",
                                              self->origin + (unsigned long long)self->seek_file);
  if (moved == NULL) {
    return -1;
  }
  Py_DECREF(moved);
  self->file_offset = (unsigned long long)self->seek_file;
  self->seek_file = -1;
  return 0;
}

/* What fetch() found. */
enum { kFetchFailed = -1, kFetchEnd = 0, kFetchRead = 1, kFetchNothingYet = 2 };

/* Reads up to `size` bytes of the file, the input to restore: with readinto
 * into the reader's own buffer, else as the object that read1 or read
 * returns. A read that raises has read nothing (io's files); the rest of a
 * buffered file's buffer is never taken with more, so nothing read is lost
 * when the raw file under it raises. */
static int fetch(Reader* self, Py_ssize_t size) {
  drop_input(self);
  if (place_file(self) < 0) {
    return kFetchFailed;
  }
  PyObject* result = NULL;
  if (self->fills) {
    if (self->buffer == NULL || PyByteArray_Size(self->buffer) < size) {
      Py_CLEAR(self->buffer);
      self->buffer = PyByteArray_FromStringAndSize(NULL, size);
      if (self->buffer == NULL) {
        return kFetchFailed;
      }
    }
    PyObject* const view = view_of(self->buffer, 0, size);
    if (view == NULL) {
      return kFetchFailed;
    }
    result = PyObject_CallMethodObjArgs(self->fp, self->fetch, view, NULL);
    Py_DECREF(view);
  } else {
    PyObject* const count = PyLong_FromSsize_t(size);
    if (count == NULL) {
      return kFetchFailed;
    }
    result = PyObject_CallMethodObjArgs(self->fp, self->fetch, count, NULL);
    Py_DECREF(count);
  }
  if (result == NULL) {
    return kFetchFailed;
  }
  if (result == Py_None) {
    Py_DECREF(result);
    return kFetchNothingYet;
  }
  Py_ssize_t count = 0;
  if (self->fills) {
    count = PyLong_AsSsize_t(result);
    if ((count < 0 || count > size) && !PyErr_Occurred()) {
      PyErr_Format(PyExc_OSError, "tarvix: the file's readinto() read %zd of %zd bytes", count,
                   size);
    }
  }
  const int failed =
      PyErr_Occurred() != NULL || get_input(self->fills ? self->buffer : result, &self->input) < 0;
  Py_DECREF(result);
  if (failed) {
    self->input.obj = NULL;
    return kFetchFailed;
  }
  self->input_end = self->fills ? count : self->input.len;
  self->file_offset += (unsigned long long)self->input_end;
  if (self->input_end == 0) {
    drop_input(self);
    return kFetchEnd;
  }
  return kFetchRead;
}

/* What restore_some() returns besides a count. */
enum { kRestoreFailed = -1, kRestoreNothingYet = -2 };

/* Restores up to `room` bytes into `out` and returns the count: 0 at the
 * end, kRestoreNothingYet when a non-blocking file has no bytes yet. At a
 * fault it gives every block before it, then raises. */
static Py_ssize_t restore_some(Reader* self, unsigned char* out, Py_ssize_t room) {
  if (room == 0) {
    return 0;
  }
  size_t written = 0;
  while (!self->ending) {
    if (self->input_begin == self->input_end) {
      /* As much of the file as there is room to restore into, since a file
       * restores to about its own size or more. */
      const Py_ssize_t size = room < TVX_CHUNK_SIZE   ? TVX_CHUNK_SIZE
                              : room > TVX_SLICE_SIZE ? TVX_SLICE_SIZE
                                                      : room;
      const int fetched = fetch(self, size);
      if (fetched == kFetchFailed) {
        return kRestoreFailed;
      }
      if (fetched == kFetchNothingYet) {
        return kRestoreNothingYet;
      }
      if (fetched == kFetchEnd) {
        self->ending = 1;
        break;
      }
    }
    const unsigned char* const input = (const unsigned char*)self->input.buf + self->input_begin;
    size_t used = 0;
    tarvix_status status = TARVIX_OK;
    Py_BEGIN_ALLOW_THREADS;
    status = tarvix_restorer_restore(self->restorer, input,
                                     (size_t)(self->input_end - self->input_begin), &used, out,
                                     (size_t)room, &written);
    Py_END_ALLOW_THREADS;
    self->input_begin += (Py_ssize_t)used;
    self->position += (long long)written;
    if (written != 0) {
      return (Py_ssize_t)written;
    }
    self->ending = status != TARVIX_OK;
  }
  if (!self->ended) {
    size_t held = 0;
    tarvix_status status = TARVIX_OK;
    Py_BEGIN_ALLOW_THREADS;
    status = tarvix_restorer_end(self->restorer, out, (size_t)room, &written, &held);
    Py_END_ALLOW_THREADS;
    self->position += (long long)written;
    if (held == 0) {
      self->ended = 1;
      self->status = status;
    }
    if (written != 0) {
      return (Py_ssize_t)written;
    }
  }
  if (self->status != TARVIX_OK) {
    raise_fault(self->status, NULL);
    return kRestoreFailed;
  }
  self->size = self->position;
  return 0;
}

/* Enters the reader for one call; -1 with an exception when it is closed
 * or busy. */
static int enter_open(Reader* self) {
  if (object_lock_enter(&self->coder.lock) < 0) {
    return -1;
  }
  if (self->restorer == NULL) {
    object_lock_leave(&self->coder.lock);
    PyErr_SetString(PyExc_ValueError, "tarvix: the reader is closed");
    return -1;
  }
  return 0;
}

static PyObject* reader_readinto(Reader* self, PyObject* buffer) {
  Py_buffer out;
  if (get_output(buffer, &out) < 0) {
    return NULL;
  }
  Py_ssize_t count = kRestoreFailed;
  if (enter_open(self) == 0) {
    count = restore_some(self, out.buf, out.len);
    object_lock_leave(&self->coder.lock);
  }
  PyBuffer_Release(&out);
  if (count == kRestoreNothingYet) {
    Py_RETURN_NONE;
  }
  return count == kRestoreFailed ? NULL : PyLong_FromSsize_t(count);
}

/* Restore to the end into an area that doubles as it fills, from 4 MiB: the
 * threads get many records a call. */
static PyObject* reader_readall(Reader* self, PyObject* unused) {
  (void)unused;
  if (enter_open(self) < 0) {
    return NULL;
  }
  Area area = {NULL, 0};
  size_t filled = 0;
  Py_ssize_t count = 0;
  do {
    if (filled == area.capacity &&
        area_reserve(&area, filled < (2u << 20) ? (4u << 20) : 2 * filled) < 0) {
      count = kRestoreFailed;
      break;
    }
    const size_t room = area.capacity - filled;
    count = restore_some(self, area.data + filled,
                         room > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : (Py_ssize_t)room);
    filled += count > 0 ? (size_t)count : 0;
  } while (count > 0);
  object_lock_leave(&self->coder.lock);
  PyObject* result = NULL;
  if (count == kRestoreNothingYet && filled == 0) {
    Py_INCREF(Py_None);
    result = Py_None;
  } else if (count != kRestoreFailed) {
    result = PyBytes_FromStringAndSize((const char*)area.data, (Py_ssize_t)filled);
  }
  area_free(&area);
  return result;
}

/* Restores and drops up to `count` bytes; -1 with an exception. */
static int restore_on(Reader* self, unsigned long long count) {
  Area scratch = {NULL, 0};
  if (count == 0) {
    return 0;
  }
  if (area_reserve(&scratch, TVX_SLICE_SIZE) < 0) {
    return -1;
  }
  Py_ssize_t restored = 1;
  for (unsigned long long done = 0; restored > 0 && done < count; done += (size_t)restored) {
    const unsigned long long room = count - done;
    restored =
        restore_some(self, scratch.data, room < TVX_SLICE_SIZE ? (Py_ssize_t)room : TVX_SLICE_SIZE);
  }
  area_free(&scratch);
  return restored == kRestoreFailed ? -1 : 0;
}

/* Readies the reader to read on from `record`: the restorer new, given the
 * file magic where the record is not the file's start, and fp moved to the
 * record before its next read. */
static void relocate(Reader* self, const tarvix_record* record) {
  static const unsigned char kMagic[4] = {0xD8, 0xC7, 0xB6, 0xA5};
  drop_input(self);
  tarvix_restorer_reset(self->restorer);
  if (record->data_size != 0) {
    size_t used = 0;
    size_t written = 0;
    (void)tarvix_restorer_restore(self->restorer, kMagic, sizeof kMagic, &used, NULL, 0, &written);
  }
  self->position = (long long)record->restored_offset;
  self->seek_file = (long long)record->file_offset;
  self->status = TARVIX_OK;
  self->ending = self->ended = 0;
}

/* Walks from *found, a known record, to the one that holds `target`; on
 * TARVIX_READ_FAILED an exception is set, and fp goes back to where the
 * reader reads before its next read. */
static tarvix_status walk_to(Reader* self, uint64_t target, tarvix_record* found) {
  const tarvix_status status =
      walk_file(self->fp, self->origin, target, TARVIX_LOCATE_CONCATENATED, self->workers, found);
  if (status == TARVIX_READ_FAILED && self->seek_file < 0) {
    self->seek_file = (long long)self->file_offset;
  }
  return status;
}

/* A seek restores on while that is cheaper than a walk: for fewer than this
 * many bytes ahead, or where the walk would start this many times farther
 * back than the position (a walk sizes blocks three to seven times as fast
 * as they are restored). */
enum { kLeastWalk = 4 * TARVIX_MAX_BLOCK_SIZE, kWalkGain = 3 };

static PyObject* reader_seek_to(Reader* self, PyObject* argument) {
  const unsigned long long target = PyLong_AsUnsignedLongLong(argument);
  if (PyErr_Occurred() || enter_open(self) < 0) {
    return NULL;
  }
  const unsigned long long position = (unsigned long long)self->position;
  const tarvix_record start = nearest_known(&self->known, target);
  const int walks =
      target < position || (target - position >= kLeastWalk &&
                            (start.restored_offset > position ||
                             target - start.restored_offset <= kWalkGain * (target - position)));
  int failed = 0;
  if (walks) {
    /* A target near the known record is restored on to from there. */
    tarvix_record found = start;
    const tarvix_status status =
        target - start.restored_offset < kLeastWalk ? TARVIX_OK : walk_to(self, target, &found);
    failed = status == TARVIX_READ_FAILED;
    if (!failed) {
      /* At a fault, from the last sound record: restoring on meets it. */
      relocate(self, &found);
      remember(&self->known, &found);
    }
  }
  failed = failed || restore_on(self, target - (unsigned long long)self->position) < 0;
  object_lock_leave(&self->coder.lock);
  return failed ? NULL : PyLong_FromLongLong(self->position);
}

static PyObject* reader_walk_size(Reader* self, PyObject* unused) {
  (void)unused;
  if (enter_open(self) < 0) {
    return NULL;
  }
  PyObject* result = NULL;
  if (self->size >= 0) {
    result = PyLong_FromLongLong(self->size);
  } else {
    tarvix_record last = nearest_known(&self->known, UINT64_MAX);
    const tarvix_status status = walk_to(self, UINT64_MAX, &last);
    if (status == TARVIX_OK) {
      remember(&self->known, &last);
      self->size = (long long)last.restored_offset + (long long)last.restored_size;
      result = PyLong_FromLongLong(self->size);
    } else if (status != TARVIX_READ_FAILED) {
      raise_fault(status, NULL);
    }
  }
  object_lock_leave(&self->coder.lock);
  return result;
}

static PyObject* reader_learn(Reader* self, PyObject* record_object) {
  tarvix_record record;
  if (record_from_object(record_object, &record) < 0 || enter_open(self) < 0) {
    return NULL;
  }
  remember(&self->known, &record);
  object_lock_leave(&self->coder.lock);
  Py_RETURN_NONE;
}

static PyObject* reader_close(Reader* self, PyObject* unused) {
  (void)unused;
  if (object_lock_enter(&self->coder.lock) < 0) {
    return NULL;
  }
  drop_input(self);
  Py_CLEAR(self->buffer);
  free_coders(self);
  object_lock_leave(&self->coder.lock);
  Py_RETURN_NONE;
}

static PyObject* reader_position(Reader* self, void* unused) {
  (void)unused;
  return PyLong_FromLongLong(self->position);
}

static PyObject* reader_size(Reader* self, void* unused) {
  (void)unused;
  return PyLong_FromLongLong(self->size);
}

static PyMethodDef reader_methods[] = {
    {"readinto", (PyCFunction)(void (*)(void))reader_readinto, METH_O,
     "readinto(buffer) -> int or None\n\nRestores into buffer and returns the count: 0 at the "
     "end, None when a\nnon-blocking file has no bytes yet. At a fault it gives every block\n"
     "before it, then raises Error."},
    {"readall", (PyCFunction)(void (*)(void))reader_readall, METH_NOARGS,
     "readall() -> bytes or None\n\nRestores the rest of the file."},
    {"seek_to", (PyCFunction)(void (*)(void))reader_seek_to, METH_O,
     "seek_to(position) -> int\n\nMoves to the restored byte `position` of a seekable file, or "
     "to the end\nif it lies past it, and returns where it stands: by a walk over the\n"
     "records from the nearest known one, where that is cheaper, then by\nrestoring on. At a "
     "fault on the way, it stands at the fault and raises\nError."},
    {"walk_size", (PyCFunction)(void (*)(void))reader_walk_size, METH_NOARGS,
     "walk_size() -> int\n\nThe restored size of a seekable file, told by a walk over its "
     "records;\nraises Error for a damaged file. The position stays."},
    {"learn", (PyCFunction)(void (*)(void))reader_learn, METH_O,
     "learn(record)\n\nKeeps a record that tarvix._tarvix.walk() gave for this file, to walk "
     "from."},
    {"close", (PyCFunction)(void (*)(void))reader_close, METH_NOARGS,
     "close()\n\nFrees the restorer; the file object stays open."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef reader_getset[] = {
    {"position", (getter)(void (*)(void))reader_position, NULL, "The restored bytes given out.",
     NULL},
    {"size", (getter)(void (*)(void))reader_size, NULL, "The restored size once known; else -1.",
     NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

TVX_SLOTS_BEGIN
static PyType_Slot reader_slots[] = {
    {Py_tp_new, reader_new},
    {Py_tp_dealloc, reader_dealloc},
    {Py_tp_traverse, reader_traverse},
    {Py_tp_clear, reader_clear},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc,
     "Reader(fp, *, threads=0, fetch=\"read\")\n\nRestores from the file object fp for "
     "tarvix.TarvixFile: the input read\nand not yet taken, and the position, are kept here. "
     "fetch names fp's\nmethod that reads: readinto (an io.FileIO), read1 (a buffered file) or\n"
     "read. A compressed file begins where fp stands when the reader is made."},
    {0, NULL},
};
TVX_SLOTS_END

PyType_Spec reader_spec = {"tarvix._tarvix.Reader", sizeof(Reader), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, reader_slots};
