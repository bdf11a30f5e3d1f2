/* How the size of the output area handed to zlib's inflate changes the cost
 * of decompressing a package's file data. Reads a zlib stream (made by
 * make_stream below from any file) and inflates it with Z_PARTIAL_FLUSH into
 * output areas of several sizes, reading the input in steps of several
 * sizes, as the installer's inflating buffer does; prints the CPU time of
 * each. Build: cc -O2 -o inflate_chunks inflate_chunks.c -lz
 * Run: ./inflate_chunks FILE   (FILE is compressed at level 6 first) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

static double cpu_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static unsigned char* read_file(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  fseek(f, 0, SEEK_END);
  *size = (size_t)ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char* data = malloc(*size);
  if (fread(data, 1, *size, f) != *size) return NULL;
  fclose(f);
  return data;
}

/* Inflates the whole stream; the output is copied once more into a 16 KiB
 * chunk, as the installer's copy loop does, and then dropped. */
static double inflate_with(const unsigned char* in, size_t in_size, size_t in_step,
                           size_t out_area, size_t* produced) {
  z_stream z;
  memset(&z, 0, sizeof z);
  inflateInit(&z);
  unsigned char* area = malloc(out_area);
  static unsigned char chunk[16384];
  size_t offset = 0, total = 0;
  double start = cpu_seconds();
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    if (z.avail_in == 0) {
      size_t n = in_size - offset < in_step ? in_size - offset : in_step;
      if (n == 0) break;
      z.next_in = (Bytef*)in + offset;
      z.avail_in = (uInt)n;
      offset += n;
    }
    z.next_out = area;
    z.avail_out = (uInt)out_area;
    result = inflate(&z, Z_PARTIAL_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) break;
    size_t got = out_area - z.avail_out;
    for (size_t done = 0; done < got;) {
      size_t n = got - done < sizeof chunk ? got - done : sizeof chunk;
      memcpy(chunk, area + done, n);
      done += n;
    }
    total += got;
  }
  double seconds = cpu_seconds() - start;
  inflateEnd(&z);
  free(area);
  *produced = total;
  return seconds;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  size_t size;
  unsigned char* data = read_file(argv[1], &size);
  if (!data) {
    perror(argv[1]);
    return 1;
  }
  uLongf packed_size = compressBound(size);
  unsigned char* packed = malloc(packed_size);
  if (compress2(packed, &packed_size, data, size, 6) != Z_OK) return 1;
  printf("%zu bytes, %lu compressed at level 6\n", size, (unsigned long)packed_size);
  const size_t areas[] = {4096, 16384, 65536, 262144};
  const size_t steps[] = {4096, 65536};
  for (size_t s = 0; s < 2; ++s)
    for (size_t a = 0; a < 4; ++a) {
      double best = 1e9;
      size_t produced = 0;
      for (int run = 0; run < 5; ++run) {
        double t = inflate_with(packed, packed_size, steps[s], areas[a], &produced);
        if (t < best) best = t;
      }
      printf("input steps %6zu, output area %6zu: %.3f s CPU (best of 5)%s\n", steps[s],
             areas[a], best, produced == size ? "" : "  OUTPUT SIZE WRONG");
    }
  return 0;
}
