#include "tools/kpk_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "foundation/vector.h"
#include "tools/kpk.h"

namespace {

constexpr size_t CHUNK_SIZE = 65536;

struct tree_walk {
  package_writer& writer;
  const tree_options& options;
  tree_counts& counts;
  string root;  // without a trailing "/"
  char* chunk;  // CHUNK_SIZE bytes for file contents; owned by write_tree
};

bool problem(const tree_walk& walk, const string& path, const char* what,
             const char* detail = nullptr) {
  report(walk.root.c_str(), path.c_str(), ": ", what, detail);
  return false;
}

bool system_problem(const tree_walk& walk, const string& path, const char* what) {
  int error = errno;
  report(walk.root.c_str(), path.c_str(), ": ", what, strerror(error));
  return false;
}

bool writer_problem(const tree_walk& walk, const string& path) {
  return problem(walk, path, "cannot write the package: ", walk.writer.error());
}

// Heap sort in string order: deterministic output without the C++ library.
void sift_down(vector<string>& names, size_t top, size_t count) {
  for (size_t child; (child = 2 * top + 1) < count; top = child) {
    if (child + 1 < count && names[child] < names[child + 1]) ++child;
    if (!(names[top] < names[child])) return;
    names[top].swap(names[child]);
  }
}

void sort_names(vector<string>& names) {
  size_t count = names.size();
  for (size_t i = count / 2; i-- > 0;) sift_down(names, i, count);
  for (size_t end = count; end-- > 1;) {
    names[0].swap(names[end]);
    sift_down(names, 0, end);
  }
}

// Reads the names of one directory and closes it again before the walk goes
// deeper, so open descriptors do not grow with the depth of the tree.
bool list_directory(const tree_walk& walk, const string& path, vector<string>& names) {
  string full = walk.root + path;
  DIR* directory = opendir(full.c_str());
  if (!directory) return system_problem(walk, path, "cannot read: ");
  errno = 0;
  while (struct dirent* item = readdir(directory)) {
    const char* name = item->d_name;
    if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) names.push_back(string(name));
  }
  int error = errno;
  closedir(directory);
  errno = error;
  if (error != 0) return system_problem(walk, path, "cannot read: ");
  sort_names(names);
  return true;
}

// The attributes every entry carries; false when they do not fit the format.
bool fill_entry(const tree_walk& walk, const string& path, const struct stat& st,
                file_entry& entry) {
  if (path.length() > 0xFFFF) return problem(walk, path, "the path is longer than 65535 bytes");
  if (st.st_mtime < 0 || (uint64_t)st.st_mtime > 0xFFFFFFFFu)
    return problem(walk, path, "the modification time does not fit in 32 bits");
  uint32_t uid = walk.options.root_owner ? 0 : st.st_uid;
  uint32_t gid = walk.options.root_owner ? 0 : st.st_gid;
  if (uid > 0xFFFF || gid > 0xFFFF)
    return problem(walk, path, "the owner or group id is above 65535 (--root-owner maps it to 0)");
  entry.mode = (uint16_t)(st.st_mode & 0xFFFF);
  entry.uid = (uint16_t)uid;
  entry.gid = (uint16_t)gid;
  entry.mtime = (uint32_t)st.st_mtime;
  entry.data_size = 0;
  entry.name_length = (uint16_t)path.length();
  return true;
}

bool write_entry(tree_walk& walk, const string& path, const file_entry& entry) {
  if (!walk.writer.write_entry(entry, path.c_str())) return writer_problem(walk, path);
  ++walk.counts.entries;
  walk.counts.data_bytes += entry.data_size;
  return true;
}

bool write_data(tree_walk& walk, const string& path, const void* data, size_t size) {
  if (!walk.writer.write_entry_data(data, size)) return writer_problem(walk, path);
  return true;
}

// The contents go through in fixed chunks. The size is taken when the file
// is opened; a file that grows or shrinks meanwhile is refused rather than
// stored with a header that lies about its data.
bool copy_contents(tree_walk& walk, const string& path, int fd, uint32_t size) {
  while (size > 0) {
    size_t step = size < CHUNK_SIZE ? size : CHUNK_SIZE;
    ssize_t got = read_retrying(fd, walk.chunk, step);
    if (got < 0) return system_problem(walk, path, "cannot read: ");
    if (got == 0) return problem(walk, path, "the file shrank while it was read");
    if (!write_data(walk, path, walk.chunk, (size_t)got)) return false;
    size -= (uint32_t)got;
  }
  char extra;
  if (read_retrying(fd, &extra, 1) > 0)
    return problem(walk, path, "the file grew while it was read");
  return true;
}

