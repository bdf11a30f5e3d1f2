// Reading a package's "files" list from a stream of bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/streams.h"
#include "installer/database.h"
#include "support/bytes.h"
#include "support/recording_buffer.h"

namespace {

std::vector<std::string> read_list(const std::string& bytes, const char* already = nullptr) {
  memory_source source(bytes);
  input_stream in(&source);
  string_set files;
  if (already) files.insert(string(already));
  read_file_list(in, files);
  EXPECT_TRUE(files.verify());
  std::vector<std::string> paths;
  for (const string& path : files) paths.push_back(to_std(path));
  return paths;
}

// Lines get a leading "/" and merge into the set, empty ones skipped; paths
// of every length put a line across each boundary of the reader's chunks.
TEST(file_list, lines_become_one_set_of_absolute_paths) {
  EXPECT_EQ(read_list(std::string("a\0b\n/", 5)), (std::vector<std::string>{"/", std::string("/a\0b", 4)}));
  EXPECT_EQ(read_list("usr/b\n\netc/a\n/usr/b\n\n\nusr/b\netc/a\nm", "/m"),
            (std::vector<std::string>{"/etc/a", "/m", "/usr/b"}));
  std::string bytes;
  std::vector<std::string> expected;
  for (size_t length = 1; length < 200; ++length) {
    bytes += "p" + std::string(length, 'x') + "\n";
    expected.push_back("/p" + std::string(length, 'x'));
  }
  bytes += "q" + std::string(10000, 'y');  // the last line has no "\n"
  expected.push_back("/q" + std::string(10000, 'y'));
  for (size_t skip = 0; skip < 8; ++skip)  // shift the boundaries
    EXPECT_EQ(read_list(std::string(skip, '\n') + bytes), expected);
}

}  // namespace
