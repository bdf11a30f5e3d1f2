// The set of strings on the red-black tree.
#include <stdio.h>

#include "foundation/string.h"
#include "foundation/tree.h"

namespace {

bool string_less(void*, const void* a, const void* b) {
  return static_cast<const string*>(a)->compare(*static_cast<const string*>(b)) < 0;
}

tree_node_base* new_string_node(const string& value) {
  string_tree_node* n = new string_tree_node;
  n->value = value;
  return n;
}

tree_node_base* clone_string_node(const tree_node_base* node) {
  return new_string_node(static_cast<const string_tree_node*>(node)->value);
}

void destroy_string_node(tree_node_base* node) {
  delete static_cast<string_tree_node*>(node);
}

}  // namespace

string_set::string_set() : tree_base(string_less, nullptr) {}

string_set::string_set(const string_set& other) : tree_base(string_less, nullptr) {
  copy_from(other, clone_string_node, destroy_string_node);
}

string_set::~string_set() {
  tree_base::clear(destroy_string_node);
}

string_set& string_set::operator=(const string_set& other) {
  copy_from(other, clone_string_node, destroy_string_node);
  return *this;
}

string_set::insert_result string_set::insert(const string& value) {
  tree_node_base *x, *y, *existing;
  find_insert_unique_position(&value, &x, &y, &existing);
  if (existing) return {iterator(existing), false};
  return {iterator(insert_node(x, y, new_string_node(value))), true};
}

string_set::iterator string_set::insert_equal(const string& value) {
  tree_node_base *x, *y;
  find_insert_equal_position(&value, &x, &y);
  return iterator(insert_node(x, y, new_string_node(value)));
}

string_set::insert_result string_set::insert(iterator hint, const string& value) {
  tree_node_base *x, *y, *existing;
  find_hint_unique_position(hint.node(), &value, &x, &y, &existing);
  if (existing) return {iterator(existing), false};
  return {iterator(insert_node(x, y, new_string_node(value))), true};
}

string_set::iterator string_set::insert_equal(iterator hint, const string& value) {
  tree_node_base *x, *y;
  find_hint_equal_position(hint.node(), &value, &x, &y);
  return iterator(insert_node(x, y, new_string_node(value)));
}

string_set::iterator string_set::find(const string& value) const {
  return iterator(find_node(&value));
}

string_set::iterator string_set::lower_bound(const string& value) const {
  return iterator(lower_bound_node(&value));
}

string_set::iterator string_set::upper_bound(const string& value) const {
  return iterator(upper_bound_node(&value));
}

size_t string_set::count(const string& value) const {
  size_t n = 0;
  for (iterator it = lower_bound(value), last = upper_bound(value); it != last; ++it) ++n;
  return n;
}

void string_set::erase(iterator position) {
  erase_node(position.node(), destroy_string_node);
}

size_t string_set::erase(const string& value) {
  return erase_value(&value, destroy_string_node);
}

void string_set::erase(iterator first, iterator last) {
  erase_range(first.node(), last.node(), destroy_string_node);
}

void string_set::clear() {
  tree_base::clear(destroy_string_node);
}

// Pre-order, indented by depth: "<depth> <B|R> <value>".
static void dump_subtree(const tree_node_base* n, unsigned depth, string& out) {
  if (!n) return;
  char prefix[32];
  snprintf(prefix, sizeof prefix, "%u %c ", depth, n->colour == TREE_RED ? 'R' : 'B');
  out.append(2 * depth, ' ');
  out.append(prefix);
  out.append(static_cast<const string_tree_node*>(n)->value);
  out.append('\n');
  dump_subtree(n->left, depth + 1, out);
  dump_subtree(n->right, depth + 1, out);
}

string string_set::dump() const {
  string out;
  dump_subtree(root(), 0, out);
  return out;
}
