#include "foundation/linked_list.h"

#include "foundation/require.h"

// ---------------------------------------------------------------------------
// Link algorithms

void list_node_base::link_before(list_node_base* position, list_node_base* node) {
  node->next = position;
  node->previous = position->previous;
  position->previous->next = node;
  position->previous = node;
}

list_node_base* list_node_base::unlink(list_node_base* node) {
  list_node_base* successor = node->next;
  node->previous->next = successor;
  successor->previous = node->previous;
  node->next = nullptr;
  node->previous = nullptr;
  return successor;
}

// position must not lie inside [first, last); it may be last itself, or
// first, which leaves everything in place.
void list_node_base::splice(list_node_base* position, list_node_base* first, list_node_base* last) {
  if (first == last || position == last || position == first) return;
  list_node_base* range_last = last->previous;
  // Close the gap the range leaves behind.
  first->previous->next = last;
  last->previous = first->previous;
  // Open it again in front of position.
  list_node_base* before = position->previous;
  before->next = first;
  first->previous = before;
  range_last->next = position;
  position->previous = range_last;
}

// ---------------------------------------------------------------------------
// The list

linked_list_base::linked_list_base() : sentinel_(new list_node_base) {
  sentinel_->next = sentinel_;
  sentinel_->previous = sentinel_;
}

linked_list_base::~linked_list_base() {
  clear();
  delete sentinel_;
}

size_t linked_list_base::size() const {
  size_t n = 0;
  for (list_node_base* p = sentinel_->next; p != sentinel_; p = p->next) ++n;
  return n;
}

void linked_list_base::swap(linked_list_base& other) {
  list_node_base* sentinel = sentinel_;
  sentinel_ = other.sentinel_;
  other.sentinel_ = sentinel;
}

void linked_list_base::clear() {
  remove_range(sentinel_->next, sentinel_);
}

list_node* linked_list_base::insert_before(list_node_base* position, void* value) {
  list_node* node = new list_node;
  node->value = value;
  list_node_base::link_before(position, node);
  return node;
}

list_node_base* linked_list_base::remove(list_node_base* node) {
  REQUIRE(node != sentinel_);  // the end of a list is no element
  list_node_base* successor = list_node_base::unlink(node);
  delete static_cast<list_node*>(node);
  return successor;
}

void linked_list_base::remove_range(list_node_base* first, list_node_base* last) {
  while (first != last) first = remove(first);
}
