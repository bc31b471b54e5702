#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

namespace korvid {

// Plain records of one kind in one contiguous block, grown with realloc. Large blocks are
// moved by remapping pages instead of copying, and the untouched tail of a block is never
// resident, so n records never need much more than n·sizeof(T) bytes of memory, even while
// they grow: media hold billions of them.
template <class T>
class PackedArray {
  static_assert(std::is_trivially_copyable_v<T>, "moved by realloc");

 public:
  PackedArray() = default;
  PackedArray(const PackedArray&) = delete;
  PackedArray& operator=(const PackedArray&) = delete;
  PackedArray(PackedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PackedArray& operator=(PackedArray&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~PackedArray() { std::free(data_); }

  void push_back(const T& value) {
    if (size_ == capacity_) Grow();
    data_[size_++] = value;
  }
  // A new record at the end, value-initialised.
  T& emplace_back() {
    push_back(T{});
    return data_[size_ - 1];
  }
  // Appends every record of `other`.
  void append(const PackedArray& other) {
    if (size_ + other.size_ > capacity_) Grow(size_ + other.size_);
    std::copy(other.begin(), other.end(), data_ + size_);
    size_ += other.size_;
  }
  void clear() { size_ = 0; }
  // Keeps the first `count` elements (count <= size()).
  void truncate(size_t count) { size_ = std::min(size_, count); }
  // Drops the first `count` elements (count <= size()); the rest move to the front.
  void erase_front(size_t count) {
    count = std::min(count, size_);
    std::copy(data_ + count, data_ + size_, data_);
    size_ -= count;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T* data() { return data_; }
  const T* data() const { return data_; }

 private:
  // Makes room for at least `needed` records.
  void Grow(size_t needed = 0) {
    const size_t initial = std::max<size_t>(1, 65536 / sizeof(T));
    const size_t capacity = std::max(needed, capacity_ == 0 ? initial : capacity_ * 2);
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;  // size_ <= capacity_
};

}  // namespace korvid
