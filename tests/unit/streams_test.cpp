#include "foundation/streams.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>

#include "foundation/fd_buffers.h"
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

// Runs body in a child whose descriptor 1 is a pipe; returns what arrived.
std::string child_output(const std::function<void()>& body) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], 1);
    body();
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char chunk[256];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) got.append(chunk, n);
  close(fds[0]);
  waitpid(child, nullptr, 0);
  return got;
}

TEST(standard_streams, text_without_endl_never_reaches_the_descriptor) {
  EXPECT_EQ(child_output([] { standard_output << "lost at exit"; exit(0); }), "");
  EXPECT_EQ(child_output([] { standard_output << "kept" << endl << "lost"; _exit(0); }), "kept\n");
}

#define FORMAT(...) format([&](output_stream& o) { __VA_ARGS__; })

TEST(output_stream, width_pads_one_insertion_and_a_base_prefix_alone) {
  EXPECT_EQ(FORMAT(o.flags(FLAG_HEX | FLAG_SHOWBASE), o.width(6), o << 255u), "    0xff");
  EXPECT_EQ(FORMAT(o.width(6), o.insert_hex(255)), "    0xff");
  EXPECT_EQ(FORMAT(o.width(5), o.setf(FLAG_LEFT), o << "ab" << "c"), "ab   c");
  EXPECT_EQ(FORMAT(o.setf(FLAG_LEFT), o.width(3), o << 'a', o.width(3), o << 'b'), "a    b");
  EXPECT_EQ(FORMAT(o.width(4), o.fill('*'), o << 'x' << 'y'), "***xy");
  EXPECT_EQ(FORMAT(o.width(3), o << string("abcd")), "abcd");
  EXPECT_EQ(FORMAT(o.width(2), o << true << false), " 10");
  EXPECT_EQ(FORMAT(o.setf(FLAG_BOOLALPHA), o << true << false), "truefalse");
}

TEST(output_stream, numbers_follow_the_base_flags_precision_and_type_width) {
  EXPECT_EQ(FORMAT(o << -42 << ' ' << 4294967295u << ' ' << LLONG_MIN), "-42 4294967295 -9223372036854775808");
  EXPECT_EQ(FORMAT(o.flags(FLAG_OCT | FLAG_SHOWBASE), o << 8u), "010");
  EXPECT_EQ(FORMAT(o.flags(FLAG_OCT | FLAG_HEX), o << 8), "10");
  EXPECT_EQ(FORMAT(o.flags(FLAG_HEX), o << -1 << ' ' << -1LL), "ffffffff ffffffffffffffff");
  EXPECT_EQ(FORMAT(o.flags(FLAG_HEX), o << -1L), sizeof(long) == 8 ? "ffffffffffffffff" : "ffffffff");
  EXPECT_EQ(FORMAT(o.setf(FLAG_OCT), o.insert_hex(255), o << 8), "0xff10");
  EXPECT_EQ(FORMAT(o << 2.5 << ' ', o.precision(2), o << 3.14159), "2.500000 3.14");
  EXPECT_EQ(FORMAT(o.precision(3), o.setf(FLAG_SCIENTIFIC), o << 1500.0), "1.500e+03");
  EXPECT_EQ(FORMAT(o << 1e300).size(), 31u);
}

