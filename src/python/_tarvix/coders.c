/* tarvix.Compressor and tarvix.Decompressor: the library's streaming coders
 * in the shape of Python's bz2 and lzma objects. Each call books what the
 * coder took and gave before it returns, and the Decompressor keeps the
 * input not yet taken itself, in one area with an offset. */
#include "_tarvix.h"

#include <string.h>

/* A number macro's digits, as a string literal, for the documents. */
#define TVX_DIGITS(number) #number
#define TVX_NUMBER(number) TVX_DIGITS(number)

/* How the threads argument reads in the docstrings. */
/* clang-format off */
#define TVX_THREADS_DOC                                 \
  "threads (1 to " TVX_NUMBER(TARVIX_MAX_THREADS) ";\n" \
  "0, the default: every core the process may use, "    \
  "at most " TVX_NUMBER(TARVIX_MAX_AUTOMATIC_THREADS) ")"
/* clang-format on */

/* ------------------------------------------------------------------------ */
/* Compressor */

typedef struct {
  CoderObject coder;
  tarvix_compressor* compressor; /* NULL once flushed */
  unsigned long long taken;      /* source bytes taken */
  char header;                   /* the file's magic is given out */
  char started;                  /* the first call's output, magic first, has been given */
} Compressor;

static PyObject* compressor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {"threads", "header", NULL};
  PyObject* threads_argument = NULL;
  int header = 1;
  unsigned threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$Op:Compressor", keywords, &threads_argument,
                                   &header) ||
      thread_count(threads_argument, &threads) < 0) {
    return NULL;
  }
  Compressor* const self = (Compressor*)new_coder(type);
  if (self == NULL) {
    return NULL;
  }
  self->header = (char)header;
  self->compressor = tarvix_compressor_create_threaded(threads);
  if (self->compressor == NULL) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return (PyObject*)self;
}

static void compressor_dealloc(Compressor* self) {
  tarvix_compressor_free(self->compressor);
  free_coder(&self->coder);
}

/* Codes `data` (NULL: none) and, with `end`, ends the file. */
static PyObject* compressor_code(Compressor* self, PyObject* data, int end, const char* late) {
  if (object_lock_enter(&self->coder.lock) < 0) {
    return NULL;
  }
  PyObject* result = NULL;
  Py_buffer source = {NULL};
  if (self->compressor == NULL) {
    PyErr_SetString(PyExc_ValueError, late);
  } else if (data == NULL || get_input(data, &source) == 0) {
    if (!self->header && source.len != 0 && self->taken % TARVIX_MAX_BLOCK_SIZE != 0) {
      /* A part's blocks are whole but for its last, which a short piece
       * began: records alone are joined to others only so. */
      PyErr_SetString(PyExc_ValueError,
                      "tarvix: with header=False, every piece but the last must be a multiple "
                      "of 8192 bytes");
    } else {
      const size_t skip = self->header || self->started ? 0 : TVX_MAGIC_SIZE;
      result = compress_to_bytes(self->compressor, source.buf, (size_t)source.len, end, skip);
      if (result != NULL) {
        self->taken += (unsigned long long)source.len;
        self->started = 1;
      }
    }
    if (data != NULL) {
      PyBuffer_Release(&source);
    }
    if (end) {
      tarvix_compressor_free(self->compressor);
      self->compressor = NULL;
    }
  }
  object_lock_leave(&self->coder.lock);
  return result;
}

static PyObject* compressor_compress(Compressor* self, PyObject* data) {
  return compressor_code(self, data, 0, "tarvix: compress() after flush()");
}

static PyObject* compressor_flush(Compressor* self, PyObject* unused) {
  (void)unused;
  return compressor_code(self, NULL, 1, "tarvix: repeated call to flush()");
}

static PyMethodDef compressor_methods[] = {
    {"compress", (PyCFunction)compressor_compress, METH_O,
     "compress(data) -> bytes\n\nReturns the compressed bytes made of data and what came "
     "before.\nLess than a block of the source may be held back until the next call."},
    {"flush", (PyCFunction)compressor_flush, METH_NOARGS,
     "flush() -> bytes\n\nEnds the file and returns its last compressed bytes; the compressor "
     "takes no\nmore data."},
    {NULL, NULL, 0, NULL},
};

