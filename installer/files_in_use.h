// Files that running processes hold open or mapped, read from "/proc", and
// the collection of files that no package owns.
#pragma once

#include "foundation/string.h"

// Fills the repository's set of files in use from every process's "maps"
// and descriptor links. Paths below "/proc" are never entered.
void scan_files_in_use();

bool is_file_in_use(const string& path);

// Deletes every file, link, device, FIFO and socket below directory that no
// installed package owns; never follows a symbolic link; directories stay.
// The directory is absolute, without a trailing "/"; "" stands for the root.
// The package database and the installer's own state (the queue, the
// pending packages, "/DOWNGRADE", "/postlog") are never collected.
void collect_files(const char* directory);
