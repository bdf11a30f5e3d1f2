// Keeping the old configuration: a tree taken into memory and written back
// with its contents, modes, owners and times.
#include "setup/config_snapshot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "support/bytes.h"

namespace {

struct entry_facts {
  mode_t mode;
  uid_t uid;
  time_t mtime;
  std::string contents;
  bool operator==(const entry_facts& o) const {
    return mode == o.mode && uid == o.uid && mtime == o.mtime && contents == o.contents;
  }
};

// A scratch directory, removed with the object.
class scratch_tree {
 public:
  scratch_tree() {
    char pattern[] = "/tmp/snapshot-XXXXXX";
    top_ = mkdtemp(pattern);
  }
  ~scratch_tree() { std::system(("rm -rf " + top_).c_str()); }
  std::string path(const std::string& relative) const { return top_ + "/" + relative; }

  void file(const std::string& relative, const std::string& bytes, mode_t mode, time_t mtime) {
    std::string p = path(relative);
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(fd);
    stamp(relative, mode, mtime);
  }
  void directory(const std::string& relative, mode_t mode, time_t mtime) {
    ASSERT_EQ(mkdir(path(relative).c_str(), 0700), 0);
    stamp(relative, mode, mtime);
  }
  void stamp(const std::string& relative, mode_t mode, time_t mtime) {
    std::string p = path(relative);
    chmod(p.c_str(), mode);
    if (geteuid() == 0) lchown(p.c_str(), 1234, 5678);
    struct timeval times[2] = {{mtime - 10, 0}, {mtime, 0}};
    utimes(p.c_str(), times);
  }

  // Every entry below relative with its facts.
  void collect(const std::string& relative, std::map<std::string, entry_facts>& out) const {
    namespace fs = std::filesystem;
    fs::path top(path(relative));
    auto record = [&](const fs::path& entry) {
      struct stat status;
      ASSERT_EQ(lstat(entry.c_str(), &status), 0);
      entry_facts facts{status.st_mode, status.st_uid, status.st_mtime, ""};
      if (S_ISREG(status.st_mode)) {
        std::ifstream file(entry, std::ios::binary);
        facts.contents.assign(std::istreambuf_iterator<char>(file), {});
      }
      out[relative + entry.string().substr(top.string().size())] = facts;
    };
    record(top);
    for (const auto& entry : fs::recursive_directory_iterator(top)) record(entry.path());
  }

 private:
  std::string top_;
};

}  // namespace

// Sizes around the 16,000-byte chunks, an empty file, a path too long for
// the room left in its chunk, nested directories: all come back as they
// were; links and pipes do not come back.
TEST(config_snapshot, tree_comes_back_with_contents_modes_owners_and_times) {
  scratch_tree tree;
  tree.directory("store", 0751, 1000000);
  tree.file("store/empty", "", 0640, 1000100);
  tree.file("store/small", "x", 0600, 1000200);
  tree.directory("store/sub", 0700, 1000300);
  tree.file("store/sub/just_under_a_chunk", pattern_bytes(15800, 1), 0644, 1000400);
  tree.file("store/sub/three_chunks", pattern_bytes(40000, 2), 0604, 1000500);
  tree.file("store/sub/" + std::string(200, 'n'), pattern_bytes(15750, 3), 0755, 1000600);
  tree.stamp("store/sub", 0700, 1000300);
  symlink("small", tree.path("store/link").c_str());
  mkfifo(tree.path("store/pipe").c_str(), 0600);
  tree.stamp("store", 0751, 1000000);

  std::map<std::string, entry_facts> before;
  tree.collect("store", before);
  before.erase("store/link");
  before.erase("store/pipe");

  snapshot_chunk* snapshot = take_snapshot(tree.path("store").c_str());
  ASSERT_NE(snapshot, nullptr);
  int chunks = 0;
  for (snapshot_chunk* c = snapshot; c; c = c->next) ++chunks;
  EXPECT_GE(chunks, 5);
  ASSERT_EQ(std::system(("rm -rf " + tree.path("store")).c_str()), 0);

  ASSERT_TRUE(restore_snapshot(snapshot));
  std::map<std::string, entry_facts> after;
  tree.collect("store", after);
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [name, facts] : before) {
    ASSERT_TRUE(after.count(name)) << name;
    EXPECT_TRUE(after[name] == facts) << name;
  }
}

// A path that needs a chunk of its own gets exactly its size; the next
// entry opens a new full-size chunk. Two files of equal name length and
// size leave 50 bytes of the first chunk whichever is listed first.
TEST(config_snapshot, path_that_does_not_fit_gets_its_own_chunk) {
  scratch_tree tree;
  tree.directory("store", 0755, 1);
  std::string first = tree.path("store/" + std::string(150, 'a'));
  std::string second = tree.path("store/" + std::string(150, 'b'));
  size_t used = tree.path("store").size() + 1 + first.size() + 1 + 2 * sizeof(struct stat);
  size_t size = SNAPSHOT_CHUNK_SIZE - used - 50;
  tree.file("store/" + std::string(150, 'a'), pattern_bytes(size, 1), 0644, 2);
  tree.file("store/" + std::string(150, 'b'), pattern_bytes(size, 2), 0644, 2);
  snapshot_chunk* snapshot = take_snapshot(tree.path("store").c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_NE(snapshot->next, nullptr);
  snapshot_chunk* own = snapshot->next;
  EXPECT_EQ(snapshot->size, SNAPSHOT_CHUNK_SIZE - 50);
  EXPECT_EQ(own->size, second.size() + 1);
  ASSERT_NE(own->next, nullptr);
  EXPECT_EQ(own->next->size, sizeof(struct stat) + size);
  free_snapshot(snapshot);
}

// A file whose bytes differ from its recorded size (a proc file reports 0
// and reads more), a path beyond the walk's buffer, and a missing path all
// fail the whole snapshot.
TEST(config_snapshot, snapshot_fails_as_a_whole) {
  EXPECT_EQ(take_snapshot("/proc/self/status"), nullptr);
  EXPECT_EQ(take_snapshot("/nonexistent/store"), nullptr);
  scratch_tree tree;
  tree.directory("store", 0755, 1);
  // Deeper than the system's path limit, made one level at a time.
  ASSERT_EQ(chdir(tree.path("store").c_str()), 0);
  for (int i = 0; i < 20; ++i) {
    std::string name(250, 'd');
    ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
    ASSERT_EQ(chdir(name.c_str()), 0);
  }
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(take_snapshot(tree.path("store").c_str()), nullptr);
}

// Restoring onto an existing directory stops the restore; the chain is
// freed either way.
TEST(config_snapshot, restore_stops_at_an_entry_it_cannot_create) {
  scratch_tree tree;
  tree.directory("store", 0755, 1);
  tree.file("store/a", "abc", 0644, 1);
  snapshot_chunk* snapshot = take_snapshot(tree.path("store").c_str());
  ASSERT_NE(snapshot, nullptr);
  EXPECT_FALSE(restore_snapshot(snapshot));  // "store" is still there
}
