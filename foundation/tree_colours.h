#pragma once
// Colour tests shared by the balancing and the validation of the tree.
// Missing children are null and count as black.

#include "foundation/tree.h"

inline bool is_red(const tree_node_base* x) {
  return x && x->colour == TREE_RED;
}
inline bool is_black(const tree_node_base* x) {
  return !is_red(x);
}
