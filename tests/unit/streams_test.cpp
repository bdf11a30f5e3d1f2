#include "foundation/streams.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "foundation/string.h"
#include "support/recording_buffer.h"
#include "support/scratch_file.h"

namespace {

std::string format(const std::function<void(output_stream&)>& insert) {
  recording_buffer sink;
  output_stream out(&sink);
  insert(out);
  return sink.bytes;
}

struct text_input {
  memory_source source;
  input_stream in;
  explicit text_input(std::string text) : source(std::move(text)), in(&source) {}
};

#define FORMAT(...) format([&](output_stream& o) { __VA_ARGS__; })

// Formatting flags, reads into buffers, stepping back and stream words: the
// programs call none of them, so one quick check.
TEST(streams, library_functions_the_programs_do_not_call) {
  EXPECT_EQ(FORMAT(o.flags(FLAG_HEX | FLAG_SHOWBASE), o.width(6), o << 255u << 'x'), "    0xffx");
  EXPECT_EQ(FORMAT(o.width(5), o.setf(FLAG_LEFT), o.fill('*'), o << "ab" << -1LL), "ab***-1");
  char buffer[4];
  text_input a("abc\nabcd\nxy");
  EXPECT_TRUE(a.in.getline(buffer, 4).good());
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(a.in.gcount(), 4u);
  EXPECT_TRUE(a.in.getline(buffer, 4).fail());  // 'd' does not fit and is put back
  a.in.clear();
  EXPECT_EQ(a.in.get(), 'd');
  a.in.get(buffer, 4);  // stops before the delimiter
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(a.in.peek(), '\n');
  EXPECT_EQ(a.in.ignore(1).unget().get(), '\n');
  a.in.setstate(STATE_FAIL);
  EXPECT_EQ(a.in.get(), END_OF_DATA);  // a failed stream skips everything until cleared
  EXPECT_EQ(a.in.tellg(), -1);
  a.in.clear();
  EXPECT_EQ(a.in.getline(buffer, 4).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  EXPECT_STREQ(buffer, "xy");
  int first = stream_base::allocate_word_index(), second = stream_base::allocate_word_index();
  a.in.word(first) = 7;
  EXPECT_EQ(a.in.word(second + 3), 0u);
  EXPECT_EQ(a.in.word(first), 7u);
}

// endl flushes; a refused write sets bad, and later operations are skipped.
TEST(output_stream, endl_flushes_and_a_refused_write_stops_the_stream) {
  recording_buffer lines;
  output_stream(&lines) << "kept" << endl << "more";
  EXPECT_EQ(lines.sync_calls, 1u);
  recording_buffer sink;
  sink.capacity = 3;
  output_stream out(&sink);
  EXPECT_TRUE(out.write("abcdef", 6).bad());
  out.put('x').flush() << 12;
  EXPECT_EQ(sink.bytes, "abc");
  EXPECT_EQ(sink.write_sizes.size() + sink.overflow_calls + sink.sync_calls, 1u);
  output_stream unattached(nullptr);
  unattached.clear();
  EXPECT_TRUE(unattached.bad());
  recording_buffer other;
  EXPECT_TRUE((output_stream(&other) << (const char*)nullptr).bad());
  std::string data(5000, 'q');
  memory_source source(data + "e");
  EXPECT_EQ(FORMAT(o << &source), data + "e");  // a whole buffer
}

// Extracts one T from text; the value (exact in a double for every case
// here) and the state afterwards.
using result = std::pair<double, uint32_t>;
template <typename T>
result extract(const std::string& text, uint32_t flags = FLAG_DEC, T start = T(), int width = 0) {
  text_input input(text);
  input.in.flags(flags);
  input.in.width(width);
  input.in >> start;
  return {(double)start, input.in.rdstate()};
}

const uint32_t FAIL = STATE_FAIL, EOF_FAIL = STATE_EOF | STATE_FAIL;

TEST(input_stream, numbers_store_what_converts_and_fail_on_the_rest_of_the_word) {
  EXPECT_EQ(extract<int>("12abc "), result(12, FAIL));
  EXPECT_EQ(extract<int>("0x1f ", FLAG_HEX), result(31, 0));
  EXPECT_EQ(extract<int>(" \n ", FLAG_DEC, 5), result(5, EOF_FAIL));  // no word: untouched
  EXPECT_EQ(extract<int>("12345 ", FLAG_DEC, 0, 3), result(123, 0));
  EXPECT_EQ(extract<long long>("1234567890123456789 "), result(123456789012345LL, 0));  // 15 at most
  EXPECT_EQ(extract<double>("2.5e3"), result(2500.0, STATE_EOF));
  // Out of range: the same results on the i386 and native builds.
  EXPECT_EQ(extract<int>("99999999999 "), result(INT_MAX, FAIL));
  EXPECT_EQ(extract<unsigned>("-1 "), result(4294967295u, 0));  // strtoul's wrap
  EXPECT_EQ(extract<unsigned>("-99999999999 "), result(4294967295u, FAIL));
  text_input a("  42\n-7 12345 \tword x");
  int i = 0, j = 0;
  a.in >> i >> j;
  a.in.width(3);
  a.in >> i >> j;
  EXPECT_EQ(i * 100 + j, 12345);  // the width stays for the next word
  string word;
  char c = 0;
  a.in.width(0);
  a.in >> word >> c;
  EXPECT_TRUE(word == "word" && c == 'x');
  EXPECT_EQ((a.in >> c).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
}

TEST(input_stream, getline_into_a_string_reports_a_last_line_without_newline) {
  std::string long_line(1000, 'l');
  text_input a("one\n\n" + long_line + "\ntwo");
  string one, empty, long_one, two;
  EXPECT_TRUE(a.in.getline(one).getline(empty).getline(long_one).good());
  EXPECT_EQ(a.in.getline(two).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  EXPECT_TRUE(one == "one" && empty == "" && two == "two");
  EXPECT_EQ(std::string(long_one.c_str()), long_line);
}

// Open modes, missing files, seeks in state eof (refused for input only),
// and a close that leaves nothing behind for a reused descriptor.
TEST(file_streams, open_modes_seeks_and_close) {
  file_input_stream missing_in("/nonexistent/streams_test");
  file_output_stream missing_out("/nonexistent/streams_test");
  EXPECT_TRUE(missing_in.bad() && missing_out.bad() && missing_in.fd() == -1);
  scratch_file scratch;
  std::string path = std::string(scratch.path()) + ".new";  // created by the stream
  mode_t saved = umask(022);
  { file_output_stream(path.c_str()) << "a longer first text" << endl; }
  { file_output_stream(path.c_str()) << "second"; }
  { file_output_stream(path.c_str(), OPEN_APPEND) << "+more"; }
  errno = 0;
  { file_output_stream taken(path.c_str(), OPEN_EXCLUSIVE); EXPECT_TRUE(taken.bad() && errno == EEXIST); }
  umask(saved);
  file_input_stream in(path.c_str());
  char text[20] = {};
  in.read(text, sizeof text - 1);
  EXPECT_STREQ(text, "second+more");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  unlink(path.c_str());
  file_output_stream out(scratch.path());
  out << "abc";
  out.setstate(STATE_EOF);
  EXPECT_EQ(out.seekp(0).tellp(), -1);
  out.clear();
  out << 'X';
  out.close();
  EXPECT_EQ(scratch.contents(), "Xbc");
  file_input_stream reread(scratch.path());
  EXPECT_EQ(reread.get(), 'X');
  reread.setstate(STATE_EOF);
  reread.seekg(0).clear();
  EXPECT_EQ(reread.get(), 'b');
  EXPECT_EQ(reread.tellg(), 2);
  scratch_file second, other;
  int fd;
  {
    file_output_stream unflushed(second.path());
    unflushed << "unflushed";
    unflushed.setstate(STATE_FAIL);  // close cannot flush
    unflushed.close();
    EXPECT_EQ(unflushed.fd(), -1);
    fd = open(other.path(), O_WRONLY);  // takes the freed number
  }
  close(fd);
  EXPECT_EQ(second.contents() + other.contents(), "");
}

}  // namespace
