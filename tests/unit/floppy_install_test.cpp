// Floppy set parts: header acceptance, group check and repair, the payload
// taken from the groups.
#include "setup/floppy_install.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/scratch_file.h"

namespace {

struct layout {
  uint32_t block_size = 64, per_group = 4, parity = 1;
};

std::string header_bytes(uint32_t payload, const layout& l, uint32_t set = 77) {
  return le32(FLOPPY_PART_MAGIC) + le32(payload) + le32(set) + le16(0) + le16(1) +
         le16(l.block_size) + le16(l.per_group) + le16(l.parity) + std::string(10, '\0');
}

std::string block_of(const std::string& data) {
  return data + le32((uint32_t)crc32(0, (const Bytef*)data.data(), (uInt)data.size()));
}

// A whole part file: header, then groups of payload blocks and XOR parity.
std::string part_file(const std::string& payload, uint32_t set, const layout& l = layout()) {
  std::string out = header_bytes((uint32_t)payload.size(), l, set);
  uint32_t data = l.block_size - 4;
  for (size_t at = 0; at < payload.size();) {
    std::string parity(data, '\0');
    for (uint32_t b = 0; b < l.per_group - l.parity; ++b, at += data) {
      std::string piece = at < payload.size() ? payload.substr(at, data) : "";
      piece.resize(data, '\0');
      for (uint32_t i = 0; i < data; ++i) parity[i] ^= piece[i];
      out += block_of(piece);
    }
    for (uint32_t p = 0; p < l.parity; ++p) out += block_of(parity);
  }
  return out;
}

bool accept(const std::string& file, const floppy_part_header& held, floppy_part_header& header) {
  return accept_part_header((const unsigned char*)file.data(), file.size(), held, header);
}

}  // namespace

// What a header must be before anything in it is used: the magic, the set,
// and a layout that divides, ends and fits the file.
TEST(floppy_install, part_headers_are_judged_before_they_are_trusted) {
  std::string good = part_file(pattern_bytes(500), 77);
  floppy_part_header none{}, header, other;
  ASSERT_TRUE(accept(good, none, header));
  EXPECT_TRUE(accept(good, header, other)) << "the same set";
  other.set_identifier = 78;
  EXPECT_FALSE(accept(good, other, header)) << "another set";

  const std::string filler(400, 'z');
  const std::pair<const char*, std::string> bad[] = {
      {"magic", "x" + good.substr(1)},
      {"block size 4", header_bytes(10, {4, 4, 1}) + filler},
      {"no blocks", header_bytes(10, {64, 0, 0}) + filler},
      {"parity not fewer", header_bytes(10, {64, 2, 2}) + filler},
      {"payload 0", header_bytes(0, {}) + good.substr(32)},
      {"group above 1 MiB", header_bytes(10, {65535, 17, 1}) + filler},
      {"payload beyond the file", header_bytes(541, {}) + good.substr(32)},  // 3 x 3 x 60
      {"file cut inside", good.substr(0, good.size() - 1)},
  };
  for (const auto& [what, file] : bad) EXPECT_FALSE(accept(file, none, header)) << what;
}

// One damaged block per group: payload blocks are rebuilt, parity is not
// needed; two damaged blocks, or two parity blocks, cannot be repaired.
TEST(floppy_install, groups_are_checked_and_repaired) {
  struct {
    layout l;
    std::vector<int> damaged;
    bool good;
    int repaired;
  } cases[] = {
      {{}, {}, true, -1},      {{}, {1}, true, 1},           {{}, {3}, true, -1},
      {{}, {0, 2}, false, -1}, {{64, 5, 2}, {0}, false, -1}, {{64, 5, 2}, {4}, true, -1},
  };
  for (const auto& c : cases) {
    std::string payload = pattern_bytes(60 * (c.l.per_group - c.l.parity), 5);
    std::string file = part_file(payload, 1, c.l);
    floppy_part_header none{}, header;
    ASSERT_TRUE(accept(file, none, header));
    std::string group = file.substr(32);
    for (int block : c.damaged) group[block * c.l.block_size + 7] ^= 0x40;
    int repaired;
    EXPECT_EQ(repair_group((unsigned char*)&group[0], header, repaired), c.good);
    EXPECT_EQ(repaired, c.repaired);
    for (uint32_t b = 0; c.good && b < c.l.per_group - c.l.parity; ++b)
      EXPECT_EQ(group.substr(b * 64, 60), payload.substr(b * 60, 60));
  }
}

// A part with a damaged block in one group reaches the installer whole and
// exactly; the rest of the last group is not payload. A bad part sends nothing.
TEST(floppy_install, part_payload_reaches_the_installer_exactly) {
  std::string payload = pattern_bytes(1000, 9);
  std::string file = part_file(payload, 3), damaged = file;
  file[32 + 64 * 4 + 10] ^= 1;  // second group, first block
  damaged[32 + 5] ^= 1;
  damaged[32 + 64 + 5] ^= 1;  // two blocks of the first group
  scratch_file part(file), bad_part(damaged), received, log;
  const char* saved = log_device;
  log_device = log.path();
  install_context context{};
  context.floppy.part_count = 1;
  std::string command = std::string("cat > ") + received.path();
  program_writer* installer = open_program_writer("/bin/sh", "-c", command.c_str(), nullptr);
  ASSERT_NE(installer, nullptr);
  EXPECT_EQ(read_floppy_part(context, part.fd(), *installer), 1000);
  EXPECT_EQ(read_floppy_part(context, bad_part.fd(), *installer), 0);
  close_program(installer);
  log_device = saved;
  EXPECT_EQ(received.contents(), payload);
  EXPECT_EQ(log.contents(), "Recovering bad block #0\n");
  EXPECT_EQ(context.floppy.set_identifier, 3u);
}
