/* Tests of the C interface from C99: whole-buffer round trips, the streaming
 * coders against the whole-buffer functions, every restore outcome with its
 * restored count through both, the coders' contract (ending, misuse, reset),
 * concatenated files, the walk over the records, and coders that live on
 * across fork(). Exits with 0 when every check holds. */
#include <tarvix/tarvix.h>
#include <tarvix/version.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Neither ThreadSanitizer nor qemu's user-mode emulation can follow the
 * threads a child starts after a fork of a process with threads: the fork
 * test runs in every other build (TARVIX_EMULATED marks a cross build). */
#if (defined(__unix__) || defined(__APPLE__)) && !defined(__SANITIZE_THREAD__) && \
    !defined(TARVIX_EMULATED)
#include <sys/wait.h>
#include <unistd.h>
#define HAVE_FORK 1
#endif

static int failures = 0;

#define CHECK(condition)                                                      \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                             \
    }                                                                         \
  } while (0)

enum { kLargest = 6 * TARVIX_MAX_BLOCK_SIZE + 100 };

static unsigned char source[kLargest];
static unsigned char file[2 * kLargest];
static unsigned char streamed[3 * kLargest]; /* room for a last call of kLargest bytes */
static unsigned char restored[3 * kLargest];

/* Text-like bytes with runs and noise, so that every kind of item occurs. */
static void fill_source(void) {
  static const char kWords[] = "the quick brown fox jumps over the lazy dog ";
  unsigned long state = 12345;
  size_t i;
  for (i = 0; i < kLargest; ++i) {
    state = (state * 1103515245UL + 12345UL) & 0xFFFFFFFFUL;
    if (i % 5000 < 200) {
      source[i] = 'z';
    } else if (i % 7000 < 300) {
      source[i] = (unsigned char)(state >> 24);
    } else {
      source[i] = (unsigned char)kWords[i % (sizeof kWords - 1)];
    }
  }
}

/* Compresses source[0, size) with `compressor`, fed `piece` bytes at a time
 * into outputs of `room` bytes, and ends the file; returns its length, in
 * `streamed`. */
static size_t stream_compress_with(tarvix_compressor* compressor, size_t size, size_t piece,
                                   size_t room) {
  size_t given = 0;
  size_t length = 0;
  size_t used = 0;
  size_t written = 0;
  size_t held = 0;
  while (given < size) {
    const size_t this_piece = size - given < piece ? size - given : piece;
    size_t taken = 0;
    while (taken < this_piece) {
      CHECK(tarvix_compressor_compress(compressor, source + given + taken, this_piece - taken,
                                       &used, streamed + length, room, &written) == TARVIX_OK);
      taken += used;
      length += written;
    }
    given += this_piece;
  }
  do {
    CHECK(tarvix_compressor_end(compressor, streamed + length, room, &written, &held) == TARVIX_OK);
    length += written;
  } while (held != 0);
  return length;
}

/* The same with a new compressor on `threads` threads. */
static size_t stream_compress(size_t size, size_t piece, size_t room, unsigned threads) {
  tarvix_compressor* compressor = tarvix_compressor_create_threaded(threads);
  size_t length = 0;
  CHECK(compressor != NULL);
  length = stream_compress_with(compressor, size, piece, room);
  tarvix_compressor_free(compressor);
  return length;
}

/* Restores data[0, size) with `restorer`, fed `piece` bytes at a time into
 * outputs of `room` bytes, as a program reading a file would, into
 * `restored`. */
static tarvix_status stream_restore_with(tarvix_restorer* restorer, const unsigned char* data,
                                         size_t size, size_t piece, size_t room,
                                         size_t* restored_size) {
  tarvix_status status = TARVIX_OK;
  size_t given = 0;
  size_t used = 0;
  size_t written = 0;
  size_t held = 0;
  *restored_size = 0;
  while (given < size && status == TARVIX_OK) {
    const size_t this_piece = size - given < piece ? size - given : piece;
    size_t taken = 0;
    while (taken < this_piece && status == TARVIX_OK) {
      status = tarvix_restorer_restore(restorer, data + given + taken, this_piece - taken, &used,
                                       restored + *restored_size, room, &written);
      taken += used;
      *restored_size += written;
    }
    given += this_piece;
  }
  do {
    status = tarvix_restorer_end(restorer, restored + *restored_size, room, &written, &held);
    *restored_size += written;
  } while (held != 0);
  CHECK(tarvix_restorer_status(restorer) == status);
  return status;
}

