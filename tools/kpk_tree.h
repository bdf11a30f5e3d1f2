// Turns a directory tree into the file entries of a package, streaming:
// one directory's names in memory at a time, file contents in fixed chunks.
#pragma once

#include <stdint.h>

#include "package_format/package_writer.h"
#include "tools/kpk_output.h"

struct tree_options {
  bool root_owner = false;              // record user and group 0 for everything
  const output_file* output = nullptr;  // not packaged when it lies in the tree; not owned
};

struct tree_counts {
  uint32_t entries = 0;
  uint64_t data_bytes = 0;
};

// One entry per regular file, symbolic link, directory, device and FIFO
// below root (not root itself): paths relative to root with a leading "/",
// a directory before its contents, names in string order. Prints the first
// problem ("kpk: PATH: what") and returns false.
[[nodiscard]] bool write_tree(package_writer& writer, const char* root, const tree_options& options,
                              tree_counts& counts);
