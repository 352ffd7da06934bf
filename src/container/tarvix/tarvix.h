/* The C interface of the tarvix library: whole compressed files in memory and
 * streaming coders, for C99 programs and any foreign-function interface. It
 * is the interface that the shared library promises to keep (docs/abi.md).
 *
 * A compressed file is the 4-byte file magic D8 C7 B6 A5, then one block
 * record per block of at most TARVIX_MAX_BLOCK_SIZE source bytes: a 2-byte
 * little-endian length and that many bytes of block data. docs/format.md
 * describes it in full. Every function here writes exactly the bytes the
 * tarvix tool writes, and restores with the tool's outcomes.
 *
 * Link with -ltarvix (pkg-config tarvix) or the CMake target tarvix::tarvix.
 * Nothing here keeps global state: functions on distinct buffers and distinct
 * coder objects may run on distinct threads at the same time. None of them
 * reads or writes outside the areas it is given, whatever the input holds.
 * A pointer may be NULL where its size is 0.
 */
#ifndef TARVIX_TARVIX_H
#define TARVIX_TARVIX_H

/* The C interface is C, whose headers, typedefs, (void) and names the C++
 * checks would have it give up:
 * NOLINTBEGIN(modernize-deprecated-headers,modernize-use-using,modernize-redundant-void-arg,readability-identifier-naming)
 */
#include <stddef.h>
#include <stdint.h>

#include <tarvix/export.h>
#include <tarvix/workers.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The most source bytes in one block; a restored block is at most this long. */
#define TARVIX_MAX_BLOCK_SIZE 8192

/* How a call ended. Every status from TARVIX_NOT_COMPRESSED to
 * TARVIX_OUTPUT_TOO_SMALL names the first fault of a compressed file in file
 * order, with the blocks before it restored; TARVIX_MISUSE names a call that
 * did nothing because it came out of order or was given overlapping areas.
 * TARVIX_READ_FAILED (1.2) names a reader that failed. New statuses may be
 * added at the end. */
typedef enum tarvix_status {
  TARVIX_OK = 0,           /* the whole file was restored (a single byte after the last
                              record is ignored, as the tool does), or the call did its work */
  TARVIX_NOT_COMPRESSED,   /* the file does not open with the file magic */
  TARVIX_CUT_SHORT,        /* the end of the file cuts a record's block data short */
  TARVIX_BAD_LENGTH,       /* a length field of 0, or above the longest block data (8193) */
  TARVIX_BAD_BLOCK_DATA,   /* the block decoder refuses a record's block data */
  TARVIX_OUTPUT_TOO_SMALL, /* tarvix_restore() only: the next whole block does not fit */
  TARVIX_MISUSE,           /* a call out of order, or overlapping areas: nothing was done */
  TARVIX_READ_FAILED       /* tarvix_locate_read() only: the caller's reader failed */
} tarvix_status;

/* ------------------------------------------------------------------------ */
/* Whole compressed files in memory                                         */

/* tarvix_compress_bound() returns the most bytes that tarvix_compress() writes
 * for a source of source_size bytes: the magic and, per block, a record of the
 * block stored unchanged. It returns SIZE_MAX when the bound does not fit in a
 * size_t. */
TARVIX_EXPORT size_t tarvix_compress_bound(size_t source_size);

/* tarvix_compress() writes the whole compressed file of the source_size bytes
 * at `source` to the start of `file`, byte for byte what the tarvix tool
 * writes, and returns its length (at least 4, the magic).
 *
 * It returns 0 and writes nothing when file_capacity is smaller than
 * tarvix_compress_bound(source_size), or when the two areas overlap. Bytes
 * of `file` past the returned length may have been overwritten. */
TARVIX_EXPORT size_t tarvix_compress(const void* source, size_t source_size, void* file,
                                     size_t file_capacity);

/* tarvix_restore() restores the compressed file of file_size bytes at `file`
 * into the start of `out`, which holds out_capacity bytes, and returns how it
 * ended: TARVIX_OK, or the first fault.
 *
 * On every status, *restored is set (unless `restored` is NULL) to the number
 * of bytes of whole blocks restored at the start of `out`: exactly what the
 * tool's target holds after the same file. TARVIX_OUTPUT_TOO_SMALL means that
 * the next record is sound but its block does not fit in what is left of
 * `out`; tarvix_restored_size_bound() gives a capacity that always suffices.
 * Bytes of `out` past *restored may have been overwritten. When the two areas
 * overlap it returns TARVIX_MISUSE and restores nothing. */
