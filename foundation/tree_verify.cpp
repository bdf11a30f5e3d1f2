// Validation of a tree's links, colours, count and order, for tests and
// debug builds.
#include <stdio.h>

#include "foundation/tree.h"
#include "foundation/tree_colours.h"

// Checks the subtree under n and returns its black height, or -1 after
// printing the first fault. *visited bounds the walk on a corrupt tree.
static int verify_subtree(const tree_node_base* n, const tree_node_base* parent, size_t limit,
                          size_t* visited) {
  if (!n) return 1;
  if (++*visited > limit) {
    fprintf(stderr, "tree: more nodes reachable than counted\n");
    return -1;
  }
  if (n->parent != parent) {
    fprintf(stderr, "tree: node %p has parent %p, expected %p\n", (const void*)n,
            (const void*)n->parent, (const void*)parent);
    return -1;
  }
  if (n->colour != TREE_RED && n->colour != TREE_BLACK) {
    fprintf(stderr, "tree: node %p has colour %u\n", (const void*)n, (unsigned)n->colour);
    return -1;
  }
  if (is_red(n) && (is_red(n->left) || is_red(n->right))) {
    fprintf(stderr, "tree: red node %p has a red child\n", (const void*)n);
    return -1;
  }
  int left = verify_subtree(n->left, n, limit, visited);
  if (left < 0) return -1;
  int right = verify_subtree(n->right, n, limit, visited);
  if (right < 0) return -1;
  if (left != right) {
    fprintf(stderr, "tree: node %p has black heights %d (left) and %d (right)\n", (const void*)n,
            left, right);
    return -1;
  }
  return left + (is_black(n) ? 1 : 0);
}

bool tree_base::verify() const {
  if (header_->colour != TREE_RED) {
    fprintf(stderr, "tree: header is not red\n");
    return false;
  }
  if (!root()) {
    if (count_ != 0 || leftmost() != header_ || rightmost() != header_) {
      fprintf(stderr, "tree: empty tree with count %zu or stale header links\n", count_);
      return false;
    }
    return true;
  }
  if (is_red(root())) {
    fprintf(stderr, "tree: root is red\n");
    return false;
  }
  size_t visited = 0;
  if (verify_subtree(root(), header_, count_, &visited) < 0) return false;
  if (visited != count_) {
    fprintf(stderr, "tree: %zu nodes reachable, count is %zu\n", visited, count_);
    return false;
  }
  if (leftmost() != tree_node_base::minimum(root()) ||
      rightmost() != tree_node_base::maximum(root())) {
    fprintf(stderr, "tree: header's leftmost or rightmost link is stale\n");
    return false;
  }
  // In order, no value may order before the one preceding it.
  tree_iterator_base it{leftmost()};
  for (size_t i = 1; i < count_; ++i) {
    tree_node_base* previous = it.node;
    it.increment();
    if (compare_(context_, value_of(it.node), value_of(previous))) {
      fprintf(stderr, "tree: in-order position %zu orders before its predecessor\n", i);
      return false;
    }
  }
  it.increment();
  if (it.node != header_) {
    fprintf(stderr, "tree: stepping past the rightmost node does not reach end\n");
    return false;
  }
  return true;
}
