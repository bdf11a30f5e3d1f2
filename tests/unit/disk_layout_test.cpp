// What every installation writes onto a router's disk: the disk's record and
// layout, its texts, and the boot program with its place in the first sector.
#include "setup/disk_layout.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/streams.h"
#include "setup/boot/boot_program.h"
#include "setup/disk_preparation.h"
#include "support/bytes.h"
#include "support/scratch_file.h"

namespace {

disk_record disk_of(uint32_t cylinders, uint32_t heads, uint32_t sectors,
                    const char* device = "/dev/hda") {
  disk_record disk{};
  snprintf(disk.device, sizeof disk.device, "%s", device);
  set_disk_geometry(disk, cylinders, heads, sectors);
  return disk;
}

const std::string program(reinterpret_cast<const char*>(boot_program), BOOT_PROGRAM_SIZE);
constexpr unsigned RUN = 0x600;  // where the program runs after copying itself

bool contains(std::initializer_list<int> bytes) {
  return program.find(std::string(bytes.begin(), bytes.end())) != std::string::npos;
}

// "mov $value, %reg16" into any register: B8+r, then the value little-endian.
bool moves_immediate(unsigned value) {
  for (int reg = 0; reg < 8; ++reg)
    if (contains({0xb8 + reg, (int)(value & 0xff), (int)(value >> 8)})) return true;
  return false;
}

}  // namespace

// Flags and layouts at 1023/1024 cylinders and 40 MiB, a boot partition
// that would fill the disk, old table entries beyond the layout emptied.
TEST(disk_layout, flags_and_layouts_at_their_edges) {
  struct {
    uint32_t cylinders, heads, sectors;
    int old_entries;
    bool separate_boot, journaled;
    const char* layout;
  } cases[] = {
      {1023, 16, 63, 0, false, true, "0,1023,83,*\n"},
      {1024, 16, 63, 3, true, true, "0,21,83,*\n21,1003,83,*\n0,0,0\n"},
      {1024, 255, 63, 0, true, true, "0,2,83,*\n2,1022,83,*\n"},
      {80, 16, 64, 4, false, false, "0,80,83,*\n0,0,0\n0,0,0\n0,0,0\n"},  // 41,943,040 bytes
      {81, 16, 64, 1, false, true, "0,81,83,*\n"},
      {1024, 1, 1, 0, true, false, ""},
  };
  for (const auto& c : cases) {
    disk_record disk = disk_of(c.cylinders, c.heads, c.sectors);
    SCOPED_TRACE(c.cylinders);
    EXPECT_EQ(disk.separate_boot, c.separate_boot);
    EXPECT_EQ(disk.journaled, c.journaled);
    char text[512];
    EXPECT_EQ(std::string(text, format_partition_layout(disk, c.old_entries, text, sizeof text)),
              c.layout);
  }
  char small[12];
  EXPECT_EQ(format_partition_layout(disk_of(100, 16, 63), 4, small, sizeof small), 0u);
}