TARVIX_EXPORT tarvix_status tarvix_restore(const void* file, size_t file_size, void* out,
                                           size_t out_capacity, size_t* restored);

/* tarvix_restored_size_bound() returns an out_capacity with which
 * tarvix_restore() reaches the end of the file_size bytes at `file`, or their
 * first fault, without TARVIX_OUTPUT_TOO_SMALL. It reads only the length
 * fields: a stored block counts its own length, a coded one
 * TARVIX_MAX_BLOCK_SIZE, so for a file the tool wrote it exceeds the restored
 * size by less than one block. It returns 0 for a file without the magic, and
 * SIZE_MAX when the sum does not fit in a size_t.
 *
 * Do not size an output by it for a file from anyone else: a record of 3
 * bytes (01 00 40) counts TARVIX_MAX_BLOCK_SIZE bytes and restores to
 * nothing, so that 300 KB of file ask for 800 MB. Restore such a file with a
 * tarvix_restorer, into outputs of a size you choose, or cap out_capacity and
 * take TARVIX_OUTPUT_TOO_SMALL as "too large". */
TARVIX_EXPORT size_t tarvix_restored_size_bound(const void* file, size_t file_size);

/* tarvix_status_string() returns a constant, English description of `status`
 * without a final period, such as "the compressed file is cut short", or
 * "unknown status" for a value outside tarvix_status. */
TARVIX_EXPORT const char* tarvix_status_string(tarvix_status status);

/* tarvix_version_string() returns the version of the library that is loaded,
 * such as "1.1.0"; TARVIX_VERSION_STRING in <tarvix/version.h> is that of the
 * headers a program was compiled with. */
TARVIX_EXPORT const char* tarvix_version_string(void);

/* ------------------------------------------------------------------------ */
/* The records of a file, walked without decoding
 *
 * A walk finds the block record in which a restored offset lies, reading the
 * length fields in file order and sizing each record's block with
 * tarvix::block_restored_size() (<tarvix/block_decoder.h>), which restores
 * nothing. It is exact on any file that restores: compressed files one after
 * another, and blocks shorter than TARVIX_MAX_BLOCK_SIZE anywhere, are
 * counted as they restore; and it meets a damaged file's first fault where
 * a restorer does, with the same status. To restore from a record, give a
 * restorer (set concatenated as the walk was) the file magic, then the
 * file's bytes from the record's file_offset on: its first block begins at
 * the record's restored_offset.
 *
 * A walk may start from any record that an earlier walk of the same file
 * (with the same flags) gave, and go on from there: a caller that keeps
 * what its walks gave seeks forward from where it is, and backward from the
 * nearest record before the offset it wants, never walking a stretch twice.
 * Given a pool, a walk sizes many records at once on its threads.
 * Distinct walks may run on distinct threads at the same time. */

/* The largest block record: a length field and a stored block's data. */
#define TARVIX_MAX_RECORD_SIZE (2 + TARVIX_MAX_BLOCK_SIZE + 1)

/* Where a block record lies, in the file and in what it restores to. A
 * record of all zeros is the start of the file. */
typedef struct tarvix_record {
  uint64_t file_offset;     /* where its length field lies in the file */
  uint64_t index;           /* the records before it (the magics of later files are none) */
  uint64_t restored_offset; /* the restored bytes before its block */
  uint64_t stored_blocks;   /* the stored blocks among the records up to it, it included */
  uint32_t data_size;       /* its length field, 1 to TARVIX_MAX_BLOCK_SIZE + 1; 0 for none */
  uint32_t restored_size;   /* the bytes its block restores to, 0 to TARVIX_MAX_BLOCK_SIZE */
} tarvix_record;

/* Flags of a walk, or'ed together:
 *   TARVIX_LOCATE_CONCATENATED  compressed files one after another, read as
 *                               tarvix_restorer_set_concatenated() reads them;
 *   TARVIX_LOCATE_RECORDS       a file that does not open with the magic holds
 *                               records from its first byte, as a part written
 *                               for joining does. */
