// The package writer: exact bytes where the layout is fixed, and round trips
// through the reader and the file data walk.
#include "package_format/package_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <string>

#include "foundation/fd_buffers.h"
#include "package_format/file_data_reader.h"
#include "package_format/package_reader.h"

namespace {

std::string u16(uint32_t v) { return {(char)v, (char)(v >> 8)}; }
std::string u32(uint32_t v) { return u16(v) + u16(v >> 16); }

std::string uncompress_all(const std::string& packed) {
  z_stream z{};
  inflateInit(&z);
  z.next_in = (Bytef*)packed.data();
  z.avail_in = (uInt)packed.size();
  std::string out;
  char chunk[4096];
  int result;
  do {
    z.next_out = (Bytef*)chunk;
    z.avail_out = sizeof chunk;
    result = inflate(&z, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - z.avail_out);
  } while (result == Z_OK);
  inflateEnd(&z);
  EXPECT_EQ(result, Z_STREAM_END) << "one complete zlib stream";
  return out;
}

// A scratch file the writer can seek in; read back whole or as a stream.
class scratch_file {
 public:
  scratch_file() {
    char name[] = "/tmp/package_writer_test.XXXXXX";
    close(mkstemp(name));
    path_ = name;
  }
  ~scratch_file() { unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }
  std::string bytes() const {
    std::string out;
    int fd = open(path(), O_RDONLY);
    char chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) out.append(chunk, (size_t)n);
    close(fd);
    return out;
  }

 private:
  std::string path_;
};

package_header header(const char* name, version_number version, uint32_t build_time) {
  package_header h;
  h.name = name;
  h.version = version;
  h.build_time = build_time;
  return h;
}

requirement_entry requirement(const char* name, version_number minimum, version_number maximum) {
  requirement_entry e;
  e.name = name;
  e.minimum = minimum;
  e.maximum = maximum;
  return e;
}

file_entry entry(uint16_t mode, const char* name, uint32_t size) {
  return file_entry{mode, 10, 20, 1600000000, size, (uint16_t)strlen(name)};
}

const version_number V29 = make_version(2, 9, 'f', 1);

}  // namespace

TEST(package_writer, header_block_bytes_are_exactly_the_layout) {
  scratch_file file;
  {
    file_output_stream out(file.path());
    package_writer w(out);
    package_header h = header("sixteen-chars-ab", V29, 0x11223344);
    vector<requirement_entry> deps;
    deps.push_back(requirement("base", 0x01006600, 0));
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_UNRECORDED));
    ASSERT_TRUE(w.write_header_record(SECTION_PACKAGE_HEADER, h));
    ASSERT_TRUE(w.write_section(SECTION_ARCHITECTURE, "i386", 4));
    ASSERT_TRUE(w.write_requirement_list(SECTION_DEPENDENCIES, deps));
    ASSERT_TRUE(w.end_file());
  }
  std::string sections = u16(1) + u32(32) + "sixteen-chars-ab" + u32(V29) + u32(0x11223344) +
                         std::string(8, '\0') + u16(16) + u32(4) + "i386" + u16(3) + u32(34) +
                         u16(1) + std::string("base") + std::string(12, '\0') + u32(0x01006600) +
                         std::string(12, '\0');
  EXPECT_EQ(file.bytes(), u32(PACKAGE_MAGIC_UNRECORDED) + u32((uint32_t)sections.size()) + sections);
}

TEST(package_writer, file_data_is_one_zlib_stream_of_30_byte_headers) {
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
    ASSERT_TRUE(w.end_file_data());
    ASSERT_TRUE(w.end_file());
  }
  std::string bytes = file.bytes();
  ASSERT_GE(bytes.size(), 14u);
  EXPECT_EQ(bytes.substr(4, 4), u32((uint32_t)bytes.size() - 8));
  EXPECT_EQ(bytes.substr(8, 2), u16(4));
  EXPECT_EQ(bytes.substr(10, 4), u32((uint32_t)bytes.size() - 14));
  std::string expected = u16(0x81A4) + u16(10) + u16(20) + u16(0) + u32(1600000000) +
                         std::string(12, '\0') + u32(5) + u16(9) + "/etc/motd" + "hello" +
                         u16(0x41ED) + u16(10) + u16(20) + u16(0) + u32(1600000000) +
                         std::string(12, '\0') + u32(0) + u16(4) + "/var";
  EXPECT_EQ(uncompress_all(bytes.substr(14)), expected);
}

