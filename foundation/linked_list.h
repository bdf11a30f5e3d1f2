// Circular doubly linked list of pointers with a sentinel node: the working
// lists of the removal and pending-package steps.
#pragma once

#include <stddef.h>

// Link algorithms on the bare node; removed nodes get their links cleared.
struct list_node_base {
  list_node_base* next;
  list_node_base* previous;

  // Links node in front of position.
  static void link_before(list_node_base* position, list_node_base* node);
  // Unlinks node, clears its links, returns its old successor.
  static list_node_base* unlink(list_node_base* node);
  // Moves [first, last) in front of position in constant time.
  static void splice(list_node_base* position, list_node_base* first, list_node_base* last);
};

struct list_node : list_node_base {
  void* value;
};

// Owns its nodes and the sentinel; never deletes the objects it points to.
class linked_list_base {
 public:
  linked_list_base();
  ~linked_list_base();
  linked_list_base(const linked_list_base&) = delete;
  linked_list_base& operator=(const linked_list_base&) = delete;

  size_t size() const;  // counted by walking
  bool empty() const { return sentinel_->next == sentinel_; }
  void swap(linked_list_base& other);  // exchanges the sentinels
  void clear();

 protected:
  list_node_base* sentinel() const { return sentinel_; }
  list_node* insert_before(list_node_base* position, void* value);
  list_node_base* remove(list_node_base* node);  // returns the successor
  void remove_range(list_node_base* first, list_node_base* last);

 private:
  list_node_base* sentinel_;
};

// Typed list of T pointers.
template <class T>
class linked_list : public linked_list_base {
 public:
  class iterator {
   public:
    iterator() : node_(nullptr) {}
    explicit iterator(list_node_base* node) : node_(node) {}
    T* operator*() const { return static_cast<T*>(static_cast<list_node*>(node_)->value); }
    T* operator->() const { return **this; }
    iterator& operator++() {
      node_ = node_->next;
      return *this;
    }
    iterator& operator--() {
      node_ = node_->previous;
      return *this;
    }
    bool operator==(const iterator& o) const { return node_ == o.node_; }
    bool operator!=(const iterator& o) const { return node_ != o.node_; }
    list_node_base* node() const { return node_; }

   private:
    list_node_base* node_;
  };

  iterator begin() const { return iterator(sentinel()->next); }
  iterator end() const { return iterator(sentinel()); }
  T* first() const { return *begin(); }
  T* last() const { return *iterator(sentinel()->previous); }

  iterator insert(iterator position, T* value) {
    return iterator(insert_before(position.node(), value));
  }
  iterator push_back(T* value) { return insert(end(), value); }
  iterator push_front(T* value) { return insert(begin(), value); }
  iterator erase(iterator position) { return iterator(remove(position.node())); }
  void erase(iterator first, iterator last) { remove_range(first.node(), last.node()); }
  // Moves [first, last) of any list in front of position.
  void splice(iterator position, iterator first, iterator last) {
    list_node_base::splice(position.node(), first.node(), last.node());
  }
  static iterator advance(iterator position, size_t n) {
    while (n--) ++position;
    return position;
  }
};
