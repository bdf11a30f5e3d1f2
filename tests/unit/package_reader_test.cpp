// The package reader over crafted bytes: from memory, from a real file
// (skips seek) and from a pipe (skips read and discard).
#include "package_format/package_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "foundation/compressed_streams.h"
#include "foundation/fd_buffers.h"
#include "package_format/file_data_reader.h"
#include "support/alloc_counter.h"
#include "support/bytes.h"
#include "support/recording_buffer.h"
#include "support/scratch_file.h"

namespace {

// -- crafted bytes ------------------------------------------------------------

std::string section(uint32_t type, const std::string& payload) {
  return le16(type) + le32((uint32_t)payload.size()) + payload;
}

// A section header that claims a length of its own choosing.
std::string lying_section(uint32_t type, uint32_t length, const std::string& payload) {
  return le16(type) + le32(length) + payload;
}

std::string package_bytes(const std::string& sections, uint32_t magic = PACKAGE_MAGIC_RECORDED) {
  return le32(magic) + le32((uint32_t)sections.size()) + sections;
}

std::string name_field(const std::string& name) { return (name + std::string(16, '\0')).substr(0, 16); }

// The unused words are filled with noise: readers must ignore them.
std::string header_record(const std::string& name, uint32_t version, uint32_t build_time) {
  return name_field(name) + le32(version) + le32(build_time) + "unused!!";
}

std::string requirement_list(const std::vector<std::tuple<std::string, uint32_t, uint32_t>>& list) {
  std::string out = le16((uint32_t)list.size());
  for (const auto& [name, minimum, maximum] : list)
    out += name_field(name) + le32(minimum) + le32(0xDEADBEEF) + le32(maximum) + le32(0xFEEDFACE);
  return out;
}

std::string entry_bytes(uint32_t mode, const std::string& name, const std::string& data) {
  return le16(mode) + le16(1) + le16(2) + le16(0) + le32(1600000000) + std::string(12, '\0') +
         le32((uint32_t)data.size()) + le16((uint32_t)name.size()) + name + data;
}

const version_number V1 = make_version(1, 0, 'f', 0);
const version_number V29 = make_version(2, 9, 'f', 0);

// -- sources ------------------------------------------------------------------

// The same bytes as three kinds of input: memory, a file and a pipe.
enum source_kind { FROM_MEMORY, FROM_FILE, FROM_PIPE };

class source {
 public:
  source(source_kind kind, const std::string& bytes) {
    if (kind == FROM_MEMORY) {
      memory_ = new memory_source(bytes);
      stream_ = new input_stream(memory_);
      return;
    }
    if (kind == FROM_FILE) {
      file_ = new scratch_file(bytes);
    } else {
      // A child writes, so the pipe may carry more than its buffer holds.
      int ends[2];
      EXPECT_EQ(pipe(ends), 0);
      writer_ = fork();
      if (writer_ == 0) {
        close(ends[0]);
        size_t done = 0;
        while (done < bytes.size()) {
          ssize_t n = write(ends[1], bytes.data() + done, bytes.size() - done);
          if (n <= 0) _exit(1);
          done += (size_t)n;
        }
        _exit(0);
      }
      close(ends[1]);
      fd_ = ends[0];
    }
    fd_buffer_ = new fd_input_buffer(file_ ? file_->fd() : fd_);
    stream_ = new input_stream(fd_buffer_);
  }
  ~source() {
    delete stream_;
    delete memory_;
    delete fd_buffer_;
    delete file_;
    if (fd_ >= 0) close(fd_);
    if (writer_ > 0) waitpid(writer_, nullptr, 0);
  }
  input_stream& stream() { return *stream_; }

 private:
  memory_source* memory_ = nullptr;
  fd_input_buffer* fd_buffer_ = nullptr;
  scratch_file* file_ = nullptr;
  input_stream* stream_ = nullptr;
  int fd_ = -1;
  pid_t writer_ = -1;
};

const source_kind ALL_SOURCES[] = {FROM_MEMORY, FROM_FILE, FROM_PIPE};
const char* kind_name(source_kind kind) {
  return kind == FROM_MEMORY ? "memory" : kind == FROM_FILE ? "file" : "pipe";
}

void want_install_types(package_reader& reader) {
  for (int type : {1, 18, 16, 3, 17, 4, 7, 8}) reader.add_wanted_type(type);
}

}  // namespace

