/* What the files of the extension module tarvix._tarvix share: its one
 * Limited API level, the parts every coder object uses (a lock, memory of
 * its own, the caller's buffers, the thread count, the errors) and the
 * coders over the library's C interface. */
#ifndef TARVIX_PYTHON_TARVIX_H
#define TARVIX_PYTHON_TARVIX_H

/* One build serves Python 3.8 and every later version (abi3). */
#define Py_LIMITED_API 0x03080000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>

#include <tarvix/tarvix.h>

#include "buffer_compat.h"

/* The file magic, the first bytes of a compressed file. */
#define TVX_MAGIC_SIZE 4
extern const unsigned char tvx_magic[TVX_MAGIC_SIZE];

/* Output room per block with which a coder writes whole blocks straight
 * between the caller's areas (tarvix.h): a compressor needs 8 bytes past the
 * block, a restorer the block. */
#define TVX_STRAIGHT_ROOM (TARVIX_MAX_BLOCK_SIZE + 8)
/* Source bytes coded per call of the file layer, at most: many blocks for
 * the threads, and a bound on the compressed bytes held at once. */
#define TVX_SLICE_SIZE (1024 * 1024)
/* Compressed bytes read from a file per call, at least. */
#define TVX_CHUNK_SIZE (128 * 1024)

/* ------------------------------------------------------------------------ */
/* One thread at a time in a coder object (support.c)
 *
 * object_lock_enter() waits, with the GIL released, while another thread is
 * inside; a call from inside a call on the same thread (a file object that
 * writes into the file it is written by) raises RuntimeError instead of
 * waiting for ever. Each returns 0, or -1 with an exception set. */
typedef struct {
  PyThread_type_lock lock;
  unsigned long owner; /* the thread inside, or 0 */
} ObjectLock;

int object_lock_enter(ObjectLock* lock);
void object_lock_leave(ObjectLock* lock);

/* What every coder object of the module begins with. */
typedef struct {
  PyObject ob_base; /* PyObject_HEAD */
  ObjectLock lock;
} CoderObject;

/* new_coder() allocates an instance of a type of this module, zeroed, with
 * its lock; NULL with an exception. free_coder() frees it, its lock, and its
 * hold on its type, once its own parts are freed. */
CoderObject* new_coder(PyTypeObject* type);
void free_coder(CoderObject* coder);

/* ------------------------------------------------------------------------ */
/* Memory of the module's own (support.c), from Python's allocator, which
 * tracemalloc counts: reserved and freed with the GIL held, used without
 * it. Never zeroed. */
typedef struct {
  unsigned char* data;
  size_t capacity;
} Area;

/* area_reserve() makes the area at least `capacity` bytes long, keeping its
 * bytes; 0, or -1 with MemoryError. */
int area_reserve(Area* area, size_t capacity);
void area_free(Area* area);

/* ask_for_huge_pages() asks the system to map the whole 2 MiB pages inside
 * the `size` bytes at `data`, not written yet, in huge pages where it can
 * (Linux); nothing changes elsewhere, or when it declines. */
void ask_for_huge_pages(void* data, size_t size);

/* ------------------------------------------------------------------------ */
/* The caller's objects (support.c) */

/* get_input() gives the bytes of a contiguous bytes-like object, and
 * get_output() the memory of a writable one; 0, or -1 with TypeError. Release
 * the view with PyBuffer_Release(). */
int get_input(PyObject* object, Py_buffer* view);
int get_output(PyObject* object, Py_buffer* view);

/* thread_count() turns the `threads` argument (NULL when not given) into a
 * count for the library: 1 to TARVIX_MAX_THREADS as given, and 0, the
 * default, for tarvix_automatic_threads() (<tarvix/cores.h>), as the
 * programs choose. 0, or -1 with TypeError or ValueError. */
int thread_count(PyObject* threads, unsigned* count);

/* raise_fault() raises tarvix.Error for `status` (tarvix.CutShortError for a
 * file cut short), with `restored` (NULL for b"") as its restored bytes;
 * returns NULL. */
PyObject* raise_fault(tarvix_status status, PyObject* restored);

/* restoring_outcome() returns `restored` (a new bytes object, or NULL with
 * an exception), or at a fault raises it as the error's restored bytes and
 * returns NULL. */
