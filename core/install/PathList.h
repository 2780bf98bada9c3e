// A list of relative paths kept end to end in blocks of characters: ten thousand paths cost
// their characters and four bytes each, not a string object and a heap block each, and no
// growth of the list copies more than one block (64 KiB).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

class PathList {
 public:
  PathList() = default;
  PathList(std::initializer_list<std::u16string_view> paths);

  // Adds `path` at the end.
  void push_back(std::u16string_view path);

  std::size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  std::u16string_view operator[](std::size_t n) const;
  std::u16string_view back() const { return (*this)[size() - 1]; }

  // Reads the paths in order, each as a view into the list.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::u16string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::u16string_view;

    const_iterator() = default;
    const_iterator(const PathList* list, std::size_t n) : list_(list), n_(n) {}
    std::u16string_view operator*() const { return (*list_)[n_]; }
    const_iterator& operator++() { return ++n_, *this; }
    const_iterator operator++(int) { return {list_, n_++}; }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.n_ == b.n_;
    }

   private:
    const PathList* list_ = nullptr;
    std::size_t n_ = 0;
  };

  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  friend bool operator==(const PathList& a, const PathList& b);

 private:
  // A block holds up to kBlockUnits code units (a longer path, a block of its own); path n
  // starts at starts_[n] in the last block whose first path (firsts_) is not after it.
  static constexpr std::size_t kBlockUnits = 32768;
  std::vector<std::u16string> blocks_;
  std::vector<std::size_t> firsts_;
  std::vector<std::uint32_t> starts_;
};