TEST(output_stream, a_refused_write_sets_bad_and_later_operations_are_skipped) {
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
result extract(const std::string& text, uint32_t flags = FLAG_DEC, T start = T(),
                               int width = 0) {
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
  EXPECT_EQ(extract<int>("x "), result(0, FAIL));
  EXPECT_EQ(extract<int>(" \n ", FLAG_DEC, 5), result(5, EOF_FAIL));  // no word: untouched
  EXPECT_EQ(extract<int>("12345 ", FLAG_DEC, 0, 3), result(123, 0));
  EXPECT_EQ(extract<long long>("1234567890123456789 "), result(123456789012345LL, 0));  // 15 at most
  EXPECT_EQ(extract<float>("1.5x "), result(1.5, FAIL));
  EXPECT_EQ(extract<double>("2.5e3"), result(2500.0, STATE_EOF));
  // Out of range: the same results on the i386 and native builds.
  EXPECT_EQ(extract<int>("99999999999 "), result(INT_MAX, FAIL));
  EXPECT_EQ(extract<unsigned>("-1 "), result(4294967295u, 0));  // strtoul's wrap
  EXPECT_EQ(extract<unsigned>("-99999999999 "), result(4294967295u, FAIL));
  EXPECT_EQ(extract<short>("70000 "), result((short)70000, 0));  // 16 bits are truncated
  text_input a("  42\n-7 12345");
  int i = 0, j = 0;
  a.in >> i >> j;
  a.in.width(3);
  a.in >> i >> j;
  EXPECT_EQ(i * 100 + j, 12345);  // the width stays for the next word
}

TEST(input_stream, words_and_characters_skip_white_space) {
  string word;
  char c = 0;
  text_input a("  alpha\tbeta \n x");
  a.in >> word;
  EXPECT_EQ(word, "alpha");
  a.in.width(2);
  a.in >> word;
  EXPECT_EQ(word, "be");
  a.in.width(0);
  a.in >> word >> c;
  EXPECT_EQ(word, "ta");
  EXPECT_EQ(c, 'x');
  EXPECT_EQ((a.in >> c).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  text_input b("   ");
  EXPECT_EQ((b.in >> word).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
}

TEST(input_stream, getline_into_a_string_reports_a_last_line_without_newline) {
  std::string long_line(1000, 'l');
  text_input a("one\n\n" + long_line + "\ntwo");
  string line;
  EXPECT_TRUE(a.in.getline(line).good());
  EXPECT_EQ(line, "one");
  EXPECT_TRUE(a.in.getline(line).good());
  EXPECT_EQ(line, "");
  a.in.getline(line);
  EXPECT_EQ(std::string(line.c_str()), long_line);
  EXPECT_EQ(a.in.getline(line).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  EXPECT_EQ(line, "two");
}

TEST(input_stream, get_and_getline_into_a_buffer_keep_to_its_size) {
  char buffer[4];
  text_input a("abc\nabcd\nxy");
  EXPECT_TRUE(a.in.getline(buffer, 4).good());
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(a.in.gcount(), 4u);
  EXPECT_TRUE(a.in.getline(buffer, 4).fail());  // 'd' is put back
  a.in.clear();
  EXPECT_EQ(a.in.get(), 'd');
  a.in.get(buffer, 4);  // stops before the delimiter
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(a.in.get(), '\n');
  EXPECT_EQ(a.in.getline(buffer, 4).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  EXPECT_STREQ(buffer, "xy");
  text_input b("abcdef");
  EXPECT_TRUE(b.in.get(buffer, 3).good());
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(b.in.get(buffer, 4).get(buffer, 4).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  EXPECT_STREQ(buffer, "f");
  for (bool line : {false, true}) {
    text_input c("abc");
    EXPECT_TRUE((line ? c.in.getline(buffer, 0) : c.in.get(buffer, 0)).fail());
  }
}

TEST(input_stream, a_failed_stream_skips_everything_until_cleared) {
  text_input a("abc\ndef");
  char c = 0;
  a.in.setstate(STATE_FAIL);
  EXPECT_EQ(a.in.get(), END_OF_DATA);
  EXPECT_EQ(a.in.peek(), END_OF_DATA);
  EXPECT_EQ(a.in.tellg(), -1);
  a.in.clear(STATE_EOF);
  EXPECT_TRUE(a.in.putback('x').fail());
  a.in.clear();
  EXPECT_EQ(a.in.putback('z').rdstate(), (uint32_t)STATE_BAD);  // refused by the buffer
  a.in.clear();
  a.in.get(c).ignore(100, '\n');
  EXPECT_EQ(c, 'a');
  EXPECT_EQ(a.in.peek(), 'd');
  EXPECT_EQ(a.in.unget().get(), '\n');
  EXPECT_EQ(a.in.ignore(100).rdstate(), (uint32_t)STATE_EOF);
}

TEST(file_streams, open_modes_and_missing_files) {
  file_input_stream missing_in("/nonexistent/streams_test");
  file_output_stream missing_out("/nonexistent/streams_test");
  EXPECT_TRUE(missing_in.bad() && missing_out.bad());
  EXPECT_EQ(missing_in.fd() + missing_out.fd(), -2);
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
}

TEST(file_streams, seeks_in_state_eof_go_ahead_for_output_only) {
  scratch_file file;
  file_output_stream out(file.path());
  out << "abc";
  out.setstate(STATE_EOF);
  EXPECT_EQ(out.seekp(0).tellp(), -1);
  out.clear();
  out << 'X';
  out.close();
  EXPECT_EQ(file.contents(), "Xbc");
  file_input_stream in(file.path());
  EXPECT_EQ(in.get(), 'X');
  in.setstate(STATE_EOF);
  in.seekg(0).clear();
  EXPECT_EQ(in.get(), 'b');
  EXPECT_EQ(in.tellg(), 2);
}

TEST(file_streams, closing_leaves_nothing_behind_for_a_reused_descriptor) {
  scratch_file first, second;
  int fd;
  {
    file_output_stream out(first.path());
    out << "unflushed";
    out.setstate(STATE_FAIL);  // close cannot flush
    out.close();
    EXPECT_EQ(out.fd(), -1);
    fd = open(second.path(), O_WRONLY);  // takes the freed number
  }
  close(fd);
  EXPECT_EQ(first.contents() + second.contents(), "");
}

TEST(stream_base, starts_decimal_and_grows_words_on_demand) {
  text_input a("");
  EXPECT_EQ(a.in.flags(), (uint32_t)FLAG_DEC);
  EXPECT_EQ(a.in.precision() + a.in.width(), 6);
  EXPECT_EQ(a.in.fill(), ' ');
  int first = stream_base::allocate_word_index(), second = stream_base::allocate_word_index();
  EXPECT_NE(first, second);
  a.in.word(first) = 7;
  EXPECT_EQ(a.in.word(second + 3), 0u);
  EXPECT_EQ(a.in.word(first), 7u);
}

}  // namespace