// -- the file header ------------------------------------------------------------

// Both magics open a file; any other, or a header cut short, makes every
// later step fail.
TEST(package_reader, file_header_magics_sizes_and_refusals) {
  std::string body = section(1, header_record("a", V1, 5));
  for (uint32_t magic : {PACKAGE_MAGIC_RECORDED, PACKAGE_MAGIC_UNRECORDED}) {
    source in(FROM_MEMORY, package_bytes(body, magic));
    package_reader reader(in.stream());
    EXPECT_TRUE(reader.good());
    EXPECT_EQ(reader.is_unrecorded(), magic == PACKAGE_MAGIC_UNRECORDED);
    EXPECT_EQ(reader.total_size(), 8 + body.size());
    EXPECT_EQ(reader.position(), 8u);
    EXPECT_EQ(reader.file_remaining(), body.size());
  }
  for (const std::string& bytes : {package_bytes(body, 0), package_bytes(body, 0xBAD0F11F),
                                   package_bytes(body).substr(0, 7), std::string()}) {
    source in(FROM_MEMORY, bytes);
    package_reader reader(in.stream());
    EXPECT_TRUE(reader.bad());
    reader.add_wanted_type(1);
    EXPECT_EQ(reader.next_wanted_section(), -1);
    package_header header;
    EXPECT_FALSE(read_header_block(reader, header));
  }
}

// -- the header step --------------------------------------------------------------

TEST(package_reader, names_fill_16_bytes_or_stop_at_the_first_nul) {
  std::string nul_at_5 = std::string("abcde\0ghijklmnop", 16);
  struct {
    std::string field;
    const char* expected;
  } cases[] = {{"sixteen-chars-ab", "sixteen-chars-ab"}, {nul_at_5, "abcde"}, {"x", "x"}};
  for (const auto& c : cases) {
    source in(FROM_MEMORY, package_bytes(section(1, name_field(c.field) + le32(V1) + le32(7) + "12345678")));
    package_reader reader(in.stream());
    want_install_types(reader);
    ASSERT_EQ(reader.next_wanted_section(), 1);
    package_header header;
    ASSERT_TRUE(read_header_block(reader, header));
    EXPECT_STREQ(header.name.c_str(), c.expected);
    EXPECT_EQ(header.name.length(), strlen(c.expected));
    EXPECT_EQ(header.build_time, 7u);
  }
}

TEST(package_reader, header_block_reads_architecture_dependencies_and_conflicts) {
  std::string body = section(1, header_record("ppp", V29, 99)) + section(16, "arm") +
                     section(3, requirement_list({{"base", V1, 0}, {"libc", 0, V29}})) +
                     section(17, requirement_list({{"oldppp", 0, 0}})) +
                     section(4, zlib_compress(""));
  source in(FROM_MEMORY, package_bytes(body));
  package_reader reader(in.stream());
  want_install_types(reader);
  ASSERT_EQ(reader.next_wanted_section(), 1);
  package_header h;
  ASSERT_TRUE(read_header_block(reader, h));
  EXPECT_STREQ(h.name.c_str(), "ppp");
  EXPECT_EQ(h.version, V29);
  EXPECT_STREQ(h.architecture.c_str(), "arm");
  ASSERT_EQ(h.dependencies.size(), 2u);
  EXPECT_STREQ(h.dependencies[0].name.c_str(), "base");
  EXPECT_EQ(h.dependencies[0].minimum, V1);
  EXPECT_EQ(h.dependencies[0].maximum, 0u);
  EXPECT_STREQ(h.dependencies[1].name.c_str(), "libc");
  EXPECT_EQ(h.dependencies[1].maximum, V29);
  ASSERT_EQ(h.conflicts.size(), 1u);
  EXPECT_STREQ(h.conflicts[0].name.c_str(), "oldppp");
  EXPECT_EQ(reader.current_type(), 4) << "the reader stands after the header block";
}

