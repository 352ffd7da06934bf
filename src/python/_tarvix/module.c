/* The extension module tarvix._tarvix: the library's coders for the Python
 * module tarvix, and its whole-buffer functions, which size one bytes object
 * and fill it in place. */
#include "_tarvix.h"

#include <stdint.h>
#include <string.h>

/* ------------------------------------------------------------------------ */
/* compress() */

/* The arguments (data, *, threads=0) of decompress(), and compress()'s,
 * which has header=True too, whose `format` names the function: 0 with
 * data's buffer, or -1 with an exception. */
static int parse_whole(PyObject* args, PyObject* kwargs, const char* format, Py_buffer* source,
                       unsigned* threads, int* header) {
  static char* keywords[] = {"data", "threads", "header", NULL};
  static char* decompress_keywords[] = {"data", "threads", NULL};
  PyObject* data = NULL;
  PyObject* threads_argument = NULL;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format,
                                   header != NULL ? keywords : decompress_keywords, &data,
                                   &threads_argument, header) ||
      thread_count(threads_argument, threads) < 0) {
    return -1;
  }
  return get_input(data, source);
}

static PyObject* tvx_compress(PyObject* module, PyObject* args, PyObject* kwargs) {
  (void)module;
  Py_buffer source;
  unsigned threads = 0;
  int header = 1;
  if (parse_whole(args, kwargs, "O|$Op:compress", &source, &threads, &header) < 0) {
    return NULL;
  }
  PyObject* result = NULL;
  tarvix_compressor* const compressor = tarvix_compressor_create_threaded(threads);
  if (compressor == NULL) {
    PyErr_NoMemory();
  } else {
    result = compress_to_bytes(compressor, source.buf, (size_t)source.len, 1,
                               header ? 0 : TVX_MAGIC_SIZE);
    tarvix_compressor_free(compressor);
  }
  PyBuffer_Release(&source);
  return result;
}

/* ------------------------------------------------------------------------ */
/* decompress() */

enum {
  kMagicSize = TVX_MAGIC_SIZE,
  kLengthFieldSize = 2,
  kMaxBlockDataSize = TARVIX_MAX_BLOCK_SIZE + 1,
  kKindStored = 0x80,
  /* Coded block data this short holds no item: an empty block. */
  kMaxEmptyCodedData = 3,
};

/* No record restores to more than 631 bytes per byte of the file that it
 * takes: the shortest record of a whole block is 13 bytes (a length field,
 * the kind byte, a control word and two run items) for 8192 bytes. A file
 * whose length fields promise more than that cannot keep the promise, and
 * what they promise is not allocated. */
enum { kMostRestoredPerByte = 631 };

static int has_magic(const unsigned char* file, size_t size, size_t at) {
  return size - at >= kMagicSize && memcmp(file + at, tvx_magic, kMagicSize) == 0;
}

/* Whether the record that ends at `at` is the last of a file: the input
 * ends there (or a single byte later), or the next file's magic begins. */
static int ends_a_file(const unsigned char* file, size_t size, size_t at) {
  return size - at < kLengthFieldSize || has_magic(file, size, at);
}

/* The bytes that the record of `length` bytes of block data at `record`
 * restores to, decoded on its own. */
static size_t restored_alone(const unsigned char* record, size_t length) {
  unsigned char file[kMagicSize + kLengthFieldSize + kMaxBlockDataSize];
  unsigned char block[TARVIX_MAX_BLOCK_SIZE];
  memcpy(file, tvx_magic, kMagicSize);
  memcpy(file + kMagicSize, record, kLengthFieldSize + length);
  size_t restored = 0;
  (void)tarvix_restore(file, kMagicSize + kLengthFieldSize + length, block, sizeof block,
                       &restored);
  return restored;
}

/* The size that the compressed files one after another at `file` restore
 * to, read from the length fields as compress mode writes them: a stored
 * block is its length - 1 bytes, a coded one a whole block but for the last
 * of each file, decoded on its own. It is exact for every file the tool
 * writes, and for any other more than it restores to, up to its first
 * fault. */
