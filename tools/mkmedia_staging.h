// A scratch directory beside a medium's output where mkmedia builds its
// files. They are moved into place only when everything has succeeded; the
// directory goes, with whatever is left in it, when the command ends, so a
// failed or interrupted command leaves nothing behind.
#pragma once

#include <stddef.h>

#include "foundation/string.h"

class staging_area {
 public:
  staging_area() = default;
  // Removes the files left in the directory, then the directory.
  ~staging_area();
  staging_area(const staging_area&) = delete;
  staging_area& operator=(const staging_area&) = delete;

  // Creates the directory as prefix followed by a unique suffix; the prefix
  // names a place on the output's file system. Prints the reason and returns
  // false when it cannot.
  [[nodiscard]] bool create(const string& prefix);
  // Path of a file inside the directory.
  string path_of(const char* name) const;
  // Writes a small file inside the directory (created new, mode 0644).
  [[nodiscard]] bool write_file(const char* name, const void* data, size_t size);
  // Renames a finished file to its final path.
  [[nodiscard]] bool publish(const char* name, const char* destination);
  // Removes one file from the directory; a file that is not there is fine.
  void discard(const char* name);

 private:
  string directory_;
};