/* The same with a new restorer on `threads` threads. */
static tarvix_status stream_restore(const unsigned char* data, size_t size, size_t piece,
                                    size_t room, unsigned threads, size_t* restored_size) {
  tarvix_restorer* restorer =
      threads == 1 ? tarvix_restorer_create() : tarvix_restorer_create_threaded(threads);
  tarvix_status status;
  CHECK(restorer != NULL);
  status = stream_restore_with(restorer, data, size, piece, room, restored_size);
  tarvix_restorer_free(restorer);
  return status;
}

static void test_round_trips(void) {
  static const size_t kSizes[] = {
      0, 1, TARVIX_MAX_BLOCK_SIZE - 1, TARVIX_MAX_BLOCK_SIZE, TARVIX_MAX_BLOCK_SIZE + 1, kLargest};
  size_t i;
  for (i = 0; i < sizeof kSizes / sizeof kSizes[0]; ++i) {
    const size_t size = kSizes[i];
    const size_t bound = tarvix_compress_bound(size);
    const size_t length = tarvix_compress(source, size, file, bound);
    size_t restored_size = 0;
    CHECK(length >= 4 && length <= bound);
    CHECK(tarvix_compress(source, size, file, bound - 1) == 0);
    CHECK(tarvix_restore(file, length, restored, tarvix_restored_size_bound(file, length),
                         &restored_size) == TARVIX_OK);
    CHECK(restored_size == size && memcmp(restored, source, size) == 0);

    /* The streaming coders give the same bytes, in any pieces. */
    CHECK(stream_compress(size, 1000, 7, 1) == length && memcmp(streamed, file, length) == 0);
    CHECK(stream_compress(size, kLargest, 8200, 1) == length &&
          memcmp(streamed, file, length) == 0);
    memset(restored, 0, size);
    CHECK(stream_restore(file, length, 999, 5, 1, &restored_size) == TARVIX_OK);
    CHECK(restored_size == size && memcmp(restored, source, size) == 0);

    /* And on threads, given whole blocks at a time and room for them. */
    CHECK(stream_compress(size, kLargest, kLargest, 3) == length &&
          memcmp(streamed, file, length) == 0);
    memset(restored, 0, size);
    CHECK(stream_restore(file, length, length, kLargest, 3, &restored_size) == TARVIX_OK);
    CHECK(restored_size == size && memcmp(restored, source, size) == 0);
  }
  /* A NULL source of 0 bytes is the empty file: the magic alone. */
  CHECK(tarvix_compress(NULL, 0, file, 4) == 4 && memcmp(file, "\xD8\xC7\xB6\xA5", 4) == 0);
}

