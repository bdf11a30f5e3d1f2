#include "support/unchecked_dynamic_types.h"
BEGIN_UNCHECKED_DYNAMIC_TYPES

#include "foundation/streams.h"

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

#include "foundation/fd_buffers.h"
#include "foundation/string.h"
#include "support/recording_buffer.h"

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

std::string temp_path(const char* name) { return std::string("/tmp/streams_test_") + name; }

std::string file_contents(const std::string& path) {
  file_input_stream in(path.c_str());
  std::string text(1024, '\0');
  in.read(&text[0], text.size());
  text.resize(in.gcount());
  return text;
}

TEST(standard_streams, text_without_endl_never_reaches_the_descriptor) {
  EXPECT_EQ(child_output([] { standard_output << "lost at exit"; exit(0); }), "");
  EXPECT_EQ(child_output([] { standard_output << "kept" << endl << "lost"; _exit(0); }), "kept\n");
  EXPECT_EQ(static_cast<fd_input_buffer*>(standard_input.rdbuf())->fd(), 0);
  EXPECT_EQ(static_cast<fd_output_buffer*>(standard_output.rdbuf())->fd(), 1);
  EXPECT_EQ(static_cast<fd_output_buffer*>(standard_error.rdbuf())->fd(), 2);
}

TEST(output_stream, width_pads_one_insertion_and_a_base_prefix_alone) {
  EXPECT_EQ(format([](output_stream& o) { o.flags(FLAG_HEX | FLAG_SHOWBASE), o.width(6), o << 255u; }),
            "    0xff");
  EXPECT_EQ(format([](output_stream& o) { o.width(6), o.insert_hex(255); }), "    0xff");
  EXPECT_EQ(format([](output_stream& o) { o.width(5), o.setf(FLAG_LEFT), o << "ab" << "c"; }), "ab   c");
  EXPECT_EQ(format([](output_stream& o) { o.setf(FLAG_LEFT), o.width(3), o << 'a', o.width(3), o << 'b'; }),
            "a    b");
  EXPECT_EQ(format([](output_stream& o) { o.width(4), o.fill('*'), o << 'x' << 'y'; }), "***xy");
  EXPECT_EQ(format([](output_stream& o) { o.width(3), o << string("abcd"); }), "abcd");
  EXPECT_EQ(format([](output_stream& o) { o.width(2), o << true << false; }), " 10");
  EXPECT_EQ(format([](output_stream& o) { o.setf(FLAG_BOOLALPHA), o << true << false; }), "truefalse");
}

TEST(output_stream, numbers_follow_the_base_flags_and_widths_of_each_type) {
  EXPECT_EQ(format([](output_stream& o) { o << -42 << ' ' << 4294967295u; }), "-42 4294967295");
  EXPECT_EQ(format([](output_stream& o) { o.flags(FLAG_OCT | FLAG_SHOWBASE), o << 8u; }), "010");
  EXPECT_EQ(format([](output_stream& o) { o.flags(FLAG_OCT | FLAG_HEX), o << 8; }), "10");
  EXPECT_EQ(format([](output_stream& o) { o.flags(FLAG_HEX), o << -1; }), "ffffffff");
  EXPECT_EQ(format([](output_stream& o) { o.flags(FLAG_HEX), o << -1LL; }), "ffffffffffffffff");
  EXPECT_EQ(format([](output_stream& o) { o << LLONG_MIN; }), "-9223372036854775808");
  EXPECT_EQ(format([](output_stream& o) { o.flags(FLAG_HEX), o << -1L; }),
            sizeof(long) == 8 ? "ffffffffffffffff" : "ffffffff");
  EXPECT_EQ(format([](output_stream& o) { o.setf(FLAG_OCT), o.insert_hex(255), o << 8; }), "0xff10");
}

TEST(output_stream, floating_point_uses_the_precision_and_is_cut_at_31_characters) {
  EXPECT_EQ(format([](output_stream& o) { o << 2.5; }), "2.500000");
  EXPECT_EQ(format([](output_stream& o) { o.precision(2), o << 3.14159; }), "3.14");
  EXPECT_EQ(format([](output_stream& o) { o.precision(3), o.setf(FLAG_SCIENTIFIC), o << 1500.0; }),
            "1.500e+03");
  EXPECT_EQ(format([](output_stream& o) { o << 1e300; }).size(), 31u);
}