TVX_SLOTS_BEGIN
static PyType_Slot compressor_slots[] = {
    {Py_tp_new, compressor_new},
    {Py_tp_dealloc, compressor_dealloc},
    {Py_tp_methods, compressor_methods},
    {Py_tp_doc,
     "Compressor(*, threads=0, header=True)\n\nCompresses data incrementally, as "
     "bz2.BZ2Compressor does.\n\ncompress() takes source bytes and returns the compressed bytes "
     "that are\nready; flush() ends the file and returns the rest. The pieces joined are\nwhat "
     "tarvix.compress() returns for the source joined. " TVX_THREADS_DOC " codes the\nwhole "
     "blocks of each call on that many threads, with the same bytes.\nWith header=False it "
     "gives the records alone, without the magic, a\npart for tarvix.join(), and every piece "
     "but the last must be a\nmultiple of 8192 bytes (ValueError, taking nothing)."},
    {0, NULL},
};
TVX_SLOTS_END

PyType_Spec compressor_spec = {"tarvix.Compressor", sizeof(Compressor), 0, Py_TPFLAGS_DEFAULT,
                               compressor_slots};

/* ------------------------------------------------------------------------ */
/* Decompressor */

typedef struct {
  CoderObject coder;
  tarvix_restorer* restorer; /* NULL once flushed */
  Area input;                /* input.data[input_begin, input_end) is not yet taken */
  size_t input_begin;
  size_t input_end;
  unsigned long long input_copied; /* bytes moved into `input`, counted for the tests */
  char needs_input;
} Decompressor;

static PyObject* decompressor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {"threads", NULL};
  PyObject* threads_argument = NULL;
  unsigned threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:Decompressor", keywords, &threads_argument) ||
      thread_count(threads_argument, &threads) < 0) {
    return NULL;
  }
  Decompressor* const self = (Decompressor*)new_coder(type);
  if (self == NULL) {
    return NULL;
  }
  self->needs_input = 1;
  self->restorer = tarvix_restorer_create_threaded(threads);
  if (self->restorer == NULL) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  tarvix_restorer_set_concatenated(self->restorer, 1);
  return (PyObject*)self;
}

static void decompressor_dealloc(Decompressor* self) {
  tarvix_restorer_free(self->restorer);
  area_free(&self->input);
  free_coder(&self->coder);
}

/* Keeps `size` more input bytes after those not yet taken: at the end of the
 * area where they fit, else after moving the rest to its front, else in a
 * larger area. Each byte is moved a bounded number of times. */
static int decompressor_keep(Decompressor* self, const void* data, size_t size) {
  const size_t kept = self->input_end - self->input_begin;
  if (self->input.capacity - self->input_end < size) {
    if (self->input.capacity - kept < size) {
      const size_t doubled = self->input.capacity * 2;
      if (area_reserve(&self->input, doubled > kept + size ? doubled : kept + size) < 0) {
        return -1;
      }
    }
    memmove(self->input.data, self->input.data + self->input_begin, kept);
    self->input_copied += kept;
    self->input_begin = 0;
    self->input_end = kept;
  }
  if (size != 0) {
    memcpy(self->input.data + self->input_end, data, size);
    self->input_end += size;
    self->input_copied += size;
  }
  return 0;
}

/* Restores the input kept, or else `given` (which the caller may change
 * later: its rest is kept), up to `limit` bytes; ends the file with `end`. */
static PyObject* decompressor_restore(Decompressor* self, const Py_buffer* given, size_t limit,
                                      int end) {
  const int direct = self->input_begin == self->input_end;
  if (!direct && given->len != 0 && decompressor_keep(self, given->buf, (size_t)given->len) < 0) {
    return NULL;
  }
  const unsigned char* const input =
      direct ? (const unsigned char*)given->buf : self->input.data + self->input_begin;
  const size_t size = direct ? (size_t)given->len : self->input_end - self->input_begin;
  /* About as much as the input restores to, in one call or a few. */
  const size_t guess = size < (1u << 20) ? 4 * size : (4u << 20);
  Area out = {NULL, 0};
  Restoring done;
  const int failed =
      restore_growing(self->restorer, input, size, guess > TVX_CHUNK_SIZE ? guess : TVX_CHUNK_SIZE,
                      limit, end, &out, &done);
  if (direct) {
    if (done.used < size && decompressor_keep(self, input + done.used, size - done.used) < 0) {
      area_free(&out);
      return NULL;
    }
  } else {
    self->input_begin += done.used;
  }
  if (self->input_begin == self->input_end) {
    self->input_begin = self->input_end = 0;
  }
  self->needs_input =
      self->input_begin == self->input_end && !tarvix_restorer_holds_output(self->restorer);
  return restored_bytes(&out, &done, failed);
}