PyObject* restoring_outcome(tarvix_status status, PyObject* restored);

/* ------------------------------------------------------------------------ */
/* Coding (support.c); each releases the GIL while the library codes, so the
 * caller must hold the coder alone. */

/* compress_room() returns the output room in which a compressor codes
 * `size` more source bytes and then ends its file, every block straight into
 * the output: the magic, and a record per block with the one held from
 * earlier calls and the last, shorter one; SIZE_MAX when it does not fit. */
size_t compress_room(size_t size);

/* compress_all() codes the `size` bytes at `source` with `compressor`, then
 * ends its file if `end`, into `out` (compress_room(size) bytes), and returns
 * the compressed bytes written there. */
size_t compress_all(tarvix_compressor* compressor, const void* source, size_t size, int end,
                    unsigned char* out);

/* compress_to_bytes() is compress_all() into a new bytes object of the
 * compressed bytes but the first `skip` (the magic of a file's first
 * call, for records alone); NULL with MemoryError. */
PyObject* compress_to_bytes(tarvix_compressor* compressor, const void* source, size_t size, int end,
                            size_t skip);

/* What restore_growing() did. */
typedef struct {
  tarvix_status status;
  size_t used;    /* input bytes taken */
  size_t written; /* bytes restored into the area */
} Restoring;

/* restore_growing() restores the `size` input bytes at `input` with
 * `restorer` into `out` from its start, and then, if `end`, ends the file.
 * The area grows as the output needs, from `first` bytes and doubling, up to
 * `limit` bytes restored: it stops there, or when the input is used up, or
 * at a fault. 0, or -1 with MemoryError (what the restorer took and gave is
 * set either way). */
int restore_growing(tarvix_restorer* restorer, const unsigned char* input, size_t size,
                    size_t first, size_t limit, int end, Area* out, Restoring* done);

/* restored_bytes() frees the area that restore_growing() (which returned
 * `failed`) restored into, and returns its restored bytes, or raises the
 * fault with them, as restoring_outcome() does. */
PyObject* restored_bytes(Area* out, const Restoring* done, int failed);

/* ------------------------------------------------------------------------ */
/* Walks over a file's records (walks.c), restoring nothing */

/* record_to_tuple() gives a record as Python sees it: the tuple (file_offset,
 * index, restored_offset, stored_blocks, data_size, restored_size), or NULL
 * with an exception; record_from_object() reads one back (None, or NULL:
 * the start of the file), 0, or -1 with TypeError or ValueError. */
PyObject* record_to_tuple(const tarvix_record* record);
int record_from_object(PyObject* object, tarvix_record* record);

/* walk_file() walks the compressed file that the file object fp holds from
 * its offset `origin` on, as tarvix_locate_read() does, from *record to the
 * record that holds the restored offset `target`, through fp.seek() and
 * fp.readinto() or fp.read(). Returns the walk's status, or
 * TARVIX_READ_FAILED with an exception set (*record is then the last sound
 * record before the bytes that could not be read). */
tarvix_status walk_file(PyObject* fp, unsigned long long origin, uint64_t target, unsigned flags,
                        tarvix_workers* workers, tarvix_record* record);

/* walk(source, target=-1, *, start=None, records=False, threads=0): the
 * module's function over tarvix_locate() and walk_file(). */
PyObject* tvx_walk(PyObject* module, PyObject* args, PyObject* kwargs);

/* ------------------------------------------------------------------------ */
/* The module's types (coders.c, file_coders.c), added to it by module.c */

extern PyType_Spec compressor_spec;
extern PyType_Spec decompressor_spec;
extern PyType_Spec writer_spec;
extern PyType_Spec reader_spec;

/* Type and module slots hold functions as void*, as the API has them and ISO
 * C does not allow: the slot tables and lookups alone are left out of
 * -Wpedantic. */
#if defined(__GNUC__)
#define TVX_SLOTS_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wpedantic\"")
#define TVX_SLOTS_END _Pragma("GCC diagnostic pop")
#else
#define TVX_SLOTS_BEGIN
#define TVX_SLOTS_END
#endif

#endif /* TARVIX_PYTHON_TARVIX_H */
