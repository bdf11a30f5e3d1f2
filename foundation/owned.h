// The sole owner of an object made with new: it deletes the object when it
// goes out of scope, unless release() has handed the object on.
#pragma once

template <class T>
class owned {
 public:
  explicit owned(T* object) : object_(object) {}
  ~owned() { delete object_; }
  owned(const owned&) = delete;
  owned& operator=(const owned&) = delete;

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  T* release() {
    T* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  T* object_;
};