static void test_faults(void) {
  /* A two-block file whose second record is damaged in each way. */
  struct Case {
    const char* name;
    size_t keep;      /* bytes of the good file kept */
    const char* tail; /* then these bytes */
    size_t tail_size;
    tarvix_status status;
    size_t restored; /* bytes restored before the fault */
  };
  const size_t block = TARVIX_MAX_BLOCK_SIZE;
  const size_t first_record_end = 4 + 2 + block + 1; /* noise: a stored block */
  const struct Case kCases[] = {
      {"no magic", 0, "abcdef", 6, TARVIX_NOT_COMPRESSED, 0},
      {"inside the magic", 3, "", 0, TARVIX_NOT_COMPRESSED, 0},
      {"one stray byte after a record", first_record_end, "\x01", 1, TARVIX_OK, block},
      {"cut inside block data", first_record_end, "\x05\x00\x40\x00", 4, TARVIX_CUT_SHORT, block},
      {"length field 0", first_record_end, "\x00\x00\x80", 3, TARVIX_BAD_LENGTH, block},
      {"length field 8194", first_record_end, "\x02\x20", 2, TARVIX_BAD_LENGTH, block},
      /* A copy item first: a match 1 byte back in an empty block. */
      {"bad block data", first_record_end, "\x05\x00\x40\x80\x00\x00\x10", 7, TARVIX_BAD_BLOCK_DATA,
       block},
  };
  unsigned char noise[TARVIX_MAX_BLOCK_SIZE];
  unsigned long state = 99;
  size_t good_length = 0;
  size_t i;
  for (i = 0; i < block; ++i) {
    state = (state * 1103515245UL + 12345UL) & 0xFFFFFFFFUL;
    noise[i] = (unsigned char)(state >> 16);
  }
  good_length = tarvix_compress(noise, block, file, sizeof file);
  CHECK(good_length == first_record_end);

  for (i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    const struct Case* c = &kCases[i];
    unsigned char damaged[TARVIX_MAX_BLOCK_SIZE + 64];
    const size_t size = c->keep + c->tail_size;
    size_t restored_size = 99;
    tarvix_status status;
    memcpy(damaged, file, c->keep);
    memcpy(damaged + c->keep, c->tail, c->tail_size);

    status = tarvix_restore(damaged, size, restored, sizeof restored, &restored_size);
    if (status != c->status || restored_size != c->restored) {
      fprintf(stderr, "%s: tarvix_restore gave %s, %lu bytes\n", c->name,
              tarvix_status_string(status), (unsigned long)restored_size);
      ++failures;
    }
    status = stream_restore(damaged, size, 2, 3, 1, &restored_size);
    if (status != c->status || restored_size != c->restored) {
      fprintf(stderr, "%s: the restorer gave %s, %lu bytes\n", c->name,
              tarvix_status_string(status), (unsigned long)restored_size);
      ++failures;
    }
  }
  /* The next whole block does not fit: the restored count says what did. */
  CHECK(tarvix_restore(file, good_length, restored, block - 1, NULL) == TARVIX_OUTPUT_TOO_SMALL);
}

/* Both coders end a file one way, report a call out of order, and code the
 * next file exactly once reset; the whole-buffer functions refuse
 * overlapping areas. */
static void test_contract(void) {
  const size_t size = 3 * TARVIX_MAX_BLOCK_SIZE + 100;
  const size_t next_size = TARVIX_MAX_BLOCK_SIZE + 1; /* a coded block, then a stored one */
  size_t length = tarvix_compress(source, size, file, sizeof file);
  tarvix_compressor* compressor = tarvix_compressor_create_threaded(2);
  tarvix_restorer* restorer = tarvix_restorer_create();
  unsigned char out[64];
  size_t used = 99;
  size_t written = 99;
  size_t held = 99;
  size_t restored_size = 0;

  CHECK(stream_compress_with(compressor, size, 1000, 100) == length &&
        memcmp(streamed, file, length) == 0);
  CHECK(tarvix_compressor_compress(compressor, source, 10, &used, out, sizeof out, &written) ==
            TARVIX_MISUSE &&
        used == 0 && written == 0);
  CHECK(stream_restore_with(restorer, file, length, 777, 50, &restored_size) == TARVIX_OK);
  CHECK(tarvix_restorer_restore(restorer, file, 10, &used, out, sizeof out, &written) ==
            TARVIX_MISUSE &&
        used == 0 && written == 0);

  tarvix_compressor_reset(compressor);
  tarvix_restorer_reset(restorer);
  length = tarvix_compress(source, next_size, file, sizeof file);
  CHECK(stream_compress_with(compressor, next_size, next_size, 9000) == length &&
        memcmp(streamed, file, length) == 0);
  CHECK(stream_restore_with(restorer, file, length, 5, 9000, &restored_size) == TARVIX_OK &&
        restored_size == next_size && memcmp(restored, source, next_size) == 0);
  CHECK(tarvix_restorer_records_read(restorer) == 2 &&
        tarvix_restorer_stored_blocks(restorer) == 1);

  CHECK(tarvix_compress(streamed, 100, streamed + 50, sizeof streamed - 50) == 0);
  tarvix_compressor_reset(compressor);
  CHECK(tarvix_compressor_compress(compressor, streamed, 100, &used, streamed + 99, 100,
                                   &written) == TARVIX_MISUSE &&
        used == 0);
  CHECK(tarvix_restore(file, length, file + 4, sizeof file - 4, &restored_size) == TARVIX_MISUSE &&
        restored_size == 0);
  CHECK(tarvix_compressor_compress(NULL, source, 1, &used, out, sizeof out, &written) ==
            TARVIX_MISUSE &&
        used == 0);
  CHECK(tarvix_restorer_end(NULL, out, sizeof out, &written, &held) == TARVIX_MISUSE && held == 0);
  tarvix_compressor_free(compressor);
  tarvix_restorer_free(restorer);
}

