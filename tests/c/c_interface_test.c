/* Tests of the C interface from C99: whole-buffer round trips, the streaming
 * coders against the whole-buffer functions, and every restore outcome with
 * its restored count, through both. Exits with 0 when every check holds. */
#include <tarvix/tarvix.h>
#include <tarvix/version.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

/* Compresses source[0, size) with a compressor on `threads` threads, fed
 * `piece` bytes at a time into outputs of `room` bytes; returns the file's
 * length. */
static size_t stream_compress(size_t size, size_t piece, size_t room, unsigned threads) {
  tarvix_compressor* compressor = tarvix_compressor_create_threaded(threads);
  size_t given = 0;
  size_t length = 0;
  size_t used = 0;
  size_t written = 0;
  CHECK(compressor != NULL);
  while (given < size) {
    const size_t this_piece = size - given < piece ? size - given : piece;
    size_t taken = 0;
    while (taken < this_piece) {
      tarvix_compressor_compress(compressor, source + given + taken, this_piece - taken, &used,
                                 streamed + length, room, &written);
      taken += used;
      length += written;
    }
    given += this_piece;
  }
  while (!tarvix_compressor_finish(compressor, streamed + length, room, &written)) {
    length += written;
  }
  length += written;
  tarvix_compressor_free(compressor);
  return length;
}

/* Restores data[0, size) with a restorer on `threads` threads, fed `piece`
 * bytes at a time into outputs of `room` bytes, as a program reading a file
 * would. */
static tarvix_status stream_restore(const unsigned char* data, size_t size, size_t piece,
                                    size_t room, unsigned threads, size_t* restored_size) {
  tarvix_restorer* restorer = threads == 1 ? tarvix_restorer_create()
                                           : tarvix_restorer_create_threaded(threads);
  tarvix_status status = TARVIX_OK;
  size_t given = 0;
  size_t used = 0;
  size_t written = 0;
  *restored_size = 0;
  CHECK(restorer != NULL);
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
    status = tarvix_restorer_finish(restorer, restored + *restored_size, room, &written);
    *restored_size += written;
  } while (tarvix_restorer_holds_output(restorer));
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

static void test_strings(void) {
  int status;
  for (status = TARVIX_OK; status <= TARVIX_OUTPUT_TOO_SMALL; ++status) {
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
  test_strings();
  if (failures) {
    fprintf(stderr, "c_interface_test: %d checks failed\n", failures);
    return EXIT_FAILURE;
  }
  printf("c_interface_test: all checks passed\n");
  return EXIT_SUCCESS;
}