// The two-partition texts are checked on installed disks; here the single
// partition of a 40 MiB disk, which is not journaled.
TEST(disk_layout, lilo_conf_and_fstab_of_a_small_disk) {
  char text[512];
  disk_record small = disk_of(80, 16, 64, "/dev/hdb");
  EXPECT_EQ(std::string(text, format_lilo_conf(small, text, sizeof text)),
            "boot=/dev/hdb1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
            "image=/boot/vmlinuz\n  label=System\n  root=/dev/hdb1\n  read-only\n");
  EXPECT_EQ(std::string(text, format_fstab(small, text, sizeof text)),
            "/dev/hdb1  /     ext2 defaults 1 1\nnone /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
}

// Lines of "sfdisk -g": what counts as a disk, and what is skipped untouched.
TEST(disk_layout, geometry_lines) {
  disk_record disk{};
  ASSERT_TRUE(parse_geometry_line("/dev/hdc: 1024 cylinders, 255 heads, 63 sectors/track", disk));
  EXPECT_STREQ(disk.device, "/dev/hdc");
  EXPECT_TRUE(disk.cylinders == 1024 && disk.bytes_per_cylinder == 255 * 63 * 512);
  ASSERT_TRUE(parse_geometry_line("/dev/sda-of-thirty-one-bytes-12: 10 c 4 h 32 x", disk));
  for (const char* line : {
           "Disk /dev/hda: 1024 cylinders, 255 heads, 63 sectors/track",
           "/dev/hda: unknown geometry", "/dev/hda: 1024 cylinders, 255 heads",
           "/dev/hda: 0 cylinders, 255 heads, 63 sectors/track",
           "/dev/hda: 10 cylinders, 70000 heads, 70000 sectors/track",
           "/dev/sda-of-thirty-two-bytes-123: 10 cylinders, 4 heads, 32 sectors",  // never cut
       }) {
    EXPECT_FALSE(parse_geometry_line(line, disk)) << line;
    EXPECT_STREQ(disk.device, "/dev/sda-of-thirty-one-bytes-12");
  }

  // Lines too long to be read whole are skipped; five disks fill four.
  scratch_file listing("/dev/hda: 10 c, 16 h, 63 s\n" + std::string(130, ' ') +
                       "\n/dev/hdb: 20 c, 16 h, 63 s" + std::string(110, ' ') + "\nDisk\n" +
                       "/dev/hdc: 30 c, 1 h, 1 s\n/dev/hdd: 40 c, 1 h, 1 s\n"
                       "/dev/hde: 50 c, 1 h, 1 s\n/dev/hdf: 60 c, 1 h, 1 s\n");
  file_input_stream stream(listing.path());
  disk_record disks[5] = {};
  EXPECT_EQ(parse_geometry_listing(stream, disks, 4), 4);
  EXPECT_STREQ(disks[1].device, "/dev/hdc");
  EXPECT_EQ(disks[4].cylinders, 0u);
}

// The program goes into bytes 0-183; 184-255 and 336-445 are zeroed;
// 256-335, the partition table and the signature stay as they were.
TEST(disk_layout, boot_program_is_placed_around_what_other_tools_keep) {
  std::string old_sector = pattern_bytes(512, 7);
  scratch_file device(old_sector);
  ASSERT_TRUE(write_boot_program(disk_of(1, 1, 1, device.path())));
  EXPECT_EQ(device.contents(), program + std::string(72, '\0') + old_sector.substr(256, 80) +
                                   std::string(110, '\0') + old_sector.substr(446));
}

// The texts follow the code, then only zeros; the code prints them from the
// relocated copy, into which the far jump after the copy leads.
TEST(boot_program, texts_constants_and_the_jump_into_the_copy) {
  const std::string texts("Error loading operating system\0Missing operating system\0", 56);
  size_t at = program.find(texts);
  ASSERT_TRUE(at != std::string::npos && at > 0);
  EXPECT_NE(program[at - 1], '\0') << "code must end where the texts begin";
  EXPECT_EQ(program.find_first_not_of('\0', at + texts.size()), std::string::npos);
  EXPECT_TRUE(moves_immediate(RUN + at) && moves_immediate(RUN + at + 31)) << "text addresses";
  size_t jump = program.find('\xea');
  ASSERT_NE(jump, std::string::npos);
  EXPECT_EQ(program.substr(jump + 1, 4), le16(RUN + jump + 5) + le16(0));

  const std::pair<const char*, bool> facts[] = {
      {"stack and buffer at 0x7C00", moves_immediate(0x7c00)},
      {"256 words to 0x0600",
       moves_immediate(RUN) && moves_immediate(256) && contains({0xf3, 0xa5})},
      {"partition table at 0x1BE of the copy", moves_immediate(RUN + 0x1be)},
      {"five reads of one sector", moves_immediate(5) && moves_immediate(0x0201)},
      {"teletype page 0, attribute 7", moves_immediate(0x0007) && contains({0xb4, 0x0e})},
      {"signature 55 AA at 0x7DFE", contains({0x81, 0x3e, 0xfe, 0x7d, 0x55, 0xaa})},
      {"jump to 0000:7C00", contains({0xea, 0x00, 0x7c, 0x00, 0x00})},
      {"int 13, 18, 10",
       contains({0xcd, 0x13}) && contains({0xcd, 0x18}) && contains({0xcd, 0x10})},
  };
  for (const auto& [what, found] : facts) EXPECT_TRUE(found) << what;
}
