// Gathering rows into groups by identity, for row restoration: which rows
// form one document, and which of them one related document.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel::row_detail {

// Rows gathered into groups: the rows of group g are rows[offsets[g]..offsets[g+1]),
// in their original order. Buffers are kept between uses to spare allocations.
struct Buckets {
  std::vector<uint32_t> rows;
  std::vector<uint32_t> offsets;
  std::vector<uint32_t> fill;

  size_t count() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::span<const uint32_t> group(size_t g) const {
    return std::span<const uint32_t>(rows).subspan(offsets[g], offsets[g + 1] - offsets[g]);
  }

  // Counting sort of (row, group) pairs by group; stable, so rows keep their order.
  void fill_from(const std::vector<std::pair<uint32_t, uint32_t>>& assigned, size_t groups) {
    offsets.assign(groups + 1, 0);
    for (const auto& a : assigned) ++offsets[a.second + 1];
    for (size_t g = 0; g < groups; ++g) offsets[g + 1] += offsets[g];
    rows.resize(assigned.size());
    fill.assign(offsets.begin(), offsets.end() - 1);
    for (const auto& a : assigned) rows[fill[a.second]++] = a.first;
  }
};

// A quick hash of short texts, eight bytes at a time.
inline uint64_t hash_text(std::string_view t) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ t.size();
  size_t i = 0;
  for (; i + 8 <= t.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, t.data() + i, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, t.data() + i, t.size() - i);
  h = (h ^ tail) * 0x94D049BB133111EBull;
  return h ^ (h >> 29);
}

// Groups keyed by text, numbered by first appearance. The texts sit back to
// back in one buffer; few groups are found by a scan, many through an
// open-addressing index built once they are many.
class KeyGroups {
 public:
  void clear() {
    text_.clear();
    ends_.clear();
    hashes_.clear();
    slots_.clear();
    last_ = 0;
  }
  uint32_t add(std::string_view key) {
    // Rows of one document usually arrive together.
    if (!ends_.empty() && key_of(last_) == key) return last_;
    uint64_t hash = hash_text(key);
    uint32_t group = find(key, hash);
    if (group == count()) {
      text_.append(key);
      ends_.push_back(text_.size());
      hashes_.push_back(hash);
      if (!slots_.empty()) insert(group);
      else if (ends_.size() > kScan) rebuild(64);
    }
    return last_ = group;
  }
  // A group of its own; an empty key never equals the key of a value.
  uint32_t fresh() {
    ends_.push_back(text_.size());
    hashes_.push_back(0);
    return count() - 1;
  }
  uint32_t count() const { return static_cast<uint32_t>(ends_.size()); }
  // The group of `key`, or count() when there is none.
  uint32_t lookup(std::string_view key) const { return find(key, hash_text(key)); }

 private:
  static constexpr size_t kScan = 16;
  static constexpr uint32_t kEmpty = UINT32_MAX;

  std::string_view key_of(uint32_t g) const {
    size_t begin = g == 0 ? 0 : ends_[g - 1];
    return std::string_view(text_).substr(begin, ends_[g] - begin);
  }
  uint32_t find(std::string_view key, uint64_t hash) const {
    if (!slots_.empty()) {
      for (size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
        uint32_t g = slots_[i];
        if (g == kEmpty) return count();
        if (hashes_[g] == hash && key_of(g) == key) return g;
      }
    }
    for (uint32_t g = 0; g < count(); ++g)
      if (hashes_[g] == hash && key_of(g) == key) return g;
    return count();
  }
  void insert(uint32_t group) {
    if ((ends_.size() + 1) * 2 > slots_.size()) return rebuild(slots_.size() * 2);
    size_t i = hashes_[group] & (slots_.size() - 1);
    while (slots_[i] != kEmpty) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = group;
  }
  void rebuild(size_t size) {
    while (size < ends_.size() * 2 + 2) size *= 2;
    slots_.assign(size, kEmpty);
    for (uint32_t g = 0; g < count(); ++g) {
      // Fresh groups have no key and are never looked up.
      if (key_of(g).empty()) continue;
      size_t i = hashes_[g] & (size - 1);
      while (slots_[i] != kEmpty) i = (i + 1) & (size - 1);
      slots_[i] = g;
    }
  }

  std::string text_;
  std::vector<size_t> ends_;
  std::vector<uint64_t> hashes_;
  std::vector<uint32_t> slots_;
  uint32_t last_ = 0;
};

// What gathering the rows of one depth needs, kept per depth between uses.
struct Scratch {
  KeyGroups keys;
  std::vector<std::pair<uint32_t, uint32_t>> assigned;
  Buckets buckets;
  std::vector<uint32_t> members;
  std::vector<uint32_t> relations;
  std::string key;
};

}  // namespace quorvel::row_detail
