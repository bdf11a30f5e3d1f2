// The package reader over crafted bytes.
#include "package_format/package_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "foundation/fd_buffers.h"
#include "package_format/file_data_reader.h"
#include "support/alloc_counter.h"
#include "support/bytes.h"
#include "support/recording_buffer.h"
#include "support/scratch_file.h"

namespace {

// The same bytes from memory, from a file (skips seek) and from a pipe (skips
// read and discard; the bytes must fit the pipe).
enum source_kind { FROM_MEMORY, FROM_FILE, FROM_PIPE };

struct byte_source {
  scratch_file file;
  int ends[2] = {-1, -1};
  std::unique_ptr<stream_buffer> buffer;
  input_stream stream;
  byte_source(source_kind kind, const std::string& bytes) : file(kind == FROM_FILE ? bytes : "") {
    if (kind == FROM_PIPE) {
      EXPECT_EQ(pipe(ends), 0);
      EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), (ssize_t)bytes.size());
      close(ends[1]);
    }
    buffer.reset(kind == FROM_MEMORY ? (stream_buffer*)new memory_source(bytes)
                                     : new fd_input_buffer(kind == FROM_FILE ? file.fd() : ends[0]));
    stream.rdbuf(buffer.get());
  }
  ~byte_source() { close(ends[0]); }
};

const version_number V1 = make_version(1, 0, 'f', 0);
const version_number V29 = make_version(2, 9, 'f', 0);
const std::string HEAD = section(1, header_record("p", V1, 1));

// A reader over bytes that wants what the installer reads, standing at its
// first wanted section.
struct reader_at_first {
  byte_source source;
  package_reader reader;
  int first;
  reader_at_first(const std::string& bytes, source_kind kind = FROM_MEMORY)
      : source(kind, bytes), reader(source.stream) {
    for (int type : {1, 18, 16, 3, 17, 4, 7, 8}) reader.add_wanted_type(type);
    first = reader.next_wanted_section();
  }
};

std::string describe(const vector<requirement_entry>& list) {
  std::string text;
  for (const requirement_entry& e : list) {
    text += " " + to_std(e.name) + ">=" + format_version(e.minimum);  // one static buffer
    text += std::string("<=") + format_version(e.maximum);
  }
  return text;
}

}  // namespace

// The magic and the header block over whole files, good and broken: what the
// block gave and the section the reader stands at afterwards, or the refusal.
TEST(package_reader, header_table) {
  std::string nul_at_5("abcde\0ghijklmnop", 16);
  struct {
    std::string bytes;
    const char* expected;
  } cases[] = {
      {package_bytes(section(1, header_record("ppp", V29, 99)) + section(16, "arm") +
                     section(3, requirement_list({{"base", V1, 0}, {"libc", 0, V29}})) +
                     section(17, requirement_list({{"oldppp", 0, 0}})) + section(4, "")),
       "ppp 2.9 @99 arm needs base>=1.0<=0.0 libc>=0.0<=2.9 conflicts oldppp>=0.0<=0.0 then 4"},
      // Names fill 16 bytes or stop at the first NUL; no architecture is i386.
      {package_bytes(section(1, header_record("sixteen-chars-ab", V1, 7)), PACKAGE_MAGIC_UNRECORDED),
       "unrecorded sixteen-chars-ab 1.0 @7 i386 needs conflicts then -1"},
      {package_bytes(section(1, header_record(nul_at_5, V1, 7)) + section(2, "skipped") + section(7, "")),
       "abcde 1.0 @7 i386 needs conflicts then 7"},
      // A bundle header reads alike; the member header comes next.
      {package_bytes(section(18, header_record("suite", V1, 1)) + section(3, requirement_list({})) + HEAD),
       "suite 1.0 @1 i386 needs conflicts then 1"},
      {package_bytes(HEAD, 0), "no first section"},
      {package_bytes(HEAD, 0xBAD0F11F), "no first section"},
      {package_bytes(HEAD).substr(0, 7), "no first section"},
      {package_bytes(section(7, header_record("p", V1, 1))), "refused"},
      {package_bytes(section(1, header_record("p", V1, 1).substr(0, 20))), "refused"},
      {package_bytes(HEAD + section(16, "") + section(3, le16(3) + name_field("x"))), "refused"},
      {package_bytes(HEAD + section(17, le16(1))), "refused"},
      {package_bytes(HEAD + section(16, "i386", 50)), "refused"},
      {package_bytes(HEAD + section(3, "\x01")), "refused"},
      // Counts of 65535 and lengths of 4 GiB cost only what the file holds.
      {package_bytes(HEAD + section(16, "arm", 0xFFFFFFF0)), "refused"},
      {package_bytes(HEAD + section(3, le16(0xFFFF), 0xFFFFFFF0)), "refused"},
  };
  for (const auto& c : cases) {
    reader_at_first in(c.bytes);
    package_header h;
    alloc_scope scope;
    bool read = read_header_block(in.reader, h);
    EXPECT_LT(scope.bytes(), 4096u);
    std::string got = std::string(in.reader.is_unrecorded() ? "unrecorded " : "") + to_std(h.name) +
                      " " + format_version(h.version) + " @" + std::to_string(h.build_time) + " " +
                      to_std(h.architecture) + " needs" + describe(h.dependencies) + " conflicts" +
                      describe(h.conflicts) + " then " + std::to_string(in.reader.current_type());
    if (in.first < 0) got = in.reader.bad() ? "no first section" : "not bad";
    EXPECT_EQ(read || in.first < 0 ? got : "refused", c.expected);
  }
}