#define TARVIX_LOCATE_CONCATENATED 1u
#define TARVIX_LOCATE_RECORDS 2u

/* tarvix_locate() walks the compressed file of file_size bytes at `file`,
 * from the record *record on (a record of zeros: from the start), to the
 * record whose block holds the restored offset `offset`, and sets *record to
 * it (an empty block holds no offset).
 *
 * It returns TARVIX_OK with *record the record that holds `offset`, or, when
 * `offset` lies at or past the restored size, the file's last record: its
 * restored_offset + restored_size is the restored size. So a walk to
 * UINT64_MAX tells a file's restored size, records (index + 1) and stored
 * blocks, and whether every block before the last is whole
 * (restored_offset == index * TARVIX_MAX_BLOCK_SIZE).
 *
 * It returns the first fault met before the record that holds `offset`
 * (TARVIX_NOT_COMPRESSED, TARVIX_CUT_SHORT, TARVIX_BAD_LENGTH or
 * TARVIX_BAD_BLOCK_DATA, as a restorer does) with *record the last sound
 * record before it. Where the walk passes no sound record, *record is left
 * as it was (with data_size 0 for the start). It returns TARVIX_MISUSE,
 * doing nothing, for a NULL record or one that begins past `offset`.
 *
 * Given a pool (`workers`; NULL: the calling thread alone), it sizes batches
 * of records on the pool's threads, with the same result. It reads nothing
 * outside `file` and allocates nothing. */
TARVIX_EXPORT tarvix_status tarvix_locate(const void* file, size_t file_size, uint64_t offset,
                                          unsigned flags, tarvix_workers* workers,
                                          tarvix_record* record);

/* A reader of a compressed file for tarvix_locate_read(): it reads up to
 * `size` bytes at file offset `offset` into `buffer` and returns how many it
 * read, 0 at the end of the file (fewer than `size` is no end: the rest is
 * asked for next), or a negative number when reading failed. */
typedef int64_t (*tarvix_reader)(void* context, uint64_t offset, void* buffer, size_t size);

/* tarvix_locate_read() is tarvix_locate() on a file that `read` reads, with
 * `context`, into the caller's `buffer` of buffer_size bytes, at least
 * TARVIX_MAX_RECORD_SIZE (1 MiB lets a pool size many records at once). It
 * reads the file in order from the start record on, each byte once, so that
 * a reader of a stream (a pipe) may read on whatever the offset; it reads up
 * to buffer_size bytes past the record it finds. It returns what
 * tarvix_locate() returns, or TARVIX_READ_FAILED, with *record the last
 * sound record before the bytes that could not be read, or TARVIX_MISUSE for
 * a NULL reader, or a buffer too small. */
TARVIX_EXPORT tarvix_status tarvix_locate_read(tarvix_reader read, void* context, void* buffer,
                                               size_t buffer_size, uint64_t offset, unsigned flags,
                                               tarvix_workers* workers, tarvix_record* record);

/* ------------------------------------------------------------------------ */
/* Streaming coders
 *
 * A coder takes its input and gives its output in whatever pieces the caller
 * has, and keeps the rest in memory of its own (about 16 KiB); any split of
 * the input and any sizes of output give the same bytes and the same outcome.
 * Each call reads from the front of `input` (input_size bytes) and writes to
 * the front of `output` (output_capacity bytes), sets *input_used and
 * *output_written (never NULL) to how many bytes it read and wrote, and
 * returns when it can do no more: its input is used up or its output is full.
 * Bytes of `output` past *output_written may have been overwritten. An output
 * of TARVIX_MAX_BLOCK_SIZE + 8 bytes or more per call lets whole blocks go
 * straight between the caller's areas, without a copy through the coder.
 *
 * Both coders end a file the same way:
 *   while input remains: status = *_compress() or *_restore();
 *   then, until *held is 0: status = *_end(..., &held), writing out the output;
 * and status is the outcome. *_reset() then readies the coder for the next
 * file, with its threads and options kept.
 *
 * A coder is used by one thread at a time; distinct coders are independent.
 * Every function given a NULL coder, or input and output areas that overlap,
 * returns TARVIX_MISUSE, or does nothing. */