static size_t predicted_size(const unsigned char* file, size_t size) {
  if (!has_magic(file, size, 0)) {
    return 0;
  }
  size_t total = 0;
  for (size_t at = kMagicSize; size - at >= kLengthFieldSize;) {
    if (has_magic(file, size, at)) {
      at += kMagicSize; /* the next file */
      continue;
    }
    const size_t length = file[at] | (size_t)file[at + 1] << 8;
    if (length == 0 || length > kMaxBlockDataSize || size - at - kLengthFieldSize < length) {
      break; /* a fault: restoring stops there */
    }
    const unsigned char* const record = file + at;
    at += kLengthFieldSize + length;
    if (record[kLengthFieldSize] == kKindStored) {
      total += length - 1;
    } else if (length > kMaxEmptyCodedData) {
      total += ends_a_file(file, size, at) ? restored_alone(record, length) : TARVIX_MAX_BLOCK_SIZE;
    }
  }
  return total;
}

static int is_credible(size_t predicted, size_t size) {
  return (uint64_t)predicted <= (uint64_t)size * kMostRestoredPerByte;
}

/* Restores into one bytes object of the predicted size, where the whole
 * output is restored: none more is allocated, and nothing is copied. Sets
 * *fits to 0, restoring nothing, when the prediction is too small (never so
 * for a sound file). */
static PyObject* restore_in_place(tarvix_restorer* restorer, const unsigned char* file, size_t size,
                                  size_t predicted, int* fits) {
  PyObject* out = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)predicted);
  if (out == NULL) {
    return NULL;
  }
  unsigned char* const data = (unsigned char*)PyBytes_AsString(out);
  ask_for_huge_pages(data, predicted);
  size_t used = 0;
  size_t written = 0;
  size_t ending = 0;
  size_t held = 0;
  tarvix_status status = TARVIX_OK;
  Py_BEGIN_ALLOW_THREADS;
  status = tarvix_restorer_restore(restorer, file, size, &used, data, predicted, &written);
  if (used == size || status != TARVIX_OK) {
    status = tarvix_restorer_end(restorer, data + written, predicted - written, &ending, &held);
  }
  Py_END_ALLOW_THREADS;
  written += ending;
  *fits = held == 0 && (used == size || status != TARVIX_OK);
  if (!*fits) {
    Py_DECREF(out);
    return NULL;
  }
  if (status == TARVIX_OK && written == predicted) {
    return out;
  }
  /* A fault, or a block in the middle shorter than a whole one. */
  PyObject* const restored = PyBytes_FromStringAndSize((const char*)data, (Py_ssize_t)written);
  Py_DECREF(out);
  return restoring_outcome(status, restored);
}

/* Restores into an area that grows with what is restored, then copies it. */
static PyObject* restore_growing_whole(tarvix_restorer* restorer, const unsigned char* file,
                                       size_t size) {
  Area out = {NULL, 0};
  Restoring done;
  const int failed =
      restore_growing(restorer, file, size, size > TVX_CHUNK_SIZE ? size : TVX_CHUNK_SIZE, SIZE_MAX,
                      1, &out, &done);
  return restored_bytes(&out, &done, failed);
}

static PyObject* tvx_decompress(PyObject* module, PyObject* args, PyObject* kwargs) {
  (void)module;
  Py_buffer source;
  unsigned threads = 0;
  if (parse_whole(args, kwargs, "O|$O:decompress", &source, &threads, NULL) < 0) {
    return NULL;
  }
  const unsigned char* const file = source.buf;
  const size_t size = (size_t)source.len;
  PyObject* result = NULL;
  tarvix_restorer* const restorer = tarvix_restorer_create_threaded(threads);
  if (restorer == NULL) {
    PyErr_NoMemory();
  } else {
    tarvix_restorer_set_concatenated(restorer, 1);
    const size_t predicted = predicted_size(file, size);
    int fits = 0;
    if (is_credible(predicted, size)) {
      result = restore_in_place(restorer, file, size, predicted, &fits);
    }
    if (!fits && !PyErr_Occurred()) {
      tarvix_restorer_reset(restorer);
      result = restore_growing_whole(restorer, file, size);
    }
    tarvix_restorer_free(restorer);
  }
  PyBuffer_Release(&source);
  return result;
}

