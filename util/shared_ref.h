// SharedRef: holds one object with a reference count on the heap; the last holder deletes the object.
#pragma once

#include <atomic>
#include <utility>

template <class T>
class SharedRef {
 public:
  SharedRef() = default;
  // Holds obj (when not null) with count 1.
  explicit SharedRef(T* obj) { Reset(obj); }
  // One more reference to other's object.
  SharedRef(const SharedRef& other) : count_(other.count_), obj_(other.obj_) {
    if (count_) count_->fetch_add(1, std::memory_order_relaxed);
  }
  SharedRef(SharedRef&& other) noexcept
      : count_(std::exchange(other.count_, nullptr)), obj_(std::exchange(other.obj_, nullptr)) {}
  SharedRef& operator=(SharedRef other) noexcept {
    std::swap(count_, other.count_);
    std::swap(obj_, other.obj_);
    return *this;
  }
  // Release().
  ~SharedRef() { Release(); }

  // Holds obj with count 1 instead, dropping one reference to the old object; the same object changes
  // nothing.
  void Reset(T* obj) {
    if (obj == obj_) return;
    std::atomic<int>* reuse = Drop();
    if (obj) {
      count_ = reuse ? reuse : new std::atomic<int>;
      count_->store(1, std::memory_order_relaxed);
      obj_ = obj;
    } else {
      delete reuse;
    }
  }
  // Drops this holder's reference (the object is deleted with the last one) and holds nothing.
  void Release() { delete Drop(); }

  // The object, or null.
  T* Get() const { return obj_; }
  T* operator->() const { return obj_; }
  T& operator*() const { return *obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  // Forgets the object after dropping one reference; returns the count block when this was the last one.
  std::atomic<int>* Drop() {
    std::atomic<int>* last = nullptr;
    if (count_ && obj_ && count_->fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete obj_;
      last = count_;
    }
    count_ = nullptr;
    obj_ = nullptr;
    return last;
  }

  std::atomic<int>* count_ = nullptr;
  T* obj_ = nullptr;
};
