/* stream_file: the tarvix tool's job in bounded memory, through the streaming
 * C interface <tarvix/tarvix.h> (C99).
 *   stream_file SOURCE TARGET
 * restores SOURCE into TARGET if SOURCE opens with the file magic, and
 * compresses it otherwise; TARGET gets the tool's exact bytes. */
#include <tarvix/tarvix.h>

#include <stdio.h>
#include <string.h>

/* Pieces of the input and room for the output; the coders hold the rest. */
static unsigned char input[64 * 1024];
static unsigned char output[64 * 1024];

static int write_all(FILE* target, size_t size) { return fwrite(output, 1, size, target) == size; }

/* Compresses the source: `have` bytes of it are already in `input`. */
static int compress_stream(FILE* source, FILE* target, size_t have) {
  tarvix_compressor* compressor = tarvix_compressor_create();
  size_t used = 0;
  size_t written = 0;
  size_t held = 0;
  int good = compressor != NULL;
  while (good && have > 0) {
    size_t taken = 0;
    while (good && taken < have) {
      tarvix_compressor_compress(compressor, input + taken, have - taken, &used, output,
                                 sizeof output, &written);
      taken += used;
      good = write_all(target, written);
    }
    have = fread(input, 1, sizeof input, source);
  }
  /* The end of the file: the last block, then whatever the compressor holds. */
  do {
    tarvix_compressor_end(compressor, output, sizeof output, &written, &held);
    good = good && write_all(target, written);
  } while (good && held != 0);
  tarvix_compressor_free(compressor);
  return good && !ferror(source);
}

/* Restores the source: `have` bytes of it are already in `input`. */
static int restore_stream(FILE* source, FILE* target, size_t have) {
  tarvix_restorer* restorer = tarvix_restorer_create();
  tarvix_status status = TARVIX_OK;
  size_t used = 0;
  size_t written = 0;
  size_t held = 0;
  int good = restorer != NULL;
  while (good && status == TARVIX_OK && have > 0) {
    size_t taken = 0;
    while (good && status == TARVIX_OK && taken < have) {
      status = tarvix_restorer_restore(restorer, input + taken, have - taken, &used, output,
                                       sizeof output, &written);
      taken += used;
      good = write_all(target, written);
    }
    have = fread(input, 1, sizeof input, source);
  }
  /* The end of the file, or a fault: what the restorer holds, then the outcome. */
  do {
    status = tarvix_restorer_end(restorer, output, sizeof output, &written, &held);
    good = good && write_all(target, written);
  } while (good && held != 0);
  tarvix_restorer_free(restorer);
  if (good && status != TARVIX_OK) {
    fprintf(stderr, "stream_file: the source cannot be restored in full: %s\n",
            tarvix_status_string(status));
  }
  return good && status == TARVIX_OK && !ferror(source);
}

int main(int argc, char* argv[]) {
  FILE* source = NULL;
  FILE* target = NULL;
  size_t have = 0;
  int good = 0;
  if (argc != 3) {
    fprintf(stderr, "usage: stream_file SOURCE TARGET\n");
    return 2;
  }
  source = fopen(argv[1], "rb");
  if (source == NULL || (target = fopen(argv[2], "wb")) == NULL) {
    fprintf(stderr, "stream_file: cannot open %s\n", source == NULL ? argv[1] : argv[2]);
    if (source != NULL) {
      fclose(source);
    }
    return 1;
  }
  have = fread(input, 1, sizeof input, source);
  if (have >= 4 && memcmp(input, "\xD8\xC7\xB6\xA5", 4) == 0) {
    good = restore_stream(source, target, have);
  } else {
    good = compress_stream(source, target, have);
  }
  fclose(source);
  if (fclose(target) != 0) {
    good = 0;
  }
  return good ? 0 : 1;
}
