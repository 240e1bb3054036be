// A text on the heap with its length: the owner of the buffers that the merge
// and the whole-file reads hand around. Needs no operating system.
#pragma once

#include <cstddef>
#include <cstdlib>

// A malloc'd text and its length, freed exactly once by its owner. The buffer
// holds one zero byte after the text, so it can also be read as a C string.
class HeapText {
public:
  HeapText() = default;
  HeapText(char* bytes, size_t length) : bytes_(bytes), length_(length) {}
  ~HeapText() { std::free(bytes_); }
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  HeapText(HeapText&& other) noexcept : bytes_(other.bytes_), length_(other.length_) {
    other.bytes_ = nullptr;
    other.length_ = 0;
  }
  HeapText& operator=(HeapText&& other) noexcept {
    if (this != &other) {
      std::free(bytes_);
      bytes_ = other.bytes_;
      length_ = other.length_;
      other.bytes_ = nullptr;
      other.length_ = 0;
    }
    return *this;
  }

  const char* Bytes() const { return bytes_; }
  size_t Length() const { return length_; }
  bool Empty() const { return bytes_ == nullptr; }

private:
  char* bytes_ = nullptr;
  size_t length_ = 0;
};
