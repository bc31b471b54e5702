#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace korvid {

// One signature hit on the source.
struct Fragment {
  int64_t Position;  // byte offset of the hit's first byte from the start of the source
  uint32_t Length;   // little-endian word 4 bytes after the hit, plus 8, modulo 2^32
  uint32_t Id;       // the hit's first four bytes (the chunk id), little-endian
};
static_assert(sizeof(Fragment) == 16, "a record must stay 16 bytes: media hold millions");

// 1, 0 or -1 as the first record's Position is greater than, equal to or less than the second's.
inline int CompareFragments(const Fragment& a, const Fragment& b) {
  return a.Position > b.Position ? 1 : a.Position < b.Position ? -1 : 0;
}

// The records of one run in one contiguous block. Grown with realloc, which moves large
// blocks by remapping pages instead of copying, so a list of n records never needs much
// more than 16·n bytes of memory, even while it grows.
class FragmentList {
 public:
  FragmentList() = default;
  FragmentList(const FragmentList&) = delete;
  FragmentList& operator=(const FragmentList&) = delete;
  FragmentList(FragmentList&& other) noexcept;
  FragmentList& operator=(FragmentList&& other) noexcept;
  ~FragmentList() { std::free(data_); }

  void push_back(const Fragment& f) {
    if (size_ == capacity_) Grow();
    data_[size_++] = f;
  }
  // Appends every record of `other`.
  void append(const FragmentList& other);
  void clear() { size_ = 0; }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Fragment& operator[](size_t i) { return data_[i]; }
  const Fragment& operator[](size_t i) const { return data_[i]; }
  Fragment* begin() { return data_; }
  Fragment* end() { return data_ + size_; }
  const Fragment* begin() const { return data_; }
  const Fragment* end() const { return data_ + size_; }

 private:
  // Makes room for at least `needed` records.
  void Grow(size_t needed = 0);

  Fragment* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;  // size_ <= capacity_
};

// CompareFragments as the "less than" of a sort.
inline bool FragmentBefore(const Fragment& a, const Fragment& b) { return CompareFragments(a, b) < 0; }

// Sorts the list into ascending Position with CompareFragments.
void SortFragments(FragmentList& list);

// Sorts records [from, end of list) that stand in a few ascending runs, one per pattern, by
// merging the runs: linear in the number of records.
void MergeRuns(FragmentList& list, size_t from);

}  // namespace korvid