/* Compressed files one after another restore, when the restorer is told, to
 * the concatenation of their sources; else the second magic is a bad length
 * field, as the tool reads it. */
static void test_concatenated(void) {
  const size_t first = tarvix_compress(source, 5000, file, sizeof file);
  const size_t second =
      tarvix_compress(source + 5000, 4 * TARVIX_MAX_BLOCK_SIZE, file + first, sizeof file - first);
  const size_t both = first + second + tarvix_compress(NULL, 0, file + first + second, 4);
  const size_t all = 5000 + 4 * TARVIX_MAX_BLOCK_SIZE;
  struct Case {
    const char* name;
    size_t size;
    int concatenated;
    size_t damaged; /* a byte of the file set to 0, or 0 */
    tarvix_status status;
    size_t restored;
  };
  const struct Case kCases[] = {
      {"three files, the last empty", both, 1, 0, TARVIX_OK, all},
      {"read as one file", both, 0, 0, TARVIX_BAD_LENGTH, 5000},
      {"cut inside the second magic", first + 3, 1, 0, TARVIX_CUT_SHORT, 5000},
      {"cut after the second magic's first byte", first + 1, 1, 0, TARVIX_CUT_SHORT, 5000},
      {"one byte after one file, read as one", first + 1, 0, 0, TARVIX_OK, 5000},
      {"a damaged second magic", both, 1, first + 2, TARVIX_BAD_LENGTH, 5000},
      {"cut inside the second file", first + second - 1, 1, 0, TARVIX_CUT_SHORT,
       all - TARVIX_MAX_BLOCK_SIZE},
  };
  static unsigned char data[2 * kLargest];
  size_t i;
  unsigned threads;
  for (i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    const struct Case* c = &kCases[i];
    memcpy(data, file, c->size);
    if (c->damaged != 0) {
      data[c->damaged] = 0;
    }
    /* Byte by byte, and whole with room for every block on 3 threads. */
    for (threads = 1; threads <= 3; threads += 2) {
      tarvix_restorer* restorer = tarvix_restorer_create_threaded(threads);
      size_t restored_size = 0;
      tarvix_status status;
      tarvix_restorer_set_concatenated(restorer, c->concatenated);
      status = threads == 1 ? stream_restore_with(restorer, data, c->size, 1, 1, &restored_size)
                            : stream_restore_with(restorer, data, c->size, c->size, kLargest,
                                                  &restored_size);
      if (status != c->status || restored_size != c->restored ||
          memcmp(restored, source, restored_size) != 0) {
        fprintf(stderr, "%s, %u threads: the restorer gave %s, %lu bytes\n", c->name, threads,
                tarvix_status_string(status), (unsigned long)restored_size);
        ++failures;
      }
      tarvix_restorer_free(restorer);
    }
  }
}

/* A reader of `file` for the walk, 1000 bytes at most a call. */
static int64_t read_file(void* context, uint64_t offset, void* buffer, size_t size) {
  const size_t file_size = *(const size_t*)context;
  size_t piece = offset < file_size ? file_size - (size_t)offset : 0;
  piece = piece < size ? piece : size;
  piece = piece < 1000 ? piece : 1000;
  memcpy(buffer, file + offset, piece);
  return (int64_t)piece;
}

/* The walk finds, in the file's bytes and through a reader, the record of
 * the second of two files that holds an offset; restoring from it with the
 * magic before it gives the rest of the sources. */
