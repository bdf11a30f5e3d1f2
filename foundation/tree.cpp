// Red-black tree with a header node.
//
// The properties kept after every public operation:
//   1. every node is red or black;
//   2. the root is black;
//   3. a red node has no red child;
//   4. every path from a node down to a missing child passes the same number
//      of black nodes (the node's black height).
// Why they bound the height: by 4, a subtree whose root has black height b
// holds at least 2^b - 1 nodes; by 3, at most every second node on a path is
// red, so a path of length h holds at least h/2 black nodes. Hence
// n >= 2^(h/2) - 1, that is h <= 2 log2(n + 1): no root-to-leaf path is more
// than twice as long as the shortest, and search, insert and erase are
// logarithmic.
//
// The header is a red sentinel that is never part of the colouring: its
// parent is the root, its left the leftmost node, its right the rightmost
// node; the root's parent is the header. Being red is what tells the header
// apart from the root (whose parent's parent is also itself) when an
// iterator steps back from end.
//
// The caller finds the place and links the node (insert_node); this file
// only keeps the balance. Missing children are null and count as black.

#include "foundation/tree.h"

#include "foundation/require.h"
#include "foundation/tree_colours.h"

namespace {

// The link that points at x from above: the parent's left or right, or the
// header's root link.
tree_node_base*& link_to(tree_node_base* x, tree_node_base* header) {
  tree_node_base* parent = x->parent;
  if (parent == header) return header->parent;
  return parent->left == x ? parent->left : parent->right;
}

/*     x              y
      / \            / \
     a   y    =>    x   c
        / \        / \
       b   c      a   b
 */
void rotate_left(tree_node_base* x, tree_node_base* header) {
  tree_node_base* y = x->right;
  x->right = y->left;
  if (y->left) y->left->parent = x;
  link_to(x, header) = y;
  y->parent = x->parent;
  y->left = x;
  x->parent = y;
}

/*       x          y
        / \        / \
       y   c  =>  a   x
      / \            / \
     a   b          b   c
 */
void rotate_right(tree_node_base* x, tree_node_base* header) {
  tree_node_base* y = x->left;
  x->left = y->right;
  if (y->right) y->right->parent = x;
  link_to(x, header) = y;
  y->parent = x->parent;
  y->right = x;
  x->parent = y;
}

// The rebalancing cases are written for one side; their mirrors rotate the
// other way.
void rotate(tree_node_base* x, bool leftwards, tree_node_base* header) {
  if (leftwards) {
    rotate_left(x, header);
  } else {
    rotate_right(x, header);
  }
}

// Restores property 3 after the red node z was linked in. Loop invariant: z
// is red, and property 3 can fail only between z and its parent. Sketches
// show z's parent as a left child (capitals black, lower case red); the
// mirror cases swap left and right.
void rebalance_after_insert(tree_node_base* z, tree_node_base* header) {
  while (z != header->parent && is_red(z->parent)) {
    tree_node_base* parent = z->parent;
    tree_node_base* grandparent = parent->parent;  // exists: a red node is not the root
    bool parent_is_left = parent == grandparent->left;
    tree_node_base* uncle = parent_is_left ? grandparent->right : grandparent->left;
    if (is_red(uncle)) {
      /* Case 1, red uncle: push the grandparent's blackness down one level
         and carry on from the grandparent, which may now be red under red.
               G              g
              / \            / \
             p   u    =>    P   U
             |              |
             z              z
       */
      parent->colour = TREE_BLACK;
      uncle->colour = TREE_BLACK;
      grandparent->colour = TREE_RED;
      z = grandparent;
      continue;
    }
    if (z == (parent_is_left ? parent->right : parent->left)) {
      /* Case 2, black uncle, z an inner grandchild: rotate at the parent so
         z becomes the outer grandchild, then fall into case 3.
               G              G
              / \            / \
             p   U    =>    z   U
              \            /
               z          p
       */
      z = parent;
      rotate(z, parent_is_left, header);
      parent = z->parent;
    }
    /* Case 3, black uncle, z an outer grandchild: rotate at the grandparent
       and swap the colours; the subtree's top is black again, so the loop
       ends.
               G            P
              / \          / \
             p   U   =>   z   g
            /                  \
           z                    U
     */
    parent->colour = TREE_BLACK;
    grandparent->colour = TREE_RED;
    rotate(grandparent, !parent_is_left, header);
  }
  header->parent->colour = TREE_BLACK;
}

// Restores property 4 after a black node left the position now held by x
// (possibly null) under x_parent. Loop invariant: every path through x has
// one black node fewer than the paths that avoid it ("x is doubly black").
// Sketches show x as a left child (capitals black, lower case red, ? either
// colour); the mirror cases swap left and right.
void rebalance_after_erase(tree_node_base* x, tree_node_base* x_parent, tree_node_base* header) {
  while (x != header->parent && is_black(x)) {
    bool x_is_left = x == x_parent->left;
    // The sibling exists: its side has black height at least one more than x.
    tree_node_base* w = x_is_left ? x_parent->right : x_parent->left;
    if (is_red(w)) {
      /* Case 1, red sibling: rotate it above the parent so that x gets a
         black sibling; then one of cases 2 to 4 applies.
               P               W
              / \             / \
             x   w     =>    p   D
                / \         / \
               C   D       x   C
       */
      w->colour = TREE_BLACK;
      x_parent->colour = TREE_RED;
      rotate(x_parent, x_is_left, header);
      w = x_is_left ? x_parent->right : x_parent->left;
    }
    tree_node_base* near = x_is_left ? w->left : w->right;
    tree_node_base* far = x_is_left ? w->right : w->left;
    if (is_black(near) && is_black(far)) {
      /* Case 2, black sibling with black children: paint the sibling red so
         both sides lack one black, and move the problem up to the parent
         (which ends the loop if the parent is red).
               ?p              ?p  <- new x
              / \             / \
             x   W     =>    x   w
                / \             / \
               C   D           C   D
       */
      w->colour = TREE_RED;
      x = x_parent;
      x_parent = x_parent->parent;
      continue;
    }
    if (is_black(far)) {
      /* Case 3, black sibling, red near child, black far child: rotate at the
         sibling so that its far child becomes red; then case 4.
               ?p              ?p
              / \             / \
             x   W     =>    x   C
                / \               \
               c   D               w
                                    \
                                     D
       */
      near->colour = TREE_BLACK;
      w->colour = TREE_RED;
      rotate(w, !x_is_left, header);
      w = x_is_left ? x_parent->right : x_parent->left;
      far = x_is_left ? w->right : w->left;
    }
    /* Case 4, black sibling with a red far child: rotate at the parent; the
       sibling takes the parent's colour, the parent and the far child turn
       black. x's side gains the missing black; done.
             ?p              ?w
            / \             / \
           x   W     =>    P   E
              / \         / \
             ?c  e       x  ?c
     */
    w->colour = x_parent->colour;
    x_parent->colour = TREE_BLACK;
    far->colour = TREE_BLACK;
    rotate(x_parent, x_is_left, header);
    x = header->parent;
    break;
  }
  if (x) x->colour = TREE_BLACK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Nodes and iteration

tree_node_base* tree_node_base::minimum(tree_node_base* x) {
  while (x->left) x = x->left;
  return x;
}

tree_node_base* tree_node_base::maximum(tree_node_base* x) {
  while (x->right) x = x->right;
  return x;
}

void tree_iterator_base::increment() {
  if (node->right) {
    node = tree_node_base::minimum(node->right);
    return;
  }
  tree_node_base* up = node->parent;
  while (node == up->right) {
    node = up;
    up = up->parent;
  }
  // Stepping past the rightmost node ends on the header. When the root is
  // the rightmost node the climb passes through the header (whose right is
  // the root) and stops there with up = root: the header, not up, is then
  // the answer.
  if (node->right != up) node = up;
}

void tree_iterator_base::decrement() {
  bool is_header = node->colour == TREE_RED && (!node->parent || node->parent->parent == node);
  if (is_header) {
    node = node->right;  // end steps back to the largest value
    return;
  }
  if (node->left) {
    node = tree_node_base::maximum(node->left);
    return;
  }
  tree_node_base* up = node->parent;
  while (node == up->left) {
    node = up;
    up = up->parent;
  }
  node = up;
}

// ---------------------------------------------------------------------------
// Construction

tree_base::tree_base(tree_compare compare, void* context)
    : count_(0), header_(new tree_node_base), compare_(compare), context_(context) {
  header_->colour = TREE_RED;
  header_->parent = nullptr;
  header_->left = header_;
  header_->right = header_;
}

tree_base::~tree_base() {
  delete header_;
}

// value_of() relies on the typed node putting its value right after the
// links, with no padding between them, on 32-bit and 64-bit alike.
static_assert(sizeof(string_tree_node) == sizeof(tree_node_base) + sizeof(string),
              "a string node's value must follow the node links directly");

const void* tree_base::value_of(const tree_node_base* node) const {
  return reinterpret_cast<const char*>(node) + sizeof(tree_node_base);
}

// ---------------------------------------------------------------------------
// Finding places

void tree_base::find_insert_unique_position(const void* value, tree_node_base** x,
                                            tree_node_base** y, tree_node_base** existing) const {
  tree_node_base* parent = header_;
  bool goes_left = true;
  for (tree_node_base* n = root(); n;) {
    parent = n;
    goes_left = compare_(context_, value, value_of(n));
    n = goes_left ? n->left : n->right;
  }
  // The value is at least the predecessor of the place found; it is new only
  // if it is greater than that predecessor.
  tree_iterator_base before{parent};
  if (goes_left) {
    if (parent == leftmost()) {
      *x = nullptr, *y = parent, *existing = nullptr;
      return;
    }
    before.decrement();
  }
  if (compare_(context_, value_of(before.node), value)) {
    *x = nullptr, *y = parent, *existing = nullptr;
  } else {
    *x = nullptr, *y = nullptr, *existing = before.node;
  }
}

void tree_base::find_insert_equal_position(const void* value, tree_node_base** x,
                                           tree_node_base** y) const {
  tree_node_base* parent = header_;
  for (tree_node_base* n = root(); n;) {
    parent = n;
    n = compare_(context_, value, value_of(n)) ? n->left : n->right;
  }
  *x = nullptr;
  *y = parent;
}

// Places a value that orders between the adjacent nodes before and after:
// under before when it has no right child, else under after, whose left is
// then free.
static void place_between(tree_node_base* before, tree_node_base* after, tree_node_base** x,
                          tree_node_base** y) {
  if (!before->right) {
    *x = nullptr;
    *y = before;
  } else {
    *x = after;
    *y = after;
  }
}

void tree_base::find_hint_unique_position(tree_node_base* hint, const void* value,
                                          tree_node_base** x, tree_node_base** y,
                                          tree_node_base** existing) const {
  *existing = nullptr;
  if (hint == header_) {
    if (count_ && compare_(context_, value_of(rightmost()), value)) {
      *x = nullptr, *y = rightmost();
      return;
    }
  } else if (compare_(context_, value, value_of(hint))) {
    if (hint == leftmost()) {
      *x = hint, *y = hint;
      return;
    }
    tree_iterator_base before{hint};
    before.decrement();
    if (compare_(context_, value_of(before.node), value)) {
      place_between(before.node, hint, x, y);
      return;
    }
  } else if (compare_(context_, value_of(hint), value)) {
    if (hint == rightmost()) {
      *x = nullptr, *y = hint;
      return;
    }
    tree_iterator_base after{hint};
    after.increment();
    if (compare_(context_, value, value_of(after.node))) {
      place_between(hint, after.node, x, y);
      return;
    }
  } else {
    *x = nullptr, *y = nullptr, *existing = hint;
    return;
  }
  find_insert_unique_position(value, x, y, existing);
}

void tree_base::find_hint_equal_position(tree_node_base* hint, const void* value,
                                         tree_node_base** x, tree_node_base** y) const {
  if (hint == header_) {
    if (count_ && !compare_(context_, value, value_of(rightmost()))) {
      *x = nullptr, *y = rightmost();
      return;
    }
  } else if (!compare_(context_, value_of(hint), value)) {
    // value <= hint: try just before the hint.
    if (hint == leftmost()) {
      *x = hint, *y = hint;
      return;
    }
    tree_iterator_base before{hint};
    before.decrement();
    if (!compare_(context_, value, value_of(before.node))) {
      place_between(before.node, hint, x, y);
      return;
    }
  } else {
    // value > hint: try just after it.
    if (hint == rightmost()) {
      *x = nullptr, *y = hint;
      return;
    }
    tree_iterator_base after{hint};
    after.increment();
    if (!compare_(context_, value_of(after.node), value)) {
      place_between(hint, after.node, x, y);
      return;
    }
  }
  find_insert_equal_position(value, x, y);
}

// ---------------------------------------------------------------------------
// Insertion

tree_node_base* tree_base::insert_node(tree_node_base* x, tree_node_base* y, tree_node_base* z) {
  REQUIRE(y && z);
  bool goes_left = y == header_ || x || compare_(context_, value_of(z), value_of(y));
  z->colour = TREE_RED;
  z->parent = y;
  z->left = nullptr;
  z->right = nullptr;
  if (goes_left) {
    y->left = z;  // on the header this sets the leftmost of an empty tree
    if (y == header_) {
      header_->parent = z;
      header_->right = z;
    } else if (y == header_->left) {
      header_->left = z;
    }
  } else {
    y->right = z;
    if (y == header_->right) header_->right = z;
  }
  rebalance_after_insert(z, header_);
  ++count_;
  return z;
}

// ---------------------------------------------------------------------------
// Lookup

tree_node_base* tree_base::lower_bound_node(const void* value) const {
  tree_node_base* result = header_;
  for (tree_node_base* n = root(); n;) {
    if (compare_(context_, value_of(n), value)) {
      n = n->right;
    } else {
      result = n;
      n = n->left;
    }
  }
  return result;
}

tree_node_base* tree_base::upper_bound_node(const void* value) const {
  tree_node_base* result = header_;
  for (tree_node_base* n = root(); n;) {
    if (compare_(context_, value, value_of(n))) {
      result = n;
      n = n->left;
    } else {
      n = n->right;
    }
  }
  return result;
}

tree_node_base* tree_base::find_node(const void* value) const {
  tree_node_base* n = lower_bound_node(value);
  if (n == header_ || compare_(context_, value, value_of(n))) return header_;
  return n;
}

// ---------------------------------------------------------------------------
// Erasure

tree_node_base* tree_base::unlink_node(tree_node_base* z) {
  REQUIRE(z && z != header_);
  tree_node_base* x;         // the child that moves up into a vacated place
  tree_node_base* x_parent;  // its parent afterwards (x may be null)
  uint8_t vacated_colour;    // colour of the position that disappears
  if (z->left && z->right) {
    // Two children: the successor y (no left child) takes z's place and
    // colour; y's right child takes y's old place.
    tree_node_base* y = tree_node_base::minimum(z->right);
    x = y->right;
    vacated_colour = y->colour;
    if (y == z->right) {
      x_parent = y;
    } else {
      x_parent = y->parent;
      if (x) x->parent = y->parent;
      y->parent->left = x;
      y->right = z->right;
      z->right->parent = y;
    }
    y->left = z->left;
    z->left->parent = y;
    link_to(z, header_) = y;
    y->parent = z->parent;
    y->colour = z->colour;
  } else {
    // At most one child: it takes z's place. Only here can z be the
    // leftmost or rightmost node.
    x = z->left ? z->left : z->right;
    x_parent = z->parent;
    vacated_colour = z->colour;
    if (x) x->parent = z->parent;
    link_to(z, header_) = x;
    if (header_->left == z) header_->left = x ? tree_node_base::minimum(x) : x_parent;
    if (header_->right == z) header_->right = x ? tree_node_base::maximum(x) : x_parent;
  }
  if (vacated_colour == TREE_BLACK) rebalance_after_erase(x, x_parent, header_);
  --count_;
  z->parent = z->left = z->right = nullptr;
  return z;
}

void tree_base::erase_node(tree_node_base* z, destroy_node_fn destroy) {
  destroy(unlink_node(z));
}

size_t tree_base::erase_value(const void* value, destroy_node_fn destroy) {
  tree_node_base* n = find_node(value);
  if (n == header_) return 0;
  erase_node(n, destroy);
  return 1;
}

void tree_base::erase_range(tree_node_base* first, tree_node_base* last, destroy_node_fn destroy) {
  if (first == leftmost() && last == header_) {
    clear(destroy);
    return;
  }
  while (first != last) {
    tree_iterator_base next{first};
    next.increment();
    erase_node(first, destroy);
    first = next.node;
  }
}

// Post-order: children before their parent. Recursion depth is the height.
static void destroy_subtree(tree_node_base* n, void (*destroy)(tree_node_base*)) {
  while (n) {
    destroy_subtree(n->right, destroy);
    tree_node_base* left = n->left;
    destroy(n);
    n = left;
  }
}

void tree_base::clear(destroy_node_fn destroy) {
  destroy_subtree(root(), destroy);
  header_->parent = nullptr;
  header_->left = header_;
  header_->right = header_;
  count_ = 0;
}

// ---------------------------------------------------------------------------
// Copy and swap

static tree_node_base* copy_subtree(const tree_node_base* source, tree_node_base* parent,
                                    tree_node_base* (*clone)(const tree_node_base*)) {
  tree_node_base* n = clone(source);
  n->colour = source->colour;
  n->parent = parent;
  n->left = source->left ? copy_subtree(source->left, n, clone) : nullptr;
  n->right = source->right ? copy_subtree(source->right, n, clone) : nullptr;
  return n;
}

void tree_base::copy_from(const tree_base& other, clone_node_fn clone, destroy_node_fn destroy) {
  if (this == &other) return;
  clear(destroy);
  if (!other.root()) return;
  header_->parent = copy_subtree(other.root(), header_, clone);
  header_->left = tree_node_base::minimum(header_->parent);
  header_->right = tree_node_base::maximum(header_->parent);
  count_ = other.count_;
}

// The comparison and its context travel with the nodes they ordered.
void tree_base::swap(tree_base& other) {
  tree_node_base* header = header_;
  header_ = other.header_;
  other.header_ = header;
  size_t count = count_;
  count_ = other.count_;
  other.count_ = count;
  tree_compare compare = compare_;
  compare_ = other.compare_;
  other.compare_ = compare;
  void* context = context_;
  context_ = other.context_;
  other.context_ = context;
}
