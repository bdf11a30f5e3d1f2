// The target disk's record, layout and texts: what every installation
// writes onto a router's disk.
#include "setup/disk_layout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "foundation/streams.h"
#include "setup/boot/boot_program.h"
#include "setup/disk_preparation.h"
#include "support/scratch_file.h"

namespace {

disk_record disk_of(const char* device, uint32_t cylinders, uint32_t heads, uint32_t sectors) {
  disk_record disk{};
  snprintf(disk.device, sizeof disk.device, "%s", device);
  set_disk_geometry(disk, cylinders, heads, sectors);
  return disk;
}

std::string layout(const disk_record& disk, int old_entries) {
  char text[512];
  size_t length = format_partition_layout(disk, old_entries, text, sizeof text);
  return std::string(text, length);
}

}  // namespace

// Flags and the boot partition at the edges: 1023/1024 cylinders, exactly
// 40 MiB and one cylinder more, the boot partition for two geometries.
TEST(disk_layout, flags_and_partitions_at_their_edges) {
  struct {
    uint32_t cylinders, heads, sectors;
    bool separate_boot, journaled;
    const char* layout;
  } cases[] = {
      {1023, 16, 63, false, true, "0,1023,83,*\n"},
      {1024, 16, 63, true, true, "0,21,83,*\n21,1003,83,*\n"},
      {1024, 255, 63, true, true, "0,2,83,*\n2,1022,83,*\n"},
      {80, 16, 64, false, false, "0,80,83,*\n"},  // 80 x 524,288 = 41,943,040 bytes
      {81, 16, 64, false, true, "0,81,83,*\n"},
  };
  for (const auto& c : cases) {
    disk_record disk = disk_of("/dev/hda", c.cylinders, c.heads, c.sectors);
    SCOPED_TRACE(c.cylinders);
    EXPECT_EQ(disk.separate_boot, c.separate_boot);
    EXPECT_EQ(disk.journaled, c.journaled);
    EXPECT_EQ(layout(disk, 0), c.layout);
  }
  EXPECT_EQ(boot_partition_cylinders(disk_of("/dev/hda", 2000, 255, 63)), 2u);
}

// Entries of the old table beyond the new layout are emptied, once each.
TEST(disk_layout, old_entries_beyond_the_layout_are_emptied) {
  disk_record single = disk_of("/dev/hda", 100, 16, 63);
  EXPECT_EQ(layout(single, 4), "0,100,83,*\n0,0,0\n0,0,0\n0,0,0\n");
  EXPECT_EQ(layout(single, 1), "0,100,83,*\n");
  disk_record two = disk_of("/dev/hda", 1024, 16, 63);
  EXPECT_EQ(layout(two, 3), "0,21,83,*\n21,1003,83,*\n0,0,0\n");
  char small[12];
  EXPECT_EQ(format_partition_layout(single, 4, small, sizeof small), 0u);
}

// The two-partition texts are checked on installed disks; these are the
// single partition of a disk of 40 MiB, which is not journaled.
TEST(disk_layout, lilo_conf_and_fstab_of_a_small_disk) {
  char text[512];
  disk_record small = disk_of("/dev/hdb", 80, 16, 64);
  EXPECT_EQ(std::string(text, format_lilo_conf(small, text, sizeof text)),
            "boot=/dev/hdb1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
            "image=/boot/vmlinuz\n  label=System\n  root=/dev/hdb1\n  read-only\n");
  EXPECT_EQ(std::string(text, format_fstab(small, text, sizeof text)),
            "/dev/hdb1  /     ext2 defaults 1 1\nnone /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
}

// Lines of "sfdisk -g": what counts as a disk, and what is skipped.
TEST(disk_layout, geometry_lines) {
  disk_record disk{};
  ASSERT_TRUE(parse_geometry_line("/dev/hdc: 1024 cylinders, 255 heads, 63 sectors/track", disk));
  EXPECT_STREQ(disk.device, "/dev/hdc");
  EXPECT_EQ(disk.cylinders, 1024u);
  EXPECT_EQ(disk.bytes_per_cylinder, 255u * 63 * 512);
  ASSERT_TRUE(parse_geometry_line("/dev/sda 10 cylinders 4 heads 32 sectors", disk));
  EXPECT_STREQ(disk.device, "/dev/sda");
  const char* skipped[] = {
      "Disk /dev/hda: 1024 cylinders, 255 heads, 63 sectors/track",
      "/dev/hda: unknown geometry",
      "/dev/hda: 1024 cylinders, 255 heads",
      "/dev/hda: 0 cylinders, 255 heads, 63 sectors/track",
      "/dev/hda: 10 cylinders, 70000 heads, 70000 sectors/track",
      // a name that does not fit the record is skipped, never cut
      "/dev/a-device-name-of-thirty-two-c: 10 cylinders, 4 heads, 32 sectors/track",
  };
  for (const char* line : skipped) {
    disk_record untouched = disk;
    EXPECT_FALSE(parse_geometry_line(line, disk)) << line;
    EXPECT_STREQ(disk.device, untouched.device);
  }
  EXPECT_TRUE(parse_geometry_line("/dev/a-device-name-of-thirty-1c: 10 cylinders, 4 heads, 32 x", disk));

  // Lines too long to be read whole are skipped; five disks fill four.
  scratch_file listing("/dev/hda: 10 cylinders, 16 heads, 63 sectors/track\n" + std::string(130, ' ') +
                       "\n/dev/hdb: 20 cylinders, 16 heads, 63 sectors/track" + std::string(80, ' ') +
                       "\nDisk\n/dev/hdc: 30 c, 1 h, 1 s\n/dev/hdd: 40 c, 1 h, 1 s\n/dev/hde: 50 c, 1 h, 1 s\n/dev/hdf: 60 c, 1 h, 1 s\n");
  file_input_stream stream(listing.path());
  disk_record disks[5] = {};
  EXPECT_EQ(parse_geometry_listing(stream, disks, 4), 4);
  EXPECT_STREQ(disks[1].device, "/dev/hdc");
  EXPECT_STREQ(disks[3].device, "/dev/hde");
  EXPECT_EQ(disks[4].cylinders, 0u);
}

// The boot program goes into bytes 0-183; 184-255 and 336-445 are zeroed;
// 256-335, the partition table and the signature stay as they were.
TEST(disk_layout, boot_program_is_placed_around_what_other_tools_keep) {
  std::string old_sector(512, '\0');
  for (size_t i = 0; i < 512; ++i) old_sector[i] = static_cast<char>(0x80 | (i % 97));
  scratch_file device(old_sector);
  disk_record disk{};
  snprintf(disk.device, sizeof disk.device, "%s", device.path());
  ASSERT_TRUE(write_boot_program(disk));
  std::string sector = device.contents();
  ASSERT_EQ(sector.size(), 512u);
  EXPECT_EQ(sector.substr(0, 184),
            std::string(reinterpret_cast<const char*>(boot_program), BOOT_PROGRAM_SIZE));
  EXPECT_EQ(sector.substr(184, 72), std::string(72, '\0'));
  EXPECT_EQ(sector.substr(256, 80), old_sector.substr(256, 80));
  EXPECT_EQ(sector.substr(336, 110), std::string(110, '\0'));
  EXPECT_EQ(sector.substr(446), old_sector.substr(446));
}
