/* Walks over a compressed file's records, restoring nothing: from a
 * bytes-like object, or from a file object through its own seek() and
 * reads; and records as Python sees them, tuples of six numbers. */
#include "_tarvix.h"

#include <string.h>

/* The reader's area: two windows of 2 MiB, one read while a pool sizes the
 * records of the other, each of them within the caches. */
enum { kWalkArea = 4 << 20 };

PyObject* record_to_tuple(const tarvix_record* record) {
  return Py_BuildValue(
      "(KKKKkk)", (unsigned long long)record->file_offset, (unsigned long long)record->index,
      (unsigned long long)record->restored_offset, (unsigned long long)record->stored_blocks,
      (unsigned long)record->data_size, (unsigned long)record->restored_size);
}

int record_from_object(PyObject* object, tarvix_record* record) {
  memset(record, 0, sizeof *record);
  if (object == NULL || object == Py_None) {
    return 0;
  }
  unsigned long long file_offset = 0;
  unsigned long long index = 0;
  unsigned long long restored_offset = 0;
  unsigned long long stored_blocks = 0;
  unsigned long data_size = 0;
  unsigned long restored_size = 0;
  if (!PyArg_ParseTuple(object, "KKKKkk;tarvix: a record is a tuple of six numbers", &file_offset,
                        &index, &restored_offset, &stored_blocks, &data_size, &restored_size)) {
    return -1;
  }
  if (data_size > TARVIX_MAX_BLOCK_SIZE + 1 || restored_size > TARVIX_MAX_BLOCK_SIZE) {
    PyErr_SetString(PyExc_ValueError, "tarvix: not a record of a walk");
    return -1;
  }
  record->file_offset = file_offset;
  record->index = index;
  record->restored_offset = restored_offset;
  record->stored_blocks = stored_blocks;
  record->data_size = (uint32_t)data_size;
  record->restored_size = (uint32_t)restored_size;
  return 0;
}

/* ------------------------------------------------------------------------ */
/* Readers for tarvix_locate_read() */

/* A Python file object, moved with its seek() where the walk is not, and
 * read with readinto() or read(); called with the GIL held. */
typedef struct {
  PyObject* fp;
  unsigned long long origin;
  long long at; /* where fp stands, relative to origin; -1 if unknown */
} ObjectReader;

static int64_t read_object(void* context, uint64_t offset, void* buffer, size_t size) {
  ObjectReader* const reader = context;
  if (reader->at != (long long)offset) {
    reader->at = -1;
    PyObject* const moved =
        PyObject_CallMethod(reader->fp, "seek", "(K)", reader->origin + (unsigned long long)offset);
    if (moved == NULL) {
      return -1;
    }
    Py_DECREF(moved);
    reader->at = (long long)offset;
  }
  const Py_ssize_t room = size > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : (Py_ssize_t)size;
  Py_ssize_t count = -1;
  if (PyObject_HasAttrString(reader->fp, "readinto")) {
    PyObject* const view = PyMemoryView_FromMemory(buffer, room, PyBUF_WRITE);
    if (view == NULL) {
      return -1;
    }
    PyObject* const read = PyObject_CallMethod(reader->fp, "readinto", "(O)", view);
    /* The view points into the walk's area: nothing may keep it. */
    PyObject* const released = PyObject_CallMethod(view, "release", NULL);
    Py_XDECREF(released);
    Py_DECREF(view);
    if (read == NULL || released == NULL) {
      Py_XDECREF(read);
      return -1;
    }
    count = read == Py_None ? 0 : PyLong_AsSsize_t(read);
    Py_DECREF(read);
  } else {
    PyObject* const read = PyObject_CallMethod(reader->fp, "read", "(n)", room);
    if (read == NULL) {
      return -1;
    }
    Py_buffer view;
    if (get_input(read, &view) == 0) {
      count = view.len <= room ? view.len : -1;
      if (count > 0) {
        memcpy(buffer, view.buf, (size_t)count);
      }
      PyBuffer_Release(&view);
    }
    Py_DECREF(read);
  }
  if (count < 0 || count > room) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_OSError, "tarvix: the file read a count it was not asked for");
    }
    return -1;
  }
  reader->at += count;
  return count;
}

tarvix_status walk_file(PyObject* fp, unsigned long long origin, uint64_t target, unsigned flags,
                        tarvix_workers* workers, tarvix_record* record) {
  Area area = {NULL, 0};
  if (area_reserve(&area, kWalkArea) < 0) {
    return TARVIX_READ_FAILED;
  }
  /* With the GIL held: the reader calls fp. The workers, which size the
   * blocks, touch nothing of Python's; an io file releases the GIL while
   * it reads. */
  ObjectReader reader = {fp, origin, -1};
  const tarvix_status status = tarvix_locate_read(read_object, &reader, area.data, area.capacity,
                                                  target, flags, workers, record);
  area_free(&area);
  return status;
}

/* ------------------------------------------------------------------------ */
/* walk(): the module's function */

PyObject* tvx_walk(PyObject* module, PyObject* args, PyObject* kwargs) {
  (void)module;
  static char* keywords[] = {"source", "target", "start", "records", "threads", NULL};
  PyObject* source = NULL;
  long long target = -1;
  PyObject* start = NULL;
  int records = 0;
  PyObject* threads_argument = NULL;
  unsigned threads = 0;
  tarvix_record record;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|L$OpO:walk", keywords, &source, &target, &start,
                                   &records, &threads_argument) ||
      thread_count(threads_argument, &threads) < 0 || record_from_object(start, &record) < 0) {
    return NULL;
  }
  const uint64_t offset = target < 0 ? UINT64_MAX : (uint64_t)target;
  const unsigned flags = records ? TARVIX_LOCATE_RECORDS : TARVIX_LOCATE_CONCATENATED;
  tarvix_workers* const workers = threads > 1 ? tarvix_workers_create(threads) : NULL;
  if (threads > 1 && workers == NULL) {
    return PyErr_NoMemory();
  }
  tarvix_status status = TARVIX_OK;
  /* A file object reads; anything else must be bytes-like. */
  if (!PyObject_HasAttrString(source, "read")) {
    Py_buffer view;
    if (get_input(source, &view) < 0) {
      tarvix_workers_free(workers);
      return NULL;
    }
    Py_BEGIN_ALLOW_THREADS;
    status = tarvix_locate(view.buf, (size_t)view.len, offset, flags, workers, &record);
    Py_END_ALLOW_THREADS;
    PyBuffer_Release(&view);
  } else {
    status = walk_file(source, 0, offset, flags, workers, &record);
  }
  tarvix_workers_free(workers);
  if (status == TARVIX_READ_FAILED) {
    return NULL;
  }
  if (status == TARVIX_MISUSE) {
    PyErr_SetString(PyExc_ValueError, "tarvix: the start record lies past the target");
    return NULL;
  }
  PyObject* const found = record_to_tuple(&record);
  return found == NULL ? NULL : Py_BuildValue("(iN)", (int)status, found);
}
