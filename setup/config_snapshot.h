// Keeping the old configuration across the erase: the tree "/kest/store" of
// the old system is copied into memory before the disk is repartitioned and
// written back onto the new file system afterwards.
#pragma once

#include <stdint.h>

constexpr uint32_t SNAPSHOT_MAGIC = 0x5A0937EB;
constexpr uint32_t SNAPSHOT_CHUNK_SIZE = 16000;

// One link of the snapshot's chain. While the snapshot is taken, size is the
// capacity of data and position the bytes filled; once closed, size is the
// bytes filled and position the read position. The magic is cleared when the
// chunk is freed.
struct snapshot_chunk {
  uint32_t magic;
  uint32_t size;
  uint32_t position;
  snapshot_chunk* next;  // owned: the chain is freed from its first chunk
  unsigned char data[1];
};

// The byte stream in the chain is, per entry in walk order (a directory
// before its contents): the path with its terminator (never split between
// chunks), the entry's status record, and for a regular file its contents.
// Only regular files and directories are kept; links, devices, pipes and
// sockets are left out.
//
// Takes the tree at path; none when an entry cannot be examined, opened,
// listed or read whole (a file whose size changes while it is read), when a
// path does not fit, or when memory runs out.
snapshot_chunk* take_snapshot(const char* path);

// Writes the tree back with its modes, owners and times, and frees the chain
// whatever the outcome. False at the first entry that cannot be created or
// written whole (what was restored before stays); a chain whose first chunk
// lacks the magic is refused and not freed.
[[nodiscard]] bool restore_snapshot(snapshot_chunk* snapshot);

// Frees a chain without restoring it.
void free_snapshot(snapshot_chunk* snapshot);