// Everything a package holds, written and read back as the installer reads
// it: header block, scripts, then every entry with its data.
TEST(package_writer, round_trip_through_the_reader) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = (char)(i * 2654435761u >> 13);
  scratch_file file;
  {
    file_output_stream out(file.path());
    package_writer w(out);
    package_header h = header("ppp", V29, 77);
    h.dependencies.push_back(requirement("base", V29, 0));
    h.conflicts.push_back(requirement("oldppp", 0, V29));
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_RECORDED));
    ASSERT_TRUE(w.write_header_record(SECTION_PACKAGE_HEADER, h));
    ASSERT_TRUE(w.write_section(SECTION_DESCRIPTION, "words", 5));
    ASSERT_TRUE(w.write_section(SECTION_ARCHITECTURE, "arm", 3));
    ASSERT_TRUE(w.write_requirement_list(SECTION_DEPENDENCIES, h.dependencies));
    ASSERT_TRUE(w.write_requirement_list(SECTION_CONFLICTS, h.conflicts));
    ASSERT_TRUE(w.write_section(SECTION_INSTALL_SCRIPT, "echo in\n", 8));
    ASSERT_TRUE(w.begin_file_data());
    ASSERT_TRUE(w.write_entry(entry(0x81A4, "/big", (uint32_t)big.size()), "/big"));
    ASSERT_TRUE(w.write_entry_data(big.data(), big.size()));
    ASSERT_TRUE(w.write_entry(entry(0xA1FF, "/link", 4), "/link"));
    ASSERT_TRUE(w.write_entry_data("/big", 4));
    ASSERT_TRUE(w.write_entry(entry(0x2180, "/null", 4), "/null"));
    ASSERT_TRUE(w.write_entry_data("\x03\x01\x00\x00", 4));
    ASSERT_TRUE(w.end_file_data());
    ASSERT_TRUE(w.end_file());
  }
  file_input_stream in(file.path());
  package_reader reader(in);
  for (int type : {1, 18, 16, 3, 17, 4, 7, 8}) reader.add_wanted_type(type);
  ASSERT_EQ(reader.next_wanted_section(), 1);
  package_header h;
  ASSERT_TRUE(read_header_block(reader, h));
  EXPECT_STREQ(h.name.c_str(), "ppp");
  EXPECT_EQ(h.version, V29);
  EXPECT_EQ(h.build_time, 77u);
  EXPECT_STREQ(h.architecture.c_str(), "arm");
  ASSERT_EQ(h.dependencies.size(), 1u);
  EXPECT_EQ(h.dependencies[0].minimum, V29);
  ASSERT_EQ(h.conflicts.size(), 1u);
  EXPECT_EQ(h.conflicts[0].maximum, V29);
  ASSERT_EQ(reader.current_type(), 7);
  EXPECT_EQ(reader.current_length(), 8u);
  ASSERT_EQ(reader.next_wanted_section(), 4);

  file_data_reader entries(reader);
  file_entry e;
  string name;
  ASSERT_EQ(entries.next_entry(e, name), ENTRY_READ);
  EXPECT_STREQ(name.c_str(), "/big");
  std::string data(big.size(), '\0');
  ASSERT_EQ(entries.read_data(&data[0], data.size()), big.size());
  EXPECT_TRUE(data == big);
  ASSERT_EQ(entries.next_entry(e, name), ENTRY_READ);
  EXPECT_EQ(e.mode, 0xA1FF);
  EXPECT_EQ(e.uid, 10);
  EXPECT_EQ(e.gid, 20);
  EXPECT_EQ(e.mtime, 1600000000u);
  ASSERT_EQ(entries.next_entry(e, name), ENTRY_READ);  // the link target is skipped
  EXPECT_STREQ(name.c_str(), "/null");
  EXPECT_EQ(entries.next_entry(e, name), ENTRIES_DONE);
  EXPECT_EQ(entries.partial_header_bytes(), 0u);
  EXPECT_EQ(reader.remaining(), 0u);
  EXPECT_EQ(reader.next_wanted_section(), -1);
  EXPECT_EQ(reader.position(), reader.total_size());
}

TEST(package_writer, refuses_layouts_it_cannot_write_and_stays_failed) {
  scratch_file file;
  file_output_stream out(file.path());
  {
    package_writer w(out);
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_RECORDED));
    EXPECT_FALSE(w.write_header_record(SECTION_PACKAGE_HEADER, header("seventeen-chars-x", V29, 1)));
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
      {"less data than the size says",
       [](package_writer& w) {
         return w.begin_file_data() && w.write_entry(entry(0x81A4, "/f", 3), "/f") &&
                w.write_entry_data("a", 1) && w.end_file_data();
       }},
      {"a name length that does not match",
       [](package_writer& w) {
         return w.begin_file_data() && w.write_entry(entry(0x81A4, "/long", 0), "/f");
       }},
      {"a section inside a section",
       [](package_writer& w) { return w.begin_section(2) && w.begin_section(3); }},
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

// A pipe cannot take the lengths filled in afterwards; a full disk fails
// the writes. Both are reported, not written as a broken package.
TEST(package_writer, outputs_that_cannot_take_the_package_fail) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  std::string text(100000, 't');
  for (int fd : {ends[1], full}) {
    fd_output_buffer buffer(fd);
    output_stream out(&buffer);
    package_writer w(out);
    bool written = w.begin_file(PACKAGE_MAGIC_RECORDED) &&
                   w.write_section(SECTION_DESCRIPTION, text.data(), text.size()) && w.end_file();
    EXPECT_FALSE(written);
    EXPECT_NE(w.error(), nullptr);
  }
  for (int fd : {ends[0], ends[1], full}) close(fd);
}