bool add_regular(tree_walk& walk, const string& path) {
  string full = walk.root + path;
  // Not following links and not blocking: the entry may have been replaced
  // since it was looked at.
  int fd = open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return system_problem(walk, path, "cannot read: ");
  struct stat st;
  file_entry entry;
  bool done = false;
  if (fstat(fd, &st) != 0)
    system_problem(walk, path, "cannot read: ");
  else if (!S_ISREG(st.st_mode))
    problem(walk, path, "changed while it was read");
  else if ((uint64_t)st.st_size > 0xFFFFFFFFu)
    problem(walk, path, "larger than 4 GiB");
  else if (fill_entry(walk, path, st, entry)) {
    entry.data_size = (uint32_t)st.st_size;
    done = write_entry(walk, path, entry) && copy_contents(walk, path, fd, entry.data_size);
  }
  close(fd);
  return done;
}

bool add_link(tree_walk& walk, const string& path, file_entry& entry) {
  string full = walk.root + path;
  char target[4096];
  ssize_t length = readlink(full.c_str(), target, sizeof target);
  if (length < 0) return system_problem(walk, path, "cannot read the link: ");
  if ((size_t)length == sizeof target) return problem(walk, path, "the link target is too long");
  entry.data_size = (uint32_t)length;
  return write_entry(walk, path, entry) && write_data(walk, path, target, (size_t)length);
}

// The device number as mknod takes it, in 32 bits (majors below 4096).
bool add_device(tree_walk& walk, const string& path, const struct stat& st, file_entry& entry) {
  if ((uint64_t)st.st_rdev > 0xFFFFFFFFu)
    return problem(walk, path, "the device number does not fit in 32 bits");
  unsigned char number[4];
  encode_u32(number, (uint32_t)st.st_rdev);
  entry.data_size = 4;
  return write_entry(walk, path, entry) && write_data(walk, path, number, sizeof number);
}

bool walk_directory(tree_walk& walk, string& path);

bool add_entry(tree_walk& walk, string& path) {
  string full = walk.root + path;
  struct stat st;
  if (lstat(full.c_str(), &st) != 0) return system_problem(walk, path, "cannot read: ");
  if (walk.options.output && walk.options.output->is_output(st.st_dev, st.st_ino)) return true;
  if (S_ISSOCK(st.st_mode)) return problem(walk, path, "a socket cannot be put in a package");
  if (S_ISREG(st.st_mode)) return add_regular(walk, path);
  file_entry entry;
  if (!fill_entry(walk, path, st, entry)) return false;
  if (S_ISLNK(st.st_mode)) return add_link(walk, path, entry);
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return add_device(walk, path, st, entry);
  if (S_ISFIFO(st.st_mode)) return write_entry(walk, path, entry);
  if (S_ISDIR(st.st_mode)) return write_entry(walk, path, entry) && walk_directory(walk, path);
  return problem(walk, path, "an entry of unknown type cannot be put in a package");
}

bool walk_directory(tree_walk& walk, string& path) {
  vector<string> names;
  if (!list_directory(walk, path, names)) return false;
  size_t base = path.length();
  for (const string& name : names) {
    path.append('/');
    path.append(name);
    if (!add_entry(walk, path)) return false;
    path.resize(base);
  }
  return true;
}

}  // namespace

bool write_tree(package_writer& writer, const char* root, const tree_options& options,
                tree_counts& counts) {
  tree_walk walk{writer, options, counts, string(root), nullptr};
  while (walk.root.length() > 1 && walk.root.ends_with("/"))
    walk.root.resize(walk.root.length() - 1);
  struct stat st;
  if (stat(root, &st) != 0) return system_problem(walk, string(), "cannot read: ");
  if (!S_ISDIR(st.st_mode)) return problem(walk, string(), "not a directory");
  if (walk.root == "/") walk.root.clear();
  walk.chunk = new char[CHUNK_SIZE];
  string path;
  bool done = walk_directory(walk, path);
  delete[] walk.chunk;
  return done;
}