static void test_locate(void) {
  const size_t first = tarvix_compress(source, 5000, file, sizeof file);
  size_t both = first + tarvix_compress(source + 5000, 4 * TARVIX_MAX_BLOCK_SIZE, file + first,
                                        sizeof file - first);
  const uint64_t offset = 5000 + 2 * TARVIX_MAX_BLOCK_SIZE + 10;
  static unsigned char buffer[TARVIX_MAX_RECORD_SIZE];
  static unsigned char from_record[2 * kLargest];
  tarvix_record record = {0};
  tarvix_record read = {0};
  size_t restored_size = 0;
  CHECK(tarvix_locate(file, both, offset, TARVIX_LOCATE_CONCATENATED, NULL, &record) == TARVIX_OK);
  CHECK(record.index == 3 && record.restored_offset == 5000 + 2 * TARVIX_MAX_BLOCK_SIZE &&
        record.restored_size == TARVIX_MAX_BLOCK_SIZE);
  CHECK(tarvix_locate_read(read_file, &both, buffer, sizeof buffer, offset,
                           TARVIX_LOCATE_CONCATENATED, NULL, &read) == TARVIX_OK);
  CHECK(read.file_offset == record.file_offset && read.stored_blocks == record.stored_blocks);
  memcpy(from_record, "\xD8\xC7\xB6\xA5", 4);
  memcpy(from_record + 4, file + record.file_offset, both - (size_t)record.file_offset);
  CHECK(stream_restore(from_record, 4 + both - (size_t)record.file_offset, both, kLargest, 1,
                       &restored_size) == TARVIX_OK);
  CHECK(restored_size == 2 * TARVIX_MAX_BLOCK_SIZE &&
        memcmp(restored, source + record.restored_offset, restored_size) == 0);
  CHECK(tarvix_locate(file, both, 0, 0, NULL, NULL) == TARVIX_MISUSE);
  CHECK(tarvix_locate_read(read_file, &both, buffer, sizeof buffer - 1, 0, 0, NULL, &read) ==
        TARVIX_MISUSE);
}

#ifdef HAVE_FORK
/* Coders whose workers started before fork() code in the child and in the
 * parent alike, each with the right bytes. */
static void test_fork(void) {
  const size_t length = tarvix_compress(source, kLargest, file, sizeof file);
  tarvix_compressor* compressor = tarvix_compressor_create_threaded(3);
  tarvix_restorer* restorer = tarvix_restorer_create_threaded(3);
  size_t restored_size = 0;
  int round;
  int child_status = -1;
  pid_t child;
  /* Whole blocks and room for them: the workers start. */
  CHECK(stream_compress_with(compressor, kLargest, kLargest, kLargest) == length);
  CHECK(stream_restore_with(restorer, file, length, length, kLargest, &restored_size) == TARVIX_OK);
  fflush(stderr);
  child = fork();
  CHECK(child >= 0);
  /* The child, then the parent: each codes twice on the pools of before. */
  for (round = 0; round < 2; ++round) {
    if (child == 0) {
      alarm(60); /* a child that hangs fails, rather than the whole test */
    }
    tarvix_compressor_reset(compressor);
    tarvix_restorer_reset(restorer);
    CHECK(stream_compress_with(compressor, kLargest, kLargest, kLargest) == length &&
          memcmp(streamed, file, length) == 0);
    CHECK(stream_restore_with(restorer, file, length, length, kLargest, &restored_size) ==
              TARVIX_OK &&
          restored_size == kLargest && memcmp(restored, source, kLargest) == 0);
  }
  tarvix_compressor_free(compressor);
  tarvix_restorer_free(restorer);
  if (child == 0) {
    _exit(failures == 0 ? 0 : 1);
  }
  CHECK(waitpid(child, &child_status, 0) == child && WIFEXITED(child_status) &&
        WEXITSTATUS(child_status) == 0);
}
#endif

static void test_strings(void) {
  int status;
  for (status = TARVIX_OK; status <= TARVIX_READ_FAILED; ++status) {
    const char* text = tarvix_status_string((tarvix_status)status);
    CHECK(text != NULL && strcmp(text, "unknown status") != 0);
    CHECK(status == TARVIX_OK || strcmp(text, tarvix_status_string((tarvix_status)(status - 1))));
  }
  CHECK(strcmp(tarvix_status_string((tarvix_status)99), "unknown status") == 0);
  CHECK(strcmp(tarvix_version_string(), TARVIX_VERSION_STRING) == 0);
}

int main(void) {
  fill_source();
  test_round_trips();
  test_faults();
  test_contract();
  test_concatenated();
  test_locate();
#ifdef HAVE_FORK
  test_fork();
#endif
  test_strings();
  if (failures) {
    fprintf(stderr, "c_interface_test: %d checks failed\n", failures);
    return EXIT_FAILURE;
  }
  printf("c_interface_test: all checks passed\n");
  return EXIT_SUCCESS;
}