TEST(output_stream, a_refused_write_sets_bad_and_later_operations_are_skipped) {
  recording_buffer sink;
  sink.capacity = 3;
  output_stream out(&sink);
  out.write("abcdef", 6);
  EXPECT_TRUE(out.bad());
  out.put('x').flush() << 12;
  EXPECT_EQ(sink.bytes, "abc");
  EXPECT_EQ(sink.overflow_calls + sink.sync_calls, 0u);
  EXPECT_EQ(sink.write_sizes.size(), 1u);
  output_stream unattached(nullptr);
  unattached.clear();
  EXPECT_TRUE(unattached.bad());
}

TEST(output_stream, inserting_a_buffer_copies_all_of_it) {
  std::string data(5000, 'q');
  data[4999] = 'e';
  memory_source source(data);
  EXPECT_EQ(format([&](output_stream& o) { o << &source; }), data);
}

TEST(input_stream, numbers_take_a_word_and_fail_when_it_is_not_used_up) {
  int i = -1;
  text_input a("12abc");
  a.in >> i;
  EXPECT_EQ(i, 12);
  EXPECT_TRUE(a.in.fail());
  text_input b("0x1f");
  b.in.setf(FLAG_HEX);
  EXPECT_FALSE((b.in >> i).fail());
  EXPECT_EQ(i, 31);
  text_input c("  42\n-7 x");
  c.in >> i;
  EXPECT_EQ(i, 42);
  c.in >> i;
  EXPECT_EQ(i, -7);
  EXPECT_TRUE((c.in >> i).fail());
  EXPECT_EQ(i, 0);  // stored even though the conversion failed
  text_input d(" \n ");
  i = 5;
  d.in >> i;
  EXPECT_EQ(d.in.rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  EXPECT_EQ(i, 5);
}

TEST(input_stream, number_words_are_limited_by_width_and_type) {
  int i = 0;
  text_input a("12345");
  a.in.width(3);
  a.in >> i;
  EXPECT_EQ(i, 123);
  a.in >> i;
  EXPECT_EQ(i, 45);
  EXPECT_EQ(a.in.width(), 3);
  long long big = 0;
  text_input b("1234567890123456789");
  b.in >> big;
  EXPECT_EQ(big, 123456789012345LL);  // 15 characters at most
  b.in >> big;
  EXPECT_EQ(big, 6789);
  double d = 0;
  float f = 0;
  text_input c("2.5e3 1.5x");
  c.in >> d >> f;
  EXPECT_EQ(d, 2500.0);
  EXPECT_EQ(f, 1.5f);
  EXPECT_TRUE(c.in.fail());
}

TEST(input_stream, integers_out_of_range_agree_on_both_builds) {
  int i = 0;
  unsigned u = 0;
  short s = 0;
  text_input a("99999999999 -1 70000 -99999999999");
  EXPECT_TRUE((a.in >> i).fail());
  EXPECT_EQ(i, INT_MAX);
  a.in.clear();
  EXPECT_FALSE((a.in >> u).fail());
  EXPECT_EQ(u, 4294967295u);  // strtoul's wrap of a negative word
  EXPECT_FALSE((a.in >> s).fail());
  EXPECT_EQ(s, (short)70000);  // 16-bit values are truncated
  EXPECT_TRUE((a.in >> u).fail());
  EXPECT_EQ(u, 4294967295u);
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
  EXPECT_TRUE((a.in >> c).fail());
  EXPECT_TRUE(a.in.eof());
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

TEST(input_stream, getline_into_a_buffer_puts_back_what_does_not_fit) {
  char buffer[4];
  text_input a("abc\nabcd\nxy");
  EXPECT_TRUE(a.in.getline(buffer, 4).good());
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(a.in.gcount(), 4u);
  EXPECT_TRUE(a.in.getline(buffer, 4).fail());
  EXPECT_STREQ(buffer, "abc");
  a.in.clear();
  EXPECT_EQ(a.in.get(), 'd');
  a.in.get();
  a.in.getline(buffer, 4);
  EXPECT_EQ(a.in.rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  EXPECT_STREQ(buffer, "xy");
  text_input b("abc");
  EXPECT_TRUE(b.in.getline(buffer, 0).fail());
  EXPECT_EQ(b.in.get(), END_OF_DATA);  // skipped: the state is not 0
}

TEST(input_stream, get_into_a_buffer_stops_before_the_delimiter) {
  char buffer[8];
  text_input a("ab\ncdefghijk");
  EXPECT_TRUE(a.in.get(buffer, 8).good());
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(a.in.get(), '\n');
  EXPECT_TRUE(a.in.get(buffer, 4).good());
  EXPECT_STREQ(buffer, "cde");
  EXPECT_EQ(a.in.get(buffer, 8).rdstate(), (uint32_t)(STATE_EOF | STATE_FAIL));
  EXPECT_STREQ(buffer, "fghijk");
  text_input b("abc");
  EXPECT_TRUE(b.in.get(buffer, 0).fail());
}

TEST(input_stream, a_failed_stream_skips_everything_until_cleared) {
  text_input a("abc\ndef");
  char c = 0;
  a.in.setstate(STATE_FAIL);
  EXPECT_EQ(a.in.get(), END_OF_DATA);
  EXPECT_EQ(a.in.peek(), END_OF_DATA);
  EXPECT_EQ(a.in.tellg(), -1);
  a.in.clear(STATE_EOF);
  a.in.putback('x');
  EXPECT_TRUE(a.in.fail());
  a.in.clear();
  EXPECT_EQ(a.in.putback('z').rdstate(), (uint32_t)STATE_BAD);  // refused by the buffer
  a.in.clear();
  a.in.get(c).ignore(100, '\n');
  EXPECT_EQ(c, 'a');
  EXPECT_EQ(a.in.peek(), 'd');
  EXPECT_EQ(a.in.unget().get(), '\n');
  a.in.ignore(100);
  EXPECT_EQ(a.in.rdstate(), (uint32_t)STATE_EOF);
}

TEST(file_streams, missing_files_are_bad_with_descriptor_minus_one) {
  file_input_stream in("/nonexistent/streams_test");
  EXPECT_TRUE(in.bad());
  EXPECT_EQ(in.fd(), -1);
  file_output_stream out("/nonexistent/streams_test");
  EXPECT_TRUE(out.bad());
  EXPECT_EQ(out.fd(), -1);
}

TEST(file_streams, output_truncates_or_appends_with_mode_0666_under_the_umask) {
  std::string path = temp_path("modes");
  mode_t saved = umask(022);
  { file_output_stream(path.c_str()) << "a longer first text" << endl; }
  { file_output_stream(path.c_str()) << "second"; }
  { file_output_stream(path.c_str(), OPEN_APPEND) << "+more"; }
  umask(saved);
  EXPECT_EQ(file_contents(path), "second+more");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  unlink(path.c_str());
}

TEST(file_streams, seeks_in_state_eof_go_ahead_for_output_only) {
  std::string path = temp_path("seek");
  file_output_stream out(path.c_str());
  out << "abc";
  out.setstate(STATE_EOF);
  out.seekp(0);
  EXPECT_EQ(out.tellp(), -1);
  out.clear();
  out << 'X';
  out.close();
  EXPECT_EQ(file_contents(path), "Xbc");
  file_input_stream in(path.c_str());
  EXPECT_EQ(in.get(), 'X');
  in.setstate(STATE_EOF);
  in.seekg(0);
  in.clear();
  EXPECT_EQ(in.get(), 'b');
  EXPECT_EQ(in.tellg(), 2);
  unlink(path.c_str());
}

TEST(file_streams, closing_leaves_nothing_behind_for_a_reused_descriptor) {
  std::string first = temp_path("closed"), second = temp_path("reused");
  int fd;
  {
    file_output_stream out(first.c_str());
    out << "unflushed";
    out.setstate(STATE_FAIL);  // close cannot flush
    out.close();
    EXPECT_EQ(out.fd(), -1);
    fd = open(second.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);  // takes the freed number
  }
  close(fd);
  EXPECT_EQ(file_contents(first), "");
  EXPECT_EQ(file_contents(second), "");
  unlink(first.c_str()), unlink(second.c_str());
}

TEST(stream_base, words_grow_on_demand_and_start_at_zero) {
  int first = stream_base::allocate_word_index();
  int second = stream_base::allocate_word_index();
  EXPECT_NE(first, second);
  text_input a("");
  a.in.word(first) = 7;
  EXPECT_EQ(a.in.word(second + 3), 0u);
  EXPECT_EQ(a.in.word(first), 7u);
  EXPECT_EQ(a.in.flags(), (uint32_t)FLAG_DEC);
  EXPECT_EQ(a.in.precision(), 6);
  EXPECT_EQ(a.in.fill(), ' ');
}

}  // namespace

END_UNCHECKED_DYNAMIC_TYPES