/* An opaque compressor: source bytes in, a compressed file out, magic first. */
typedef struct tarvix_compressor tarvix_compressor;

/* tarvix_compressor_create() returns a new compressor at the start of a file,
 * or NULL when memory runs out. Free it with tarvix_compressor_free(). */
TARVIX_EXPORT tarvix_compressor* tarvix_compressor_create(void);

/* tarvix_compressor_create_threaded() returns a new compressor that codes the
 * whole blocks of each call on `threads` threads (a pool of its own: the
 * calling thread and threads - 1 workers, started when a call first gives it
 * four whole blocks and room for their records), or NULL when memory runs
 * out. The output is the same as with one thread; 0 and 1 mean one thread,
 * and counts above TARVIX_MAX_THREADS are taken as TARVIX_MAX_THREADS.
 * tarvix_compressor_free() joins the workers. */
TARVIX_EXPORT tarvix_compressor* tarvix_compressor_create_threaded(unsigned threads);

/* tarvix_compressor_create_on() returns a new compressor that codes on the
 * caller's pool `workers`, which may serve other coders too and must outlive
 * this one (NULL: one thread), or NULL when memory runs out. */
TARVIX_EXPORT tarvix_compressor* tarvix_compressor_create_on(tarvix_workers* workers);

/* tarvix_compressor_free() frees a compressor; NULL is allowed and ignored. */
TARVIX_EXPORT void tarvix_compressor_free(tarvix_compressor* compressor);

/* tarvix_compressor_compress() codes source bytes from `input`: a block is
 * coded once it is whole. Call it again, with more output space each time,
 * until all of the input is used; then give it the next input. It returns
 * TARVIX_OK, or TARVIX_MISUSE, using no input, once the file has been ended
 * (until tarvix_compressor_reset()). */
TARVIX_EXPORT tarvix_status tarvix_compressor_compress(tarvix_compressor* compressor,
                                                       const void* input, size_t input_size,
                                                       size_t* input_used, void* output,
                                                       size_t output_capacity,
                                                       size_t* output_written);

/* tarvix_compressor_end() ends the file: it codes the last, shorter block and
 * gives out what is held. It returns TARVIX_OK and sets *held (never NULL) to
 * the bytes still held, at least; while that is not 0, call it again with
 * more output space. After it, the compressor takes no more input. */
TARVIX_EXPORT tarvix_status tarvix_compressor_end(tarvix_compressor* compressor, void* output,
                                                  size_t output_capacity, size_t* output_written,
                                                  size_t* held);

/* tarvix_compressor_reset() readies the compressor for a new file, as if it
 * were new, and drops whatever it held; it keeps its threads. */
TARVIX_EXPORT void tarvix_compressor_reset(tarvix_compressor* compressor);

/* An opaque restorer: a compressed file in, magic first; its source out. */
typedef struct tarvix_restorer tarvix_restorer;

/* tarvix_restorer_create() returns a new restorer at the start of a file, or
 * NULL when memory runs out. Free it with tarvix_restorer_free(). */
TARVIX_EXPORT tarvix_restorer* tarvix_restorer_create(void);

/* tarvix_restorer_create_threaded() returns a new restorer that decodes the
 * whole records of each call on `threads` threads, as
 * tarvix_compressor_create_threaded() does, or NULL when memory runs out. The
 * output and the outcome are the same as with one thread. */
TARVIX_EXPORT tarvix_restorer* tarvix_restorer_create_threaded(unsigned threads);

/* tarvix_restorer_create_on() returns a new restorer that decodes on the
 * caller's pool `workers`, as tarvix_compressor_create_on() does. */
TARVIX_EXPORT tarvix_restorer* tarvix_restorer_create_on(tarvix_workers* workers);

/* tarvix_restorer_free() frees a restorer; NULL is allowed and ignored. */
TARVIX_EXPORT void tarvix_restorer_free(tarvix_restorer* restorer);

