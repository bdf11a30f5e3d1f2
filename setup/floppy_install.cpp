#include "setup/floppy_install.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "foundation/fd_buffers.h"
#include "package_format/package_reader.h"
#include "setup/child_programs.h"
#include "setup/console.h"
#include "setup/disk_preparation.h"
#include "setup/entry.h"
#include "setup/media_install.h"

namespace {

constexpr size_t INSTALLER_PIECE = 4096;

uint32_t data_size(const floppy_part_header& header) {
  return header.block_size - FLOPPY_BLOCK_CRC_SIZE;
}
uint32_t payload_blocks(const floppy_part_header& header) {
  return header.blocks_per_group - header.parity_blocks;
}
uint32_t group_bytes(const floppy_part_header& header) {
  return (uint32_t)header.block_size * header.blocks_per_group;
}

void log_repair(int block) {
  int fd = open(log_device, O_WRONLY | O_APPEND | O_NOCTTY);
  if (fd < 0) return;
  char line[48];
  int length = snprintf(line, sizeof line, "Recovering bad block #%d\n", block);
  ssize_t ignored = write(fd, line, (size_t)length);
  (void)ignored;
  close(fd);
}

// A part's groups and payload, released on every way out.
struct part_buffers {
  unsigned char* group = nullptr;
  unsigned char* payload = nullptr;
  ~part_buffers() {
    free(group);
    free(payload);
  }
};

// Reads, checks and repairs the groups into the payload; false for a bad floppy.
bool read_payload(int part_file, const floppy_part_header& header, part_buffers& buffers,
                  progress_bar& bar) {
  uint32_t filled = 0;
  while (filled < header.payload_size) {
    int repaired;
    if (read_all(part_file, buffers.group, group_bytes(header)) != group_bytes(header) ||
        !repair_group(buffers.group, header, repaired))
      return false;
    if (repaired >= 0) log_repair(repaired);
    progress_update(bar, ++bar.step);
    for (uint32_t block = 0; block < payload_blocks(header) && filled < header.payload_size;
         ++block) {
      uint32_t part = header.payload_size - filled;
      if (part > data_size(header)) part = data_size(header);
      memcpy(buffers.payload + filled, buffers.group + block * header.block_size, part);
      filled += part;
    }
  }
  return true;
}

// Asks for the floppy of part index until one with the part file is in the
// drive; the open part file, or -1.
int open_floppy_part(install_context&, unsigned index) {
  for (;;) {
    char ordinal[16];
    floppy_ordinal(index + 2, ordinal, sizeof ordinal);
    console_print("Please insert %s installation floppy.\n", ordinal);
    console_print("Press ENTER when ready");
    wait_for_key(*console_terminal, '\n');
    console_print("\n");
    if (mount("/dev/fd0", "/floppy", "vfat", 0, nullptr) != 0) {
      console_print("ERROR: No floppy, or bad floppy\n\n");
      continue;
    }
    char path[32];
    snprintf(path, sizeof path, "/floppy/tessaron.n%2.2u", index);
    int fd = open(path, O_RDONLY);
    if (fd >= 0) return fd;
    if (errno != ENOENT) return -1;
    console_print("Wrong floppy!\n");
    umount("/floppy");
    console_print("\n");
  }
}

}  // namespace

void floppy_ordinal(unsigned number, char* text, size_t size) {
  const char* suffix = number == 1 ? "st" : number == 2 ? "nd" : number == 3 ? "rd" : "th";
  snprintf(text, size, "%u%s", number, suffix);
}

bool accept_part_header(const unsigned char* bytes, uint64_t file_size,
                        const floppy_part_header& held, floppy_part_header& header) {
  floppy_part_header candidate;
  candidate.magic = decode_u32(bytes);
  candidate.payload_size = decode_u32(bytes + 4);
  candidate.set_identifier = decode_u32(bytes + 8);
  candidate.part_index = decode_u16(bytes + 12);
  candidate.part_count = decode_u16(bytes + 14);
  candidate.block_size = decode_u16(bytes + 16);
  candidate.blocks_per_group = decode_u16(bytes + 18);
  candidate.parity_blocks = decode_u16(bytes + 20);
  memcpy(candidate.unused, bytes + 22, sizeof candidate.unused);
  if (candidate.magic != FLOPPY_PART_MAGIC) return false;
  if (held.magic == FLOPPY_PART_MAGIC && candidate.set_identifier != held.set_identifier)
    return false;
  // Nothing below may divide by zero, loop without end or size memory
  // beyond what the part file holds.
  if (candidate.block_size <= FLOPPY_BLOCK_CRC_SIZE || candidate.blocks_per_group == 0 ||
      candidate.parity_blocks >= candidate.blocks_per_group || candidate.payload_size == 0 ||
      group_bytes(candidate) > FLOPPY_GROUP_LIMIT)
    return false;
  uint64_t groups_in_file = file_size < FLOPPY_PART_HEADER_SIZE
                                ? 0
                                : (file_size - FLOPPY_PART_HEADER_SIZE) / group_bytes(candidate);
  uint64_t capacity = groups_in_file * payload_blocks(candidate) * data_size(candidate);
  if (candidate.payload_size > capacity) return false;
  header = candidate;
  return true;
}

