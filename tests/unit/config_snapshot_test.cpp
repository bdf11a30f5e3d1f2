// Keeping the old configuration: a tree taken into memory and written back
// with its contents, modes, owners and times.
#include "setup/config_snapshot.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

namespace {

// A scratch directory, removed with the object, in which shell commands run.
struct scratch_tree {
  std::string top;
  scratch_tree() {
    char pattern[] = "/tmp/snapshot-XXXXXX";
    top = mkdtemp(pattern);
  }
  ~scratch_tree() { shell("rm -rf " + top); }
  std::string shell(const std::string& command) const {
    FILE* output = popen(("cd " + top + " && " + command).c_str(), "r");
    std::string text;
    char piece[4096];
    for (size_t n; (n = fread(piece, 1, sizeof piece, output)) > 0;) text.append(piece, n);
    EXPECT_EQ(pclose(output), 0) << command;
    return text;
  }
  // Every entry below store: name, type, mode, owner, time, checksum.
  std::string listing() const {
    return shell(
        "find store -printf '%p %y %m %U:%G %T@\\n' | sort; find store -type f | sort | "
        "xargs -d '\\n' cksum");
  }
  snapshot_chunk* take() const { return take_snapshot((top + "/store").c_str()); }
};

}  // namespace

// Files around the 16,000-byte chunks, an empty one, a long path, nested
// directories come back as they were, links and pipes do not; a directory
// already there stops the restore.
TEST(config_snapshot, tree_comes_back_with_contents_modes_owners_and_times) {
  scratch_tree tree;
  tree.shell(
      "s=store/sub n=store/sub/$(printf %200s | tr ' ' n) && mkdir -p $s && : > store/empty && "
      "echo x > store/small && head -c 15800 /dev/urandom > $s/under_a_chunk && "
      "head -c 40000 /dev/urandom > $s/three_chunks && head -c 15750 /dev/urandom > $n && "
      "chmod 751 store && chmod 640 store/empty && chmod 604 $s/three_chunks && chmod 755 $n && "
      "{ [ $(id -u) != 0 ] || chown -R 1234:5678 store; } && "
      "touch -d @1000100 store/empty store/small $s/* && touch -d @1000000 store $s");
  std::string before = tree.listing();
  tree.shell("ln -s small store/link && mkfifo store/pipe && touch -d @1000000 store");
  snapshot_chunk* snapshot = tree.take();
  ASSERT_NE(snapshot, nullptr);
  tree.shell("rm -r store");
  ASSERT_TRUE(restore_snapshot(snapshot));
  EXPECT_EQ(tree.listing(), before);

  snapshot = tree.take();
  ASSERT_NE(snapshot, nullptr);
  EXPECT_FALSE(restore_snapshot(snapshot));  // "store" is still there
}

// A path that needs a chunk of its own gets exactly its size; the next
// entry opens a new full-size chunk. Two files of equal name length and
// size leave 50 bytes of the first chunk whichever is listed first.
TEST(config_snapshot, path_that_does_not_fit_gets_its_own_chunk) {
  scratch_tree tree;
  std::string first = "store/" + std::string(150, 'a'), second = "store/" + std::string(150, 'b');
  size_t path = tree.top.size() + 1 + first.size() + 1;
  size_t size = SNAPSHOT_CHUNK_SIZE - (tree.top.size() + 7) - path - 2 * sizeof(struct stat) - 50;
  tree.shell("mkdir store && head -c " + std::to_string(size) + " /dev/zero | tee " + first + ">" +
             second);
  snapshot_chunk* snapshot = tree.take();
  ASSERT_TRUE(snapshot && snapshot->next && snapshot->next->next);
  EXPECT_EQ(snapshot->size, SNAPSHOT_CHUNK_SIZE - 50);
  EXPECT_EQ(snapshot->next->size, path);
  EXPECT_EQ(snapshot->next->next->size, sizeof(struct stat) + size);
  free_snapshot(snapshot);
}

// A file whose bytes differ from its recorded size (a proc file), a path
// deeper than the walk's buffer, and a missing path fail the whole snapshot.
TEST(config_snapshot, snapshot_fails_as_a_whole) {
  EXPECT_EQ(take_snapshot("/proc/self/status"), nullptr);
  EXPECT_EQ(take_snapshot("/nonexistent/store"), nullptr);
  scratch_tree tree;
  tree.shell("mkdir -p store/$(for i in $(seq 20); do printf %250s/ | tr ' ' d; done)");
  EXPECT_EQ(tree.take(), nullptr);
}
