// A fixed number of objects on the heap, owned, freed once. The updater is
// built without exceptions, and std::vector or a new[] would bring the
// runtime's exception machinery into the exe (almost 200 KiB): this takes
// its memory from malloc and reports a failure as an empty array instead.
// Needs no operating system.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

template <class T>
class HeapArray {
 public:
  HeapArray() = default;
  // `count` value-initialised objects; Valid() is false when memory ran out.
  explicit HeapArray(size_t count) {
    if (count == 0 || count > SIZE_MAX / sizeof(T)) return;
    items_ = static_cast<T*>(std::malloc(count * sizeof(T)));
    if (!items_) return;
    for (size_t i = 0; i < count; ++i) new (items_ + i) T();
    count_ = count;
  }
  ~HeapArray() {
    for (size_t i = 0; i < count_; ++i) items_[i].~T();
    std::free(items_);
  }
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;

  bool Valid() const { return items_ != nullptr; }
  size_t Count() const { return count_; }
  T* Data() { return items_; }
  const T* Data() const { return items_; }
  T& operator[](size_t i) { return items_[i]; }
  const T& operator[](size_t i) const { return items_[i]; }

 private:
  T* items_ = nullptr;
  size_t count_ = 0;
};