TEST(package_reader, header_without_architecture_is_for_i386_and_bundles_read_alike) {
  std::string body = section(18, header_record("suite", V1, 1)) + section(3, requirement_list({})) +
                     section(1, header_record("member", V1, 1));
  source in(FROM_MEMORY, package_bytes(body));
  package_reader reader(in.stream());
  want_install_types(reader);
  ASSERT_EQ(reader.next_wanted_section(), 18);
  package_header h;
  ASSERT_TRUE(read_header_block(reader, h));
  EXPECT_STREQ(h.architecture.c_str(), "i386");
  EXPECT_TRUE(h.dependencies.empty());
  EXPECT_EQ(reader.current_type(), 1);
  ASSERT_TRUE(read_header_block(reader, h));
  EXPECT_STREQ(h.name.c_str(), "member");
  EXPECT_EQ(reader.current_type(), -1);
}

// -- sections and skipping ----------------------------------------------------------

// Type 5 and a long description that nobody reads are skipped: by seeking on
// a file, by reading and discarding on a pipe. All three sources end in the
// same place with the same count of consumed bytes.
TEST(package_reader, skips_unwanted_and_unread_sections_on_every_source) {
  std::string description(70000, 'd');
  std::string body = section(1, header_record("p", V1, 1)) + section(2, description) +
                     section(3, requirement_list({{"base", 0, 0}})) + section(5, "unknown") +
                     section(7, "echo installed\n") + section(8, std::string(9000, 'u')) +
                     section(4, zlib_compress(entry_bytes(0x81A4, "/f", "data")));
  std::string bytes = package_bytes(body);
  for (source_kind kind : ALL_SOURCES) {
    SCOPED_TRACE(kind_name(kind));
    source in(kind, bytes);
    package_reader reader(in.stream());
    want_install_types(reader);
    ASSERT_EQ(reader.next_wanted_section(), 1);
    package_header h;
    ASSERT_TRUE(read_header_block(reader, h));
    ASSERT_EQ(h.dependencies.size(), 1u) << "the description in between is skipped";
    ASSERT_EQ(reader.current_type(), 7) << "type 5 is skipped";
    char script[15];
    ASSERT_TRUE(reader.read(script, sizeof script));
    EXPECT_EQ(std::string(script, sizeof script), "echo installed\n");
    ASSERT_EQ(reader.next_wanted_section(), 8);
    // The uninstall script is left unread; the next step skips it.
    ASSERT_EQ(reader.next_wanted_section(), 4);
    EXPECT_EQ(reader.position(), bytes.size() - reader.current_length());
    ASSERT_EQ(reader.next_wanted_section(), -1);
    EXPECT_TRUE(reader.eof());
    EXPECT_EQ(reader.current_type(), -1);
    EXPECT_EQ(reader.position(), bytes.size());
    EXPECT_EQ(reader.file_remaining(), 0u);
  }
}

// A payload that runs past the end of the file, read or skipped, and a
// section header cut short, both end the file.
TEST(package_reader, truncated_sections_end_the_file_on_every_source) {
  std::string head = section(1, header_record("p", V1, 1));
  for (source_kind kind : ALL_SOURCES) {
    SCOPED_TRACE(kind_name(kind));
    {
      source in(kind, package_bytes(head + lying_section(7, 100, "echo")));
      package_reader reader(in.stream());
      want_install_types(reader);
      reader.next_wanted_section();
      ASSERT_EQ(reader.next_wanted_section(), 7);
      char script[100];
      EXPECT_FALSE(reader.read(script, sizeof script));
      EXPECT_EQ(reader.gcount(), 4u);
      EXPECT_EQ(reader.next_wanted_section(), -1);
    }
    {
      // Skipped, not read: the skip comes up short (past the end of a file
      // a seek alone would not notice).
      source in(kind, package_bytes(head + lying_section(5, 5000, std::string(100, 'x'))));
      package_reader reader(in.stream());
      want_install_types(reader);
      reader.next_wanted_section();
      EXPECT_EQ(reader.next_wanted_section(), -1);
      EXPECT_TRUE(reader.eof());
    }
    {
      source in(kind, package_bytes(head + "\x07\x00\x05"));
      package_reader reader(in.stream());
      want_install_types(reader);
      reader.next_wanted_section();
      EXPECT_EQ(reader.next_wanted_section(), -1);
      EXPECT_EQ(reader.current_type(), -1);
      EXPECT_TRUE(reader.fail());
    }
  }
}

