#include "setup/config_snapshot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "foundation/vector.h"

namespace {

// The status record is kept as lstat() fills it on this machine; the chain
// never leaves the process, so its layout is ours.
constexpr uint32_t STATUS_RECORD_SIZE = sizeof(struct stat);

// Allocation failure is an expected outcome here (the whole tree lives in
// memory), so chunks come from malloc and a refusal fails the snapshot.
snapshot_chunk* new_chunk(uint32_t capacity) {
  snapshot_chunk* chunk =
      static_cast<snapshot_chunk*>(malloc(offsetof(snapshot_chunk, data) + capacity));
  if (!chunk) return nullptr;
  chunk->magic = SNAPSHOT_MAGIC;
  chunk->size = capacity;
  chunk->position = 0;
  chunk->next = nullptr;
  return chunk;
}

void close_chunk(snapshot_chunk* chunk) {
  chunk->size = chunk->position;
  chunk->position = 0;
}

// Filling side: the last chunk of the chain.
struct snapshot_writer {
  snapshot_chunk* last;

  uint32_t room() const { return last->size - last->position; }
  unsigned char* fill_point() { return last->data + last->position; }

  bool append_chunk(uint32_t capacity) {
    snapshot_chunk* chunk = new_chunk(capacity);
    if (!chunk) return false;
    close_chunk(last);
    last->next = chunk;
    last = chunk;
    return true;
  }

  // A path never spans two chunks: one that does not fit gets a chunk of
  // exactly its own size.
  bool append_path(const char* path) {
    uint32_t length = (uint32_t)strlen(path) + 1;
    if (room() < length && !append_chunk(length)) return false;
    memcpy(fill_point(), path, length);
    last->position += length;
    return true;
  }

  bool append_block(const void* data, uint32_t length) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (;;) {
      uint32_t part = length < room() ? length : room();
      memcpy(fill_point(), bytes, part);
      last->position += part;
      bytes += part;
      length -= part;
      if (length == 0) return true;
      if (!append_chunk(SNAPSHOT_CHUNK_SIZE)) return false;
    }
  }

  // Reads the file straight into chunk space; the byte count, or -1.
  int64_t append_contents(int fd) {
    int64_t total = 0;
    for (;;) {
      if (room() == 0 && !append_chunk(SNAPSHOT_CHUNK_SIZE)) return -1;
      ssize_t n = read_retrying(fd, fill_point(), room());
      if (n < 0) return -1;
      if (n == 0) return total;
      last->position += (uint32_t)n;
      total += n;
    }
  }
};

bool enter_path(snapshot_writer& writer, char* path, size_t length);

bool enter_file(snapshot_writer& writer, const char* path, const struct stat& status) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  bool kept = writer.append_path(path) && writer.append_block(&status, STATUS_RECORD_SIZE) &&
              writer.append_contents(fd) == (int64_t)status.st_size;
  close(fd);
  return kept;
}

