// Reading a package's "files" list from a stream of bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/streams.h"
#include "installer/database.h"
#include "support/recording_buffer.h"

namespace {

std::vector<std::string> read_list(const std::string& bytes, string_set& files) {
  memory_source source(bytes);
  input_stream in(&source);
  read_file_list(in, files);
  EXPECT_TRUE(files.verify());
  std::vector<std::string> paths;
  for (const string& path : files) paths.push_back(std::string(path.c_str(), path.length()));
  return paths;
}

std::vector<std::string> read_list(const std::string& bytes) {
  string_set files;
  return read_list(bytes, files);
}

TEST(file_list, lines_get_a_leading_slash_and_empty_lines_are_skipped) {
  EXPECT_EQ(read_list("etc/a\n\n/etc/b\n\n\nusr/c"),
            (std::vector<std::string>{"/etc/a", "/etc/b", "/usr/c"}));
  EXPECT_EQ(read_list(""), std::vector<std::string>{});
  EXPECT_EQ(read_list("\n\n"), std::vector<std::string>{});
  EXPECT_EQ(read_list(std::string("a\0b\n/", 5)),
            (std::vector<std::string>{"/", std::string("/a\0b", 4)}));
}

TEST(file_list, repeated_and_unordered_lines_give_the_same_set) {
  EXPECT_EQ(read_list("usr/b\netc/a\n/usr/b\nusr/b\netc/a\nzz\n"),
            (std::vector<std::string>{"/etc/a", "/usr/b", "/zz"}));
  string_set files;
  files.insert(string("/m"));
  EXPECT_EQ(read_list("a\nm\nz\n", files), (std::vector<std::string>{"/a", "/m", "/z"}));
}

TEST(file_list, lines_longer_than_a_read_and_cut_between_reads) {
  // Paths of every length up to well past the reader's chunk, so that some
  // line straddles each chunk boundary, some "\n" is the chunk's last byte,
  // and some line spans several chunks.
  std::string bytes;
  std::vector<std::string> expected;
  for (size_t length = 1; length < 200; ++length) {
    std::string path = "p" + std::string(length, 'x');
    bytes += path + "\n";
    expected.push_back("/" + path);
  }
  std::string long_path = "q" + std::string(10000, 'y');
  bytes += long_path;  // the last line has no "\n"
  expected.push_back("/" + long_path);
  EXPECT_EQ(read_list(bytes), expected);
  for (size_t skip = 1; skip < 8; ++skip)  // shift the boundaries
    EXPECT_EQ(read_list(std::string(skip, '\n') + bytes), expected);
}

TEST(file_list, a_stream_without_a_source_reads_nothing) {
  input_stream in(nullptr);
  string_set files;
  read_file_list(in, files);
  EXPECT_TRUE(files.empty());
}

}  // namespace