TEST(package_reader, header_step_fails_on_short_parts_and_other_section_types) {
  std::string cases[] = {
      section(7, header_record("p", V1, 1)),
      section(1, header_record("p", V1, 1).substr(0, 20)),
      section(1, header_record("p", V1, 1)) + section(16, "") + section(3, le16(3) + name_field("x")),
      section(1, header_record("p", V1, 1)) + section(17, le16(1)),
      section(1, header_record("p", V1, 1)) + lying_section(16, 50, "i386"),
      section(1, header_record("p", V1, 1)) + section(3, "\x01"),
  };
  for (const std::string& body : cases) {
    source in(FROM_MEMORY, package_bytes(body));
    package_reader reader(in.stream());
    want_install_types(reader);
    ASSERT_GT(reader.next_wanted_section(), 0);
    package_header h;
    EXPECT_FALSE(read_header_block(reader, h));
  }
}

// Counts of 65535 and lengths of 4 GiB cost only what the file really holds.
TEST(package_reader, crafted_lengths_do_not_size_allocations) {
  std::string cases[] = {
      section(1, header_record("p", V1, 1)) + lying_section(16, 0xFFFFFFF0, "arm"),
      section(1, header_record("p", V1, 1)) + lying_section(3, 0xFFFFFFF0, le16(0xFFFF)),
  };
  for (const std::string& body : cases) {
    source in(FROM_MEMORY, package_bytes(body));
    package_reader reader(in.stream());
    want_install_types(reader);
    ASSERT_EQ(reader.next_wanted_section(), 1);
    package_header h;
    alloc_scope scope;
    EXPECT_FALSE(read_header_block(reader, h));
    EXPECT_LT(scope.bytes(), 4096u);
  }
}

// -- reads bounded by the payload ---------------------------------------------------

// Reads, byte reads and forward seeks all end at the payload's end; a failed
// read fails the next step, while eof alone (from ignore) is cleared by it.
TEST(package_reader, reads_and_seeks_stay_inside_the_payload) {
  source in(FROM_MEMORY, package_bytes(section(7, "0123456789") + section(8, "xyz") + section(2, "")));
  package_reader reader(in.stream());
  want_install_types(reader);
  ASSERT_EQ(reader.next_wanted_section(), 7);
  EXPECT_EQ(reader.get(), '0');
  EXPECT_EQ(reader.remaining(), 9u);
  EXPECT_EQ(reader.tellg(), (stream_offset)(8 + 6 + 1));
  reader.seekg(4, SEEK_FROM_CURRENT);
  EXPECT_EQ(reader.get(), '5');
  reader.seekg(-2, SEEK_FROM_CURRENT);
  EXPECT_TRUE(reader.fail()) << "no way back";
  reader.clear();
  reader.seekg(5, SEEK_FROM_CURRENT);
  EXPECT_TRUE(reader.fail()) << "no way past the payload";
  reader.clear();
  reader.ignore(100);
  EXPECT_EQ(reader.rdstate(), (uint32_t)STATE_EOF);
  ASSERT_EQ(reader.next_wanted_section(), 8);
  char rest[4];
  EXPECT_FALSE(reader.read(rest, 4)) << "the next section's bytes are not handed out";
  EXPECT_EQ(reader.gcount(), 3u);
  EXPECT_EQ(reader.next_wanted_section(), -1) << "a failed read fails the next step";
  EXPECT_EQ(reader.current_type(), -1) << "the type last returned";
}

// The payload comes through a small area; the byte before a refill can
// still be put back.
TEST(package_reader, one_byte_can_be_put_back_across_a_refill) {
  std::string data = pattern_bytes(2000);
  source in(FROM_MEMORY, package_bytes(section(7, data)));
  package_reader reader(in.stream());
  want_install_types(reader);
  ASSERT_EQ(reader.next_wanted_section(), 7);
  for (size_t i = 0; i < 1500; ++i) {
    ASSERT_EQ(reader.get(), (unsigned char)data[i]) << i;
    if (i % 3 == 0) continue;
    ASSERT_EQ(reader.unget().unget().get(), (unsigned char)data[i - 1]) << i;
    ASSERT_EQ(reader.get(), (unsigned char)data[i]) << i;
  }
}

