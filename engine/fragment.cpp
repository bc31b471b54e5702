#include "fragment.h"

#include <algorithm>
#include <utility>

namespace korvid {

FragmentList::FragmentList(FragmentList&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

FragmentList& FragmentList::operator=(FragmentList&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void FragmentList::append(const FragmentList& other) {
  if (size_ + other.size_ > capacity_) Grow(size_ + other.size_);
  std::copy(other.begin(), other.end(), data_ + size_);
  size_ += other.size_;
}

void FragmentList::Grow(size_t needed) {
  const size_t capacity = std::max(needed, capacity_ == 0 ? size_t{4096} : capacity_ * 2);
  void* grown = std::realloc(data_, capacity * sizeof(Fragment));
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<Fragment*>(grown);
  capacity_ = capacity;
}

void SortFragments(FragmentList& list) {
  // Records with equal Position are identical, so the sort need not be stable.
  if (!std::is_sorted(list.begin(), list.end(), FragmentBefore)) {
    std::sort(list.begin(), list.end(), FragmentBefore);
  }
}

void MergeRuns(FragmentList& list, size_t from) {
  Fragment* const first = list.begin() + from;
  Fragment* const last = list.end();
  Fragment* sorted = std::is_sorted_until(first, last, FragmentBefore);
  while (sorted != last) {
    Fragment* const runEnd = std::is_sorted_until(sorted, last, FragmentBefore);
    std::inplace_merge(first, sorted, runEnd, FragmentBefore);
    sorted = runEnd;
  }
}

}  // namespace korvid