uint32_t part_group_count(const floppy_part_header& header) {
  uint32_t blocks = (header.payload_size + header.block_size - 1) / header.block_size;
  return (blocks + payload_blocks(header) - 1) / payload_blocks(header);
}

bool repair_group(unsigned char* group, const floppy_part_header& header, int& repaired) {
  repaired = -1;
  int bad = -1;
  uint32_t data = data_size(header);
  for (uint32_t block = 0; block < header.blocks_per_group; ++block) {
    const unsigned char* bytes = group + block * header.block_size;
    uint32_t crc = (uint32_t)crc32(0, bytes, data);
    if (crc == decode_u32(bytes + data)) continue;
    if (bad >= 0) return false;
    bad = (int)block;
  }
  if (bad < 0 || (uint32_t)bad >= payload_blocks(header)) return true;
  if (header.parity_blocks != 1) return false;
  unsigned char* rebuilt = group + (uint32_t)bad * header.block_size;
  memset(rebuilt, 0, data);
  for (uint32_t block = 0; block < header.blocks_per_group; ++block) {
    if ((int)block == bad) continue;
    const unsigned char* bytes = group + block * header.block_size;
    for (uint32_t i = 0; i < data; ++i) rebuilt[i] ^= bytes[i];
  }
  repaired = bad;
  return true;
}

long read_floppy_part(install_context& context, int part_file, program_writer& installer) {
  progress_bar bar;
  unsigned char bytes[FLOPPY_PART_HEADER_SIZE];
  struct stat status;
  floppy_part_header header;
  if (fstat(part_file, &status) != 0 || read_all(part_file, bytes, sizeof bytes) != sizeof bytes ||
      !accept_part_header(bytes, (uint64_t)status.st_size, context.floppy, header))
    return 0;
  context.floppy = header;
  console_print("Installing part %d of %d...\n", header.part_index + 1, header.part_count);
  progress_start(bar);
  bar.total = part_group_count(header) + 2;
  part_buffers buffers;
  buffers.payload = static_cast<unsigned char*>(malloc(header.payload_size));
  buffers.group = static_cast<unsigned char*>(malloc(group_bytes(header)));
  if (!buffers.payload || !buffers.group || !read_payload(part_file, header, buffers, bar)) {
    progress_end(bar);
    return 0;
  }
  for (uint32_t written = 0; written < header.payload_size;) {
    uint32_t piece = header.payload_size - written;
    if (piece > INSTALLER_PIECE) piece = INSTALLER_PIECE;
    installer.write((const char*)buffers.payload + written, piece);
    installer.flush();
    if (installer.fail()) {
      progress_end(bar);
      return -1;
    }
    written += piece;
    if (header.payload_size - written < header.payload_size / 2) progress_update(bar, ++bar.step);
  }
  progress_update(bar, bar.total);
  progress_end(bar);
  return (long)header.payload_size;
}

bool install_floppy_set(install_context& context) {
  program_writer* installer =
      open_program_writer("/sbin/installer", "-q", "-r", "/mnt", "-", nullptr);
  if (!installer) {
    console_print("\nFATAL ERROR: couldn't start install\n");
    return false;
  }
  bool installed = true;
  for (unsigned part = 0; installed && part < context.floppy.part_count;) {
    console_print("\n");
    int part_file = open_floppy_part(context, part);
    if (part_file < 0) {
      console_print("\nFATAL ERROR: Installation error\n");
      installed = false;
      break;
    }
    long result = read_floppy_part(context, part_file, *installer);
    close(part_file);
    if (result == 0) {
      console_print("\nERROR: bad floppy, please replace it.\n");
      umount("/floppy");
    } else if (result < 0) {
      console_print("\nFATAL ERROR: Installation error\n");
      installed = false;
    } else {
      umount("/floppy");
      ++part;
    }
  }
  close_program(installer);  // the installer's status is not used
  return installed;
}

bool install_from_floppies(install_context& context) {
  show_welcome("floppy installation");
  if (!find_target_disk(context) || !confirm_erase(context)) return false;
  bool keep = ask_keep_config(context);
  if (!prepare_disk(context, keep ? keep_config::yes : keep_config::no, boot_sector::write) ||
      !install_floppy_set(context))
    return false;
  finish_installation(context);
  console_print("\nSoftware installed.\nRemove boot floppy\n");
  return true;
}
