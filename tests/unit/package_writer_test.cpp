// The package writer: exact bytes where the layout is fixed, and the layouts
// it refuses.
#include "package_format/package_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/bytes.h"
#include "support/records.h"
#include "support/scratch_file.h"

namespace {

file_entry entry(uint16_t mode, const char* name, uint32_t size) {
  return file_entry{mode, 1, 2, 1600000000, size, (uint16_t)strlen(name)};
}

const version_number V29 = make_version(2, 9, 'f', 1);

}  // namespace

TEST(package_writer, header_block_bytes_are_exactly_the_layout) {
  scratch_file file;
  {
    file_output_stream out(file.path());
    package_writer w(out);
    package_header h = package("sixteen-chars-ab", V29, 0x11223344);
    vector<requirement_entry> deps;
    deps.push_back(requirement("base", 0x01006600, 0x02000000));
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_UNRECORDED));
    ASSERT_TRUE(w.write_header_record(SECTION_PACKAGE_HEADER, h));
    ASSERT_TRUE(w.write_section(SECTION_ARCHITECTURE, "i386", 4));
    ASSERT_TRUE(w.write_requirement_list(SECTION_DEPENDENCIES, deps));
    ASSERT_TRUE(w.end_file());
  }
  std::string sections = le16(1) + le32(32) + "sixteen-chars-ab" + le32(V29) + le32(0x11223344) +
                         std::string(8, '\0') + le16(16) + le32(4) + "i386" + le16(3) + le32(34) +
                         le16(1) + std::string("base") + std::string(12, '\0') + le32(0x01006600) +
                         std::string(4, '\0') + le32(0x02000000) + std::string(4, '\0');
  EXPECT_EQ(file.contents(), le32(PACKAGE_MAGIC_UNRECORDED) + le32((uint32_t)sections.size()) + sections);
}

// Entry data given in pieces, one piece larger than every buffer on the way,
// arrives whole after its 30-byte header; the package reader tests read
// these layouts back.
TEST(package_writer, file_data_is_one_zlib_stream_of_30_byte_headers) {
  std::string big = pattern_bytes(300000);
  scratch_file file;
  {
    file_output_stream out(file.path());
    package_writer w(out);
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_RECORDED));
    ASSERT_TRUE(w.begin_file_data());
    ASSERT_TRUE(w.write_entry(entry(0x81A4, "/etc/motd", 5), "/etc/motd"));
    ASSERT_TRUE(w.write_entry_data("hel", 3));
    ASSERT_TRUE(w.write_entry_data("lo", 2));
    ASSERT_TRUE(w.write_entry(entry(0x41ED, "/var", 0), "/var"));
    ASSERT_TRUE(w.write_entry(entry(0x81A4, "/big", (uint32_t)big.size()), "/big"));
    ASSERT_TRUE(w.write_entry_data(big.data(), big.size()));
    ASSERT_TRUE(w.end_file_data());
    ASSERT_TRUE(w.end_file());
  }
  std::string bytes = file.contents();
  ASSERT_GE(bytes.size(), 14u);
  EXPECT_EQ(bytes.substr(4, 4), le32((uint32_t)bytes.size() - 8));
  EXPECT_EQ(bytes.substr(8, 2), le16(4));
  EXPECT_EQ(bytes.substr(10, 4), le32((uint32_t)bytes.size() - 14));
  std::string expected = entry_bytes(0x81A4, "/etc/motd", "hello") + entry_bytes(0x41ED, "/var", "") +
                         entry_bytes(0x81A4, "/big", big);
  EXPECT_TRUE(zlib_uncompress(bytes.substr(14)) == expected);
}

TEST(package_writer, refuses_layouts_it_cannot_write_and_stays_failed) {
  scratch_file file;
  file_output_stream out(file.path());
  {
    package_writer w(out);
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_RECORDED));
    EXPECT_FALSE(w.write_header_record(SECTION_PACKAGE_HEADER, package("seventeen-chars-x", V29, 1)));
    EXPECT_NE(w.error(), nullptr);
    EXPECT_FALSE(w.write_section(SECTION_DESCRIPTION, "x", 1)) << "the first failure sticks";
  }
  struct {
    const char* what;
    bool (*steps)(package_writer&);
  } cases[] = {
      {"more data than the size says",
       [](package_writer& w) {
         return w.begin_file_data() && w.write_entry(entry(0x81A4, "/f", 1), "/f") &&
                w.write_entry_data("ab", 2);
       }},
      {"the file ended inside a section",
       [](package_writer& w) { return w.begin_section(2) && w.end_file(); }},
  };
  for (const auto& c : cases) {
    package_writer w(out);
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_RECORDED)) << c.what;
    EXPECT_FALSE(c.steps(w)) << c.what;
    EXPECT_NE(w.error(), nullptr) << c.what;
  }
}