// Unwanted sections are skipped (by seeking on a file, by reading on a pipe)
// to the same place on every source; a payload running past the end, read or
// skipped, and a section header cut short end the file.
TEST(package_reader, sections_are_skipped_and_cut_short_alike_on_every_source) {
  std::string body = HEAD + section(2, std::string(30000, 'd')) + section(5, "unknown") +
                     section(7, "echo installed\n") + section(8, std::string(9000, 'u')) +
                     section(4, "data");
  std::string bytes = package_bytes(body);
  for (source_kind kind : {FROM_MEMORY, FROM_FILE, FROM_PIPE}) {
    SCOPED_TRACE(kind);
    reader_at_first in(bytes, kind);
    package_reader& reader = in.reader;
    ASSERT_EQ(reader.next_wanted_section(), 7) << "types 2 and 5 are skipped";
    char script[15];
    ASSERT_TRUE(reader.read(script, sizeof script));
    EXPECT_EQ(std::string(script, sizeof script), "echo installed\n");
    ASSERT_EQ(reader.next_wanted_section(), 8);
    // The uninstall script is left unread; the next step skips it.
    ASSERT_EQ(reader.next_wanted_section(), 4);
    EXPECT_EQ(reader.position(), bytes.size() - 4);
    ASSERT_EQ(reader.next_wanted_section(), -1);
    EXPECT_TRUE(reader.eof());
    EXPECT_EQ(reader.position(), bytes.size());
    EXPECT_EQ(reader.file_remaining(), 0u);

    reader_at_first read_cut(package_bytes(HEAD + section(7, "echo", 100)), kind);
    ASSERT_EQ(read_cut.reader.next_wanted_section(), 7);
    char longer[100];
    EXPECT_FALSE(read_cut.reader.read(longer, sizeof longer));
    EXPECT_EQ(read_cut.reader.gcount(), 4u);
    EXPECT_EQ(read_cut.reader.next_wanted_section(), -1);
    // Skipped, not read: past the end of a file a seek alone would not notice.
    reader_at_first skip_cut(package_bytes(HEAD + section(5, std::string(100, 'x'), 5000)), kind);
    EXPECT_EQ(skip_cut.reader.next_wanted_section(), -1);
    EXPECT_TRUE(skip_cut.reader.eof());
    reader_at_first header_cut(package_bytes(HEAD + "\x07\x00\x05"), kind);
    EXPECT_EQ(header_cut.reader.next_wanted_section(), -1);
    EXPECT_TRUE(header_cut.reader.fail());

    // Reads, byte reads and forward seeks end at the payload's end; a failed
    // read fails the next step, while eof alone (from ignore) is cleared by it.
    reader_at_first bound(package_bytes(section(7, "0123456789") + section(8, "xyz") + section(2, "")), kind);
    package_reader& r = bound.reader;
    EXPECT_EQ(r.get(), '0');
    EXPECT_EQ(r.remaining(), 9u);
    EXPECT_EQ(r.seekg(4, SEEK_FROM_CURRENT).get(), '5');
    EXPECT_TRUE(r.seekg(-2, SEEK_FROM_CURRENT).fail()) << "no way back";
    r.clear();
    EXPECT_TRUE(r.seekg(5, SEEK_FROM_CURRENT).fail()) << "no way past the payload";
    r.clear();
    EXPECT_EQ(r.ignore(100).rdstate(), (uint32_t)STATE_EOF);
    ASSERT_EQ(r.next_wanted_section(), 8);
    EXPECT_FALSE(r.read(longer, 4)) << "the next section's bytes are not handed out";
    EXPECT_EQ(r.gcount(), 3u);
    EXPECT_EQ(r.next_wanted_section(), -1) << "a failed read fails the next step";
    EXPECT_EQ(r.current_type(), -1) << "the type last returned";
  }
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
    size_t entries, partial;
  } cases[] = {
      {all, ENTRIES_DONE, 5, 0},
      {all + std::string(10, '\0'), ENTRIES_DONE, 5, 10},  // the normal end, as the installer sees it
      {all.substr(0, 35), ENTRY_BROKEN, 1, 0},  // the data of /a cut short
      {entry_bytes(0x81A4, "/name", "").substr(0, 33), ENTRY_BROKEN, 1, 0},
      {entry_bytes(0x2180, "/dev/x", "12345678"), ENTRY_BROKEN, 1, 0},
      {entry_bytes(0xC1ED, "/sock", ""), ENTRY_BROKEN, 1, 0},
  };
  for (const auto& c : cases) {
    reader_at_first in(package_bytes(section(4, zlib_compress(c.data))));
    file_data_reader entries(in.reader);
    file_entry entry, first{};
    string name;
    entry_step step;
    while ((step = entries.next_entry(entry, name)) == ENTRY_READ)
      if (entries.entries_read() == 1) first = entry;
    EXPECT_EQ(step, c.last);
    EXPECT_EQ(entries.entries_read(), c.entries);
    EXPECT_EQ(entries.partial_header_bytes(), c.partial);
    EXPECT_EQ(step == ENTRY_BROKEN, entries.problem() != nullptr);
    if (c.last == ENTRIES_DONE) {  // the first header's fields, little-endian at their offsets
      EXPECT_EQ(first.mtime + first.mode + first.gid, 1600000000u + 0x81A4 + 2);
    }
  }
}
