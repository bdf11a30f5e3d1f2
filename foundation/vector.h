// Growable array of one element type: pointers, strings, records of strings
// and numbers. Elements are moved by copying their bytes (every element type
// of the system is relocatable that way), never by copy construction.
#pragma once

#include <stddef.h>
#include <string.h>

#include "foundation/memory.h"

// Three pointers owning one heap block. Reserving room for n elements does
// nothing when the capacity suffices; otherwise the new capacity is the
// largest of twice the current size, n, and 8 elements. Destruction destroys
// the elements (a string element frees its text; a pointer element never
// deletes what it points to) and frees the block.
template <class T>
class vector {
 public:
  vector() : begin_(nullptr), end_(nullptr), capacity_end_(nullptr) {}
  vector(const vector& other);
  vector(vector&& other);
  ~vector();
  vector& operator=(const vector& other);
  vector& operator=(vector&& other);

  void reserve(size_t n);
  void push_back(const T& value);          // copies the element
  void insert(size_t pos, const T* first, size_t count);  // moves the tail up
  void erase(size_t first, size_t last);   // destroys, moves the tail down
  void pop_back();
  void clear();
  void swap(vector& other);                // exchanges the three pointers

  size_t size() const { return (size_t)(end_ - begin_); }
  bool empty() const { return begin_ == end_; }
  size_t capacity() const { return (size_t)(capacity_end_ - begin_); }
  T& operator[](size_t i) { return begin_[i]; }
  const T& operator[](size_t i) const { return begin_[i]; }
  T& back() { return end_[-1]; }
  T* begin() { return begin_; }
  T* end() { return end_; }
  const T* begin() const { return begin_; }
  const T* end() const { return end_; }

 private:
  T* begin_;
  T* end_;
  T* capacity_end_;
};
