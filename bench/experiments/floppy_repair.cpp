// What repairing damaged blocks costs setup: one full floppy part (1024-byte
// blocks, 16 per group, 1 parity, as mkmedia makes them) read through
// read_floppy_part into /dev/null, whole and with one damaged payload block
// in every group. Build against the native build's libraries:
//   g++ -O2 -std=c++17 -fno-rtti -I. bench/experiments/floppy_repair.cpp build/setup/libsetup_core.a \
//     build/menu/libmenu.a build/package_format/libpackage_format.a \
//     build/foundation/libfoundation.a build/setup/boot/libboot_program.a -lz -o /tmp/floppy_repair
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <string>

#include "setup/floppy_install.h"

namespace {

constexpr uint32_t BLOCK = 1024, PER_GROUP = 16, GROUPS = 88;  // 1,441,792 bytes of groups

void put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += (char)(v >> (8 * i));
}
void put16(std::string& out, uint32_t v) {
  for (int i = 0; i < 2; ++i) out += (char)(v >> (8 * i));
}

std::string make_part(bool damaged) {
  uint32_t data = BLOCK - 4, payload = GROUPS * (PER_GROUP - 1) * data;
  std::string out;
  put32(out, FLOPPY_PART_MAGIC);
  put32(out, payload);
  put32(out, 1);
  put16(out, 0);
  put16(out, 1);
  put16(out, BLOCK);
  put16(out, PER_GROUP);
  put16(out, 1);
  out.append(10, '\0');
  unsigned seed = 1;
  for (uint32_t g = 0; g < GROUPS; ++g) {
    std::string parity(data, '\0');
    for (uint32_t b = 0; b < PER_GROUP - 1; ++b) {
      std::string block(data, '\0');
      for (char& c : block) c = (char)((seed = seed * 1103515245 + 12345) >> 16);
      for (uint32_t i = 0; i < data; ++i) parity[i] ^= block[i];
      uint32_t crc = (uint32_t)crc32(0, (const Bytef*)block.data(), data);
      if (damaged && b == g % (PER_GROUP - 1)) block[17] ^= 1;
      out += block;
      put32(out, crc);
    }
    out += parity;
    put32(out, (uint32_t)crc32(0, (const Bytef*)parity.data(), data));
  }
  return out;
}

double seconds_per_part(const std::string& part, int rounds) {
  int fd = memfd_create("part", 0);
  if (write(fd, part.data(), part.size()) != (ssize_t)part.size()) return -1;
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int i = 0; i < rounds; ++i) {
    lseek(fd, 0, SEEK_SET);
    install_context context{};
    context.floppy.part_count = 1;
    program_writer sink(open("/dev/null", O_WRONLY));
    if (read_floppy_part(context, fd, sink) <= 0) return -1;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  close(fd);
  return ((end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9) / rounds;
}

}  // namespace

int main() {
  log_device = "/dev/null";
  int console = dup(1);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);  // the progress bar
  std::string whole = make_part(false), damaged = make_part(true);
  double a = seconds_per_part(whole, 40), b = seconds_per_part(damaged, 40);
  dprintf(console, "one floppy part, %u groups, %.0f KiB of payload\n", GROUPS,
          GROUPS * (PER_GROUP - 1) * (BLOCK - 4) / 1024.0);
  dprintf(console, "  whole:                       %.2f ms\n", a * 1000);
  dprintf(console, "  one damaged block per group: %.2f ms (%.2f ms more, %.1f us a repair)\n",
          b * 1000, (b - a) * 1000, (b - a) / GROUPS * 1e6);
  return 0;
}