/* tarvix_restorer_set_concatenated() sets whether the input may hold several
 * compressed files one after another (0, the default: one file, as the tool
 * reads it). When set, the file magic where a record's length field would
 * begin starts the next file, whose source follows the last one's; a length
 * field cannot hold D8 C7 (51,160, more than any block data), so no sound
 * file reads otherwise. A lone D8 after the last record is then the start of
 * a file cut short (TARVIX_CUT_SHORT), where one file alone ignores a single
 * byte there. It holds from the next record on, and across
 * tarvix_restorer_reset(). */
TARVIX_EXPORT void tarvix_restorer_set_concatenated(tarvix_restorer* restorer, int concatenated);

/* tarvix_restorer_restore() restores what it can of the file bytes in
 * `input`. It returns TARVIX_OK while the file is sound so far, or its first
 * fault (TARVIX_NOT_COMPRESSED, TARVIX_BAD_LENGTH, TARVIX_BAD_BLOCK_DATA) once
 * the blocks before the fault have all been given out; after a fault it reads
 * no more input and returns the same status. Call it with more output space
 * until the input is used up or a fault is returned. Once the file has been
 * ended it returns TARVIX_MISUSE and reads nothing (until
 * tarvix_restorer_reset()). */
TARVIX_EXPORT tarvix_status tarvix_restorer_restore(tarvix_restorer* restorer, const void* input,
                                                    size_t input_size, size_t* input_used,
                                                    void* output, size_t output_capacity,
                                                    size_t* output_written);

/* tarvix_restorer_end() ends the file, after its last byte has gone to
 * tarvix_restorer_restore(): it gives out what is held, sets *held (never
 * NULL) to the bytes still held, and returns the outcome: TARVIX_OK, or
 * TARVIX_CUT_SHORT when the file ends inside a record's block data (a single
 * byte after the last record is no fault), TARVIX_NOT_COMPRESSED when it ends
 * inside the magic, or the fault that tarvix_restorer_restore() returned.
 * While *held is not 0, call it again with more output space. */
TARVIX_EXPORT tarvix_status tarvix_restorer_end(tarvix_restorer* restorer, void* output,
                                                size_t output_capacity, size_t* output_written,
                                                size_t* held);

/* tarvix_restorer_status() returns the outcome so far: TARVIX_OK while the
 * file is sound, else its first fault (once ended, what
 * tarvix_restorer_end() returned). */
TARVIX_EXPORT tarvix_status tarvix_restorer_status(const tarvix_restorer* restorer);

/* tarvix_restorer_records_read() returns the records whose block data has
 * been read in full since the start (a refused one included), and
 * tarvix_restorer_stored_blocks() how many of them held a stored block. */
TARVIX_EXPORT uint64_t tarvix_restorer_records_read(const tarvix_restorer* restorer);
TARVIX_EXPORT uint64_t tarvix_restorer_stored_blocks(const tarvix_restorer* restorer);

/* tarvix_restorer_reset() readies the restorer for a new file, as if it were
 * new, and drops whatever it held; it keeps its threads and options. */
TARVIX_EXPORT void tarvix_restorer_reset(tarvix_restorer* restorer);

/* ------------------------------------------------------------------------ */
/* The ending of version 1.0, kept for the programs built with it. New code
 * calls tarvix_compressor_end() and tarvix_restorer_end(). */

/* tarvix_compressor_finish() is tarvix_compressor_end() that returns nonzero
 * once all of the file has been given out, and 0 while bytes wait. */
TARVIX_EXPORT int tarvix_compressor_finish(tarvix_compressor* compressor, void* output,
                                           size_t output_capacity, size_t* output_written);

/* tarvix_restorer_finish() is tarvix_restorer_end() without *held;
 * tarvix_restorer_holds_output() returns nonzero while bytes are held. */
TARVIX_EXPORT tarvix_status tarvix_restorer_finish(tarvix_restorer* restorer, void* output,
                                                   size_t output_capacity, size_t* output_written);
TARVIX_EXPORT int tarvix_restorer_holds_output(const tarvix_restorer* restorer);

#ifdef __cplusplus
}
#endif

/* NOLINTEND(modernize-deprecated-headers,modernize-use-using,modernize-redundant-void-arg,readability-identifier-naming)
 */
#endif /* TARVIX_TARVIX_H */