static PyObject* decompressor_decompress(Decompressor* self, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {"data", "max_length", NULL};
  PyObject* data = NULL;
  Py_ssize_t max_length = -1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|n:decompress", keywords, &data, &max_length)) {
    return NULL;
  }
  Py_buffer given;
  if (get_input(data, &given) < 0) {
    return NULL;
  }
  PyObject* result = NULL;
  if (object_lock_enter(&self->coder.lock) == 0) {
    if (self->restorer == NULL) {
      PyErr_SetString(PyExc_EOFError, "tarvix: decompress() after flush()");
    } else {
      result =
          decompressor_restore(self, &given, max_length < 0 ? SIZE_MAX : (size_t)max_length, 0);
    }
    object_lock_leave(&self->coder.lock);
  }
  PyBuffer_Release(&given);
  return result;
}

static PyObject* decompressor_flush(Decompressor* self, PyObject* unused) {
  (void)unused;
  if (object_lock_enter(&self->coder.lock) < 0) {
    return NULL;
  }
  PyObject* result = NULL;
  if (self->restorer == NULL) {
    PyErr_SetString(PyExc_ValueError, "tarvix: repeated call to flush()");
  } else {
    const Py_buffer nothing = {NULL};
    result = decompressor_restore(self, &nothing, SIZE_MAX, 1);
    tarvix_restorer_free(self->restorer);
    self->restorer = NULL;
    self->needs_input = 0;
    area_free(&self->input);
    self->input_begin = self->input_end = 0;
  }
  object_lock_leave(&self->coder.lock);
  return result;
}

static PyObject* decompressor_eof(Decompressor* self, void* unused) {
  (void)unused;
  return PyBool_FromLong(self->restorer == NULL);
}

static PyObject* decompressor_needs_input(Decompressor* self, void* unused) {
  (void)unused;
  return PyBool_FromLong(self->needs_input);
}

static PyObject* decompressor_unused_data(Decompressor* self, void* unused) {
  (void)self;
  (void)unused;
  return PyBytes_FromStringAndSize(NULL, 0);
}

static PyObject* decompressor_input_copied(Decompressor* self, void* unused) {
  (void)unused;
  return PyLong_FromUnsignedLongLong(self->input_copied);
}

static PyMethodDef decompressor_methods[] = {
    {"decompress", (PyCFunction)(void (*)(void))decompressor_decompress,
     METH_VARARGS | METH_KEYWORDS,
     "decompress(data, max_length=-1) -> bytes\n\nRestores data after the compressed bytes "
     "before it.\n\nReturns at most max_length bytes if it is not negative; needs_input\nis "
     "then False if more may be restored without more data (call with\nb\"\"). Raises Error at "
     "a fault, with error.restored holding the bytes\nrestored by this call before the fault."},
    {"flush", (PyCFunction)decompressor_flush, METH_NOARGS,
     "flush() -> bytes\n\nEnds the file: returns the rest of its restored bytes, or raises\n"
     "Error (CutShortError for a file cut short) with them in .restored."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef decompressor_getset[] = {
    {"eof", (getter)decompressor_eof, NULL, "True once flush() has been called.", NULL},
    {"needs_input", (getter)decompressor_needs_input, NULL,
     "False when decompress() may restore more without more data.", NULL},
    {"unused_data", (getter)decompressor_unused_data, NULL,
     "Always b\"\": what follows the end of one file is read as the next.", NULL},
    {"_input_copied", (getter)decompressor_input_copied, NULL,
     "The input bytes copied into the decompressor so far.", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

TVX_SLOTS_BEGIN
static PyType_Slot decompressor_slots[] = {
    {Py_tp_new, decompressor_new},
    {Py_tp_dealloc, decompressor_dealloc},
    {Py_tp_methods, decompressor_methods},
    {Py_tp_getset, decompressor_getset},
    {Py_tp_doc,
     "Decompressor(*, threads=0)\n\nRestores a compressed file incrementally, as "
     "bz2.BZ2Decompressor does.\n\nCompressed files one after another restore as the "
     "concatenation of their\nsources. The format has no end mark, so flush() says where the "
     "file\nends: it returns the last restored bytes, or raises CutShortError when\nthe file "
     "ends inside a record. eof is True once flush() has been called;\nunused_data is always "
     "b\"\", since whatever follows the end of one file\nis read as the next. threads (as "
     "Compressor's) decodes the whole records\nof each call on that many threads, with the "
     "same bytes and outcome."},
    {0, NULL},
};
TVX_SLOTS_END

PyType_Spec decompressor_spec = {"tarvix.Decompressor", sizeof(Decompressor), 0, Py_TPFLAGS_DEFAULT,
                                 decompressor_slots};
