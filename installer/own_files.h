// How the installer opens its own files and directories ("/postlog", the
// queue, the pending packages, the RAM disk, the database): never through a
// symbolic link, and never waiting on a FIFO or device that a package or a
// damaged root left at one of those paths. Only regular files are read or
// written there.
#pragma once

#include "foundation/streams.h"

// True when the descriptor is open on a regular file.
bool is_regular_file(int fd);

// Removes what is at path when it is neither a regular file nor a directory
// (a symbolic link, FIFO, device or socket), so that the installer can
// create its own file there.
void clear_own_path(const char* path);

// Opens one of the installer's own files for reading; the stream is closed
// again (reads fail) when what is at path is not a regular file. False then.
bool open_own_file(file_input_stream& in);

// Opens the directory path without following a link at its last component;
// -1 otherwise.
int open_own_directory(const char* path);
