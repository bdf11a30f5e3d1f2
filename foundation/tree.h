// Ordered set held in a red-black tree: the untyped base and the typed set
// of strings used for every set of paths (a package's files, files in use).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "foundation/string.h"

enum : uint8_t { TREE_BLACK = 0, TREE_RED = 1 };

// Node links; a value node of a typed set adds its value after these fields.
struct tree_node_base {
  uint8_t colour;
  tree_node_base* parent;
  tree_node_base* left;
  tree_node_base* right;

  static tree_node_base* minimum(tree_node_base* x);
  static tree_node_base* maximum(tree_node_base* x);
};

// In-order position; the end position is the tree's header node.
struct tree_iterator_base {
  tree_node_base* node;

  void increment();  // leftmost of the right subtree, or up from a left child
  void decrement();  // the mirror; from the header goes to the rightmost node
};

// Returns true when value a orders before value b. The values are the bytes
// that follow the node links of a value node.
typedef bool (*tree_compare)(void* context, const void* a, const void* b);

// Untyped red-black tree with a header sentinel: header colour red, parent =
// root, left = leftmost, right = rightmost (the header itself when empty).
// Owns the header. Value nodes are allocated and freed by the typed layer
// through destroy_node; the base never allocates a value node itself.
class tree_base {
 public:
  tree_base(const tree_base&) = delete;
  tree_base& operator=(const tree_base&) = delete;

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  // Checks order, colours, equal black heights, header links and count.
  // For tests and debug builds; returns false and prints what is wrong.
  bool verify() const;

 protected:
  typedef void (*destroy_node_fn)(tree_node_base* node);
  typedef tree_node_base* (*clone_node_fn)(const tree_node_base* node);

  tree_base(tree_compare compare, void* context);
  ~tree_base();  // the typed layer clears first

  const void* value_of(const tree_node_base* node) const;

  // Where a value would go: parent y, and x non-null when the caller must
  // link to the left. Unique lookups report an equal node in *existing.
  void find_insert_unique_position(const void* value, tree_node_base** x, tree_node_base** y,
                                   tree_node_base** existing) const;
  void find_insert_equal_position(const void* value, tree_node_base** x, tree_node_base** y) const;
  // Hinted forms: fall back to the unhinted search when the hint is wrong.
  void find_hint_unique_position(tree_node_base* hint, const void* value, tree_node_base** x,
                                 tree_node_base** y, tree_node_base** existing) const;
  void find_hint_equal_position(tree_node_base* hint, const void* value, tree_node_base** x,
                                tree_node_base** y) const;

  // Links new node z under parent y (left when y is the header, when x is
  // given, or when z orders before y), keeps leftmost/rightmost current,
  // colours z red, rebalances, colours the root black, counts. Both y and z
  // must be present: the always-on assertion "y && z" stops the program.
  tree_node_base* insert_node(tree_node_base* x, tree_node_base* y, tree_node_base* z);

  tree_node_base* find_node(const void* value) const;  // header when absent
  tree_node_base* lower_bound_node(const void* value) const;
  tree_node_base* upper_bound_node(const void* value) const;

  // Unlinks and rebalances; returns the node for the typed layer to free.
  tree_node_base* unlink_node(tree_node_base* z);
  void erase_node(tree_node_base* z, destroy_node_fn destroy);
  size_t erase_value(const void* value, destroy_node_fn destroy);
  void erase_range(tree_node_base* first, tree_node_base* last, destroy_node_fn destroy);
  void clear(destroy_node_fn destroy);
  void copy_from(const tree_base& other, clone_node_fn clone, destroy_node_fn destroy);
  void swap(tree_base& other);

  tree_node_base* header() const { return header_; }
  tree_node_base* root() const { return header_->parent; }
  tree_node_base* leftmost() const { return header_->left; }
  tree_node_base* rightmost() const { return header_->right; }

 private:
  size_t count_;
  tree_node_base* header_;
  tree_compare compare_;
  void* context_;
};

// Value node of a string set.
struct string_tree_node : tree_node_base {
  string value;
};

// Set of unique strings in string order (signed bytes, prefix first).
// Owns its nodes and their strings.
class string_set : public tree_base {
 public:
  class iterator {
   public:
    iterator() : it_{nullptr} {}
    explicit iterator(tree_node_base* node) : it_{node} {}
    const string& operator*() const { return static_cast<string_tree_node*>(it_.node)->value; }
    const string* operator->() const { return &**this; }
    iterator& operator++() {
      it_.increment();
      return *this;
    }
    iterator& operator--() {
      it_.decrement();
      return *this;
    }
    bool operator==(const iterator& o) const { return it_.node == o.it_.node; }
    bool operator!=(const iterator& o) const { return it_.node != o.it_.node; }
    tree_node_base* node() const { return it_.node; }

   private:
    tree_iterator_base it_;
  };

  struct insert_result {
    iterator position;
    bool inserted;
  };

  string_set();
  string_set(const string_set& other);  // same shape and colours
  ~string_set();
  string_set& operator=(const string_set& other);

  insert_result insert(const string& value);   // insert unique
  iterator insert_equal(const string& value);  // after equal ones
  insert_result insert(iterator hint, const string& value);
  iterator insert_equal(iterator hint, const string& value);

  iterator find(const string& value) const;
  bool contains(const string& value) const { return find(value) != end(); }
  iterator lower_bound(const string& value) const;
  iterator upper_bound(const string& value) const;
  size_t count(const string& value) const;

  void erase(iterator position);
  size_t erase(const string& value);  // 1, or 0 when absent
  void erase(iterator first, iterator last);
  void clear();
  void swap(string_set& other) { tree_base::swap(other); }

  iterator begin() const { return iterator(leftmost()); }
  iterator end() const { return iterator(header()); }

  // One line per node with depth and colour, for test failure messages.
  string dump() const;
};