// path has room for PATH_MAX bytes; length is its current length. Names
// are appended in place and cut off again after their walk.
bool enter_directory(snapshot_writer& writer, char* path, size_t length,
                     const struct stat& status) {
  DIR* directory = opendir(path);
  if (!directory) return false;
  bool kept = writer.append_path(path) && writer.append_block(&status, STATUS_RECORD_SIZE);
  while (kept) {
    errno = 0;
    struct dirent* entry = readdir(directory);
    if (!entry) {
      kept = errno == 0;
      break;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    size_t name_length = strlen(name);
    if (length + 1 + name_length >= PATH_MAX) {
      kept = false;
      break;
    }
    path[length] = '/';
    memcpy(path + length + 1, name, name_length + 1);
    kept = enter_path(writer, path, length + 1 + name_length);
    path[length] = '\0';
  }
  closedir(directory);
  return kept;
}

bool enter_path(snapshot_writer& writer, char* path, size_t length) {
  struct stat status;
  if (lstat(path, &status) != 0) return false;
  if (S_ISREG(status.st_mode)) return enter_file(writer, path, status);
  if (S_ISDIR(status.st_mode)) return enter_directory(writer, path, length, status);
  return true;  // links, devices, pipes and sockets are not kept
}

// Reading side: the first chunk whose bytes are not all read.
struct snapshot_reader {
  snapshot_chunk* current;

  void skip_read_chunks() {
    while (current && current->position >= current->size) current = current->next;
  }
  bool at_end() {
    skip_read_chunks();
    return current == nullptr;
  }

  // The path at the read position, within one chunk; none when its
  // terminator is missing.
  const char* read_path() {
    skip_read_chunks();
    if (!current) return nullptr;
    const char* path = reinterpret_cast<const char*>(current->data + current->position);
    const void* end = memchr(path, 0, current->size - current->position);
    if (!end) return nullptr;
    current->position += (uint32_t)(static_cast<const char*>(end) - path) + 1;
    return path;
  }

  // Hands out up to length bytes at the read position; 0 at the end.
  uint32_t next_piece(const unsigned char*& piece, uint64_t length) {
    skip_read_chunks();
    if (!current) return 0;
    uint32_t available = current->size - current->position;
    uint32_t part = length < available ? (uint32_t)length : available;
    piece = current->data + current->position;
    current->position += part;
    return part;
  }

  bool read_block(void* data, uint32_t length) {
    unsigned char* out = static_cast<unsigned char*>(data);
    while (length > 0) {
      const unsigned char* piece;
      uint32_t part = next_piece(piece, length);
      if (part == 0) return false;
      memcpy(out, piece, part);
      out += part;
      length -= part;
    }
    return true;
  }
};

bool set_times(const char* path, const struct stat& status) {
  struct timeval times[2];
  times[0].tv_sec = status.st_atime;
  times[0].tv_usec = 0;
  times[1].tv_sec = status.st_mtime;
  times[1].tv_usec = 0;
  return lutimes(path, times) == 0;
}

bool restore_file(snapshot_reader& reader, const char* path, const struct stat& status) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  uint64_t left = (uint64_t)status.st_size;
  bool written = true;
  while (written && left > 0) {
    const unsigned char* piece;
    uint32_t part = reader.next_piece(piece, left);
    written = part > 0 && write_all(fd, piece, part) == part;
    left -= part;
  }
  written = written && fchmod(fd, status.st_mode & 07777) == 0;
  written = written && fchown(fd, status.st_uid, status.st_gid) == 0;
  written = close(fd) == 0 && written;
  return written && set_times(path, status);
}

// A directory's times are set once its contents are back: creating them
// would change its modification time again.
struct directory_times {
  const char* path;  // in the snapshot's chunks
  struct stat status;
};

bool restore_directory(const char* path, const struct stat& status,
                       vector<directory_times>& directories) {
  if (mkdir(path, 0700) != 0) return false;
  directories.push_back(directory_times{path, status});
  return chmod(path, status.st_mode & 07777) == 0 &&
         lchown(path, status.st_uid, status.st_gid) == 0;
}

}  // namespace

snapshot_chunk* take_snapshot(const char* path) {
  char walk_path[PATH_MAX];
  size_t length = strlen(path);
  if (length >= sizeof walk_path) return nullptr;
  memcpy(walk_path, path, length + 1);
  snapshot_chunk* first = new_chunk(SNAPSHOT_CHUNK_SIZE);
  if (!first) return nullptr;
  snapshot_writer writer{first};
  if (!enter_path(writer, walk_path, length)) {
    free_snapshot(first);
    return nullptr;
  }
  close_chunk(writer.last);
  return first;
}

bool restore_snapshot(snapshot_chunk* snapshot) {
  if (!snapshot || snapshot->magic != SNAPSHOT_MAGIC) return false;
  snapshot_reader reader{snapshot};
  vector<directory_times> directories;
  bool restored = true;
  while (restored && !reader.at_end()) {
    const char* path = reader.read_path();
    struct stat status;
    if (!path || !reader.read_block(&status, STATUS_RECORD_SIZE)) {
      restored = false;
    } else if (S_ISREG(status.st_mode)) {
      restored = restore_file(reader, path, status);
    } else if (S_ISDIR(status.st_mode)) {
      restored = restore_directory(path, status, directories);
    }
  }
  for (size_t i = directories.size(); i-- > 0;) {
    if (!set_times(directories[i].path, directories[i].status)) restored = false;
  }
  free_snapshot(snapshot);
  return restored;
}

void free_snapshot(snapshot_chunk* snapshot) {
  while (snapshot) {
    snapshot_chunk* next = snapshot->next;
    snapshot->magic = 0;
    free(snapshot);
    snapshot = next;
  }
}
