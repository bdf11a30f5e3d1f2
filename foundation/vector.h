// Growable array of one element type: pointers, strings, records of strings
// and numbers. Elements are moved by copying their bytes (every element type
// of the system is relocatable that way), never by copy construction.
#pragma once

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/memory.h"
#include "foundation/require.h"

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
  void push_back(const T& value);                         // copies the element
  void insert(size_t pos, const T* first, size_t count);  // moves the tail up
  void erase(size_t first, size_t last);                  // destroys, moves the tail down
  void pop_back();
  void clear();
  void swap(vector& other);  // exchanges the three pointers

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
  // Moves the elements into a block of the reserve policy's size when n
  // exceeds the capacity; returns the old block for the caller to free.
  T* relocate(size_t n);

  T* begin_;
  T* end_;
  T* capacity_end_;
};

// ---------------------------------------------------------------------------
// Template bodies. Relocation is a plain byte copy of the elements; the old
// block is then freed without running destructors, since the elements now
// live in the new block.

template <class T>
vector<T>::vector(const vector& other) : vector() {
  insert(0, other.begin_, other.size());
}

template <class T>
vector<T>::vector(vector&& other)
    : begin_(other.begin_), end_(other.end_), capacity_end_(other.capacity_end_) {
  other.begin_ = other.end_ = other.capacity_end_ = nullptr;
}

template <class T>
vector<T>::~vector() {
  clear();
  operator delete(begin_);
}

template <class T>
vector<T>& vector<T>::operator=(const vector& other) {
  if (this != &other) {
    clear();
    insert(0, other.begin_, other.size());
  }
  return *this;
}

template <class T>
vector<T>& vector<T>::operator=(vector&& other) {
  if (this != &other) {
    vector gone(static_cast<vector&&>(*this));
    swap(other);
  }
  return *this;
}

template <class T>
void vector<T>::reserve(size_t n) {
  operator delete(relocate(n));
}

template <class T>
T* vector<T>::relocate(size_t n) {
  if (n <= capacity()) return nullptr;
  size_t count = size();
  size_t new_capacity = 2 * count;
  if (new_capacity < n) new_capacity = n;
  if (new_capacity < 8) new_capacity = 8;
  REQUIRE(new_capacity <= (size_t)-1 / sizeof(T));  // the byte size must not wrap
  T* block = static_cast<T*>(operator new(new_capacity * sizeof(T)));
  if (count) memcpy((void*)block, (const void*)begin_, count * sizeof(T));
  T* old = begin_;
  begin_ = block;
  end_ = block + count;
  capacity_end_ = block + new_capacity;
  return old;
}

template <class T>
void vector<T>::push_back(const T& value) {
  // value may be one of our own elements: the old block stays allocated
  // until the copy is made.
  T* old = relocate(size() + 1);
  new (in_place, end_) T(value);
  ++end_;
  operator delete(old);
}

template <class T>
void vector<T>::insert(size_t pos, const T* first, size_t count) {
  if (count == 0) return;
  if (first < end_ && first + count > begin_) {
    vector copy;  // the source lies in our own block, which is about to shift
    copy.insert(0, first, count);
    insert(pos, copy.begin_, count);
    return;
  }
  if (pos > size()) pos = size();
  operator delete(relocate(size() + count));
  T* gap = begin_ + pos;
  memmove((void*)(gap + count), (const void*)gap, (size_t)(end_ - gap) * sizeof(T));
  for (size_t i = 0; i < count; ++i) new (in_place, gap + i) T(first[i]);
  end_ += count;
}

template <class T>
void vector<T>::erase(size_t first, size_t last) {
  if (last > size()) last = size();
  if (first >= last) return;
  for (T* p = begin_ + first; p != begin_ + last; ++p) p->~T();
  memmove((void*)(begin_ + first), (const void*)(begin_ + last), (size() - last) * sizeof(T));
  end_ -= last - first;
}

template <class T>
void vector<T>::pop_back() {
  --end_;
  end_->~T();
}

template <class T>
void vector<T>::clear() {
  for (T* p = begin_; p != end_; ++p) p->~T();
  end_ = begin_;
}

template <class T>
void vector<T>::swap(vector& other) {
  T* b = begin_;
  T* e = end_;
  T* c = capacity_end_;
  begin_ = other.begin_;
  end_ = other.end_;
  capacity_end_ = other.capacity_end_;
  other.begin_ = b;
  other.end_ = e;
  other.capacity_end_ = c;
}