// The inflater pulls compressed bytes through the reader: the position moves
// with it, and the next section is untouched.
TEST(package_reader, inflating_stream_over_the_reader_stops_at_the_section_end) {
  std::string data(20000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = (char)(i * 7919 % 251);
  std::string packed = zlib_compress(data);
  std::string bytes = package_bytes(section(4, packed) + section(7, "after"));
  for (source_kind kind : ALL_SOURCES) {
    SCOPED_TRACE(kind_name(kind));
    source in(kind, bytes);
    package_reader reader(in.stream());
    want_install_types(reader);
    ASSERT_EQ(reader.next_wanted_section(), 4);
    uint64_t start = reader.position();
    {
      inflating_input_stream inflated(reader);
      std::string out(data.size(), '\0');
      ASSERT_TRUE(inflated.read(&out[0], out.size()));
      EXPECT_EQ(out, data);
      EXPECT_GT(reader.position(), start);
      EXPECT_EQ(inflated.get(), -1);
    }
    EXPECT_EQ(reader.position(), start + packed.size());
    ASSERT_EQ(reader.next_wanted_section(), 7);
    char after[5];
    ASSERT_TRUE(reader.read(after, 5));
    EXPECT_EQ(std::string(after, 5), "after");
  }
}

// -- file entries --------------------------------------------------------------------

TEST(package_reader, decodes_entry_headers_little_endian) {
  std::string bytes = le16(0x21B6) + le16(0x0102) + le16(0x0304) + le16(0xFFFF) + le32(0x0A0B0C0D) +
                      std::string(12, '\x55') + le32(4) + le16(0x0506);
  file_entry e = decode_file_entry((const unsigned char*)bytes.data());
  EXPECT_EQ(e.mode, 0x21B6);
  EXPECT_EQ(e.uid, 0x0102);
  EXPECT_EQ(e.gid, 0x0304);
  EXPECT_EQ(e.mtime, 0x0A0B0C0Du);
  EXPECT_EQ(e.data_size, 4u);
  EXPECT_EQ(e.name_length, 0x0506);
}

// Every entry type the format has, then a clean end, a cut and the types or
// sizes it does not allow.
TEST(package_reader, file_data_walk_tells_a_clean_end_from_a_broken_entry) {
  std::string all = entry_bytes(0x81A4, "/a", "alpha") + entry_bytes(0x41ED, "/d", "") +
                    entry_bytes(0xA1FF, "/l", "/a") + entry_bytes(0x11A4, "/p", "") +
                    entry_bytes(0x2180, "/n", "1234");
  struct {
    std::string data;
    entry_step last;
    size_t entries;
    size_t partial;
  } cases[] = {
      {all, ENTRIES_DONE, 5, 0},
      {all + std::string(10, '\0'), ENTRIES_DONE, 5, 10},  // the normal end, as the installer sees it
      {all.substr(0, 35), ENTRY_BROKEN, 1, 0},  // the data of /a cut short
      {entry_bytes(0x81A4, "/name", "").substr(0, 33), ENTRY_BROKEN, 1, 0},
      {entry_bytes(0x2180, "/dev/x", "12345678"), ENTRY_BROKEN, 1, 0},
      {entry_bytes(0xC1ED, "/sock", ""), ENTRY_BROKEN, 1, 0},
  };
  for (const auto& c : cases) {
    source in(FROM_MEMORY, package_bytes(section(4, zlib_compress(c.data))));
    package_reader reader(in.stream());
    want_install_types(reader);
    ASSERT_EQ(reader.next_wanted_section(), 4);
    file_data_reader entries(reader);
    file_entry entry;
    string name;
    entry_step step;
    while ((step = entries.next_entry(entry, name)) == ENTRY_READ) {
    }
    EXPECT_EQ(step, c.last);
    EXPECT_EQ(entries.entries_read(), c.entries);
    EXPECT_EQ(entries.partial_header_bytes(), c.partial);
    EXPECT_EQ(step == ENTRY_BROKEN, entries.problem() != nullptr);
  }
}