/* ------------------------------------------------------------------------ */
/* The module */

static PyObject* tvx_status_string(PyObject* module, PyObject* status) {
  (void)module;
  const long value = PyLong_AsLong(status);
  if (value == -1 && PyErr_Occurred()) {
    return NULL;
  }
  return PyUnicode_FromString(tarvix_status_string((tarvix_status)value));
}

static PyObject* tvx_thread_count(PyObject* module, PyObject* threads) {
  (void)module;
  unsigned count = 0;
  return thread_count(threads, &count) < 0 ? NULL : PyLong_FromUnsignedLong(count);
}

static PyMethodDef module_methods[] = {
    {"compress", (PyCFunction)(void (*)(void))tvx_compress, METH_VARARGS | METH_KEYWORDS,
     "compress(data, *, threads=0, header=True) -> bytes\n\nReturns the compressed file of the "
     "bytes-like object data: byte for byte\nwhat the tool writes. With header=False, its "
     "records alone, without the\nmagic: a part that tarvix.join() joins to others."},
    {"walk", (PyCFunction)(void (*)(void))tvx_walk, METH_VARARGS | METH_KEYWORDS,
     "walk(source, target=-1, *, start=None, records=False, threads=0) -> (status, record)\n\n"
     "Walks the records of the compressed file in source (bytes-like, or a\nfile object read "
     "from its offset 0), restoring nothing, from the record\nstart (None: the file's start) "
     "to the one whose block holds the\nrestored byte target (negative: to the last record). "
     "Returns the\nstatus, 0 or the first fault before it, and the record found, or the\nlast "
     "sound one: (file_offset, index, restored_offset, stored_blocks,\ndata_size, "
     "restored_size). records=True: a file without the magic\nholds records from its first "
     "byte, and no later file follows."},
    {"decompress", (PyCFunction)(void (*)(void))tvx_decompress, METH_VARARGS | METH_KEYWORDS,
     "decompress(data, *, threads=0) -> bytes\n\nReturns the source restored from the "
     "compressed file in data; compressed\nfiles one after another restore as the "
     "concatenation of their sources.\n\nRaises Error when the file cannot be restored in "
     "full, with every whole\nblock before the fault in error.restored."},
    {"status_string", tvx_status_string, METH_O,
     "status_string(status) -> str\n\nThe library's description of a status."},
    {"thread_count", tvx_thread_count, METH_O,
     "thread_count(threads) -> int\n\nThe threads that a threads argument asks for; raises "
     "TypeError or\nValueError for one that the coders refuse."},
    {NULL, NULL, 0, NULL},
};

static int add_type(PyObject* module, PyType_Spec* description) {
  PyObject* const type = PyType_FromSpec(description);
  if (type == NULL) {
    return -1;
  }
  const char* const name = strrchr(description->name, '.') + 1;
  if (PyModule_AddObject(module, name, type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

static int module_exec(PyObject* module) {
  if (add_type(module, &compressor_spec) < 0 || add_type(module, &decompressor_spec) < 0 ||
      add_type(module, &writer_spec) < 0 || add_type(module, &reader_spec) < 0 ||
      PyModule_AddIntConstant(module, "MAX_THREADS", TARVIX_MAX_THREADS) < 0) {
    return -1;
  }
  return 0;
}

TVX_SLOTS_BEGIN
static PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, module_exec},
    {0, NULL},
};
TVX_SLOTS_END

static struct PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarvix._tarvix",
    "The core of the module tarvix: the tarvix library's coders.",
    0,
    module_methods,
    module_slots,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit__tarvix(void) { return PyModuleDef_Init(&module_definition); }
