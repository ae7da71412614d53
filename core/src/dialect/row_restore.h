// The restoration algorithm behind restore(), written once for any row
// source: restore() runs it over the RowSource interface, and a host that
// knows its source's type can run it over that type directly, sparing a
// virtual call per cell.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "depth_limit.h"
#include "dialect/row.h"
#include "dialect/row_groups.h"

namespace quorvel {

namespace row_detail {

inline constexpr size_t kNone = std::numeric_limits<size_t>::max();
using Cell = RowSource::Cell;

// 1 and 0, as numbers or as decimal text, are the stored forms of booleans.
inline std::optional<bool> numeric_bool(const Value& v) {
  double d;
  if (v.is_number()) {
    d = v.to_double();
  } else if (const std::string* s = v.if_string()) {
    std::string_view text = *s;
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (d == 1) return true;
  if (d == 0) return false;
  return std::nullopt;
}

inline bool lists(const std::string* presence, std::string_view name) {
  if (!presence) return false;
  std::string needle;
  needle.reserve(name.size() + 2);
  ((needle += ',') += name) += ',';
  return presence->find(needle) != std::string::npos;
}

template <class Source>
class Restorer {
 public:
  Restorer(const RowShape& shape, const Source& src, std::pmr::memory_resource* upstream)
      : shape_(shape), src_(src), out_(upstream) {}

  Result<Restored> run();

 private:
  Cell cell(uint32_t row, size_t col) const { return src_.cell(row, col); }
  bool read(uint32_t row, size_t col, Value& out) {
    if (src_.value(row, col, out)) return true;
    failed_ = true;
    return false;
  }
  bool read_key(uint32_t row, size_t col, std::string& out) {
    if (src_.key_text(row, col, out)) return true;
    failed_ = true;
    return false;
  }

  // An empty object with room for `capacity` members: a node never holds
  // more members than there are columns building it.
  RNode new_object(size_t capacity) {
    RNode n;
    n.kind = RNode::Kind::Object;
    n.members = static_cast<RMember*>(out_.arena->allocate(capacity * sizeof(RMember), alignof(RMember)));
    return n;
  }
  RNode new_value(Value&& v) {
    RNode n;
    n.kind = RNode::Kind::Value;
    n.value = new (out_.arena->allocate(sizeof(Value), alignof(Value))) Value(std::move(v));
    out_.values.push_back(n.value);
    return n;
  }
  uint32_t key_of(std::string_view name) const {
    return static_cast<uint32_t>(std::lower_bound(out_.keys.begin(), out_.keys.end(), name) - out_.keys.begin());
  }

  Status index_keys();
  // The gathering buffers of one depth; deeper calls never touch them.
  Scratch& scratch(size_t depth) {
    while (scratch_.size() <= depth) scratch_.push_back(std::make_unique<Scratch>());
    return *scratch_[depth];
  }
  void group_rows(size_t id_col, Buckets& out);
  std::optional<std::string> presence_of(uint32_t first_row);
  uint32_t key_at(size_t col, size_t depth) const { return key_ids_[col][depth]; }
  RNode leaf_of(size_t col, uint32_t row);
  RNode build_object(std::span<const uint32_t> cols, std::span<const uint32_t> rows, size_t depth,
                     const std::string* presence);
  void merge_path(RNode& doc, size_t capacity, size_t col, size_t depth, uint32_t row, const std::string* presence);
  void merge_into_value(Value& target, const RowCol& c, size_t level, const RNode& leaf, const std::string* presence);
  RNode relation_value(std::span<const uint32_t> cols, uint32_t name, std::span<const uint32_t> rows, size_t depth);
  void sort_by_key(std::vector<uint32_t>& cols, size_t depth) const;
  RNode flat_object(std::span<const uint32_t> sorted_cols, uint32_t row, size_t depth);

  const RowShape& shape_;
  const Source& src_;
  std::vector<std::vector<uint32_t>> key_ids_;
  uint32_t id_key_ = 0;  // key index of "_id", or one past the keys
  std::vector<std::unique_ptr<Scratch>> scratch_;
  Restored out_;
  bool failed_ = false;
};

inline RNode* find_member(RNode& obj, uint32_t key) {
  RMember* end = obj.members + obj.size;
  RMember* it = std::lower_bound(obj.members, end, key, [](const RMember& m, uint32_t k) { return m.key < k; });
  return it != end && it->key == key ? &it->node : nullptr;
}

inline RNode& set_member(RNode& obj, uint32_t key, const RNode& node) {
  RMember* end = obj.members + obj.size;
  if (obj.size == 0 || end[-1].key < key) {
    ++obj.size;
    return (new (end) RMember{key, node})->node;
  }
  RMember* it = std::lower_bound(obj.members, end, key, [](const RMember& m, uint32_t k) { return m.key < k; });
  if (it != end && it->key == key) {
    it->node = node;
    return it->node;
  }
  std::memmove(static_cast<void*>(it + 1), it, static_cast<size_t>(end - it) * sizeof(RMember));
  ++obj.size;
  return (new (it) RMember{key, node})->node;
}

template <class Source>
Status Restorer<Source>::index_keys() {
  for (const RowCol& c : shape_.columns) {
    if (c.path.size() > static_cast<size_t>(kMaxDepth))
      return Err("rowShape 列 " + c.alias + " 的 path 超过 " + std::to_string(kMaxDepth) + " 层");
    for (const std::string& p : c.path) out_.keys.push_back(p);
  }
  std::sort(out_.keys.begin(), out_.keys.end());
  out_.keys.erase(std::unique(out_.keys.begin(), out_.keys.end()), out_.keys.end());
  key_ids_.reserve(shape_.columns.size());
  for (const RowCol& c : shape_.columns) {
    std::vector<uint32_t>& ids = key_ids_.emplace_back();
    ids.reserve(c.path.size());
    for (const std::string& p : c.path) ids.push_back(key_of(p));
  }
  id_key_ = key_of("_id");
  if (id_key_ < out_.keys.size() && out_.keys[id_key_] != "_id") id_key_ = static_cast<uint32_t>(out_.keys.size());
  return ok();
}

// Rows without an identity are keyed by position, in a key space of their
// own: a row's position must never pair it with a document whose identity
// happens to equal that number.
template <class Source>
void Restorer<Source>::group_rows(size_t id_col, Buckets& out) {
  KeyGroups groups;
  std::vector<std::pair<uint32_t, uint32_t>> assigned;
  assigned.reserve(src_.size());
  std::string key;
  for (uint32_t r = 0; r < src_.size(); ++r) {
    Cell state = id_col == kNone ? Cell::Missing : cell(r, id_col);
    if (state == Cell::Missing) {
      assigned.emplace_back(r, groups.fresh());
      continue;
    }
    key.clear();
    if (state == Cell::Null) key = "null";
    else if (!read_key(r, id_col, key)) return;
    assigned.emplace_back(r, groups.add(key));
  }
  out.fill_from(assigned, groups.count());
}

template <class Source>
std::optional<std::string> Restorer<Source>::presence_of(uint32_t first_row) {
  if (!shape_.present) return std::nullopt;
  size_t col = shape_.columns.size();
  if (cell(first_row, col) != Cell::Present) return std::nullopt;
  Value v;
  if (!read(first_row, col, v) || !v.is_string()) return std::nullopt;
  return std::move(v.as_string());
}

template <class Source>
Result<Restored> Restorer<Source>::run() {
  // Cells are addressed by 32-bit row and column numbers.
  if (src_.size() >= UINT32_MAX || shape_.columns.size() >= UINT32_MAX)
    return Err("restore_rows: 行数或列数超过 " + std::to_string(UINT32_MAX - 1));
  if (Status s = index_keys(); !s) return s.err();
  size_t id_col = kNone;
  for (size_t i = 0; i < shape_.columns.size() && id_col == kNone; ++i) {
    const RowCol& c = shape_.columns[i];
    if (!c.is_array && c.path.size() == 1 && c.path[0] == "_id") id_col = i;
  }
  Buckets groups;
  group_rows(id_col, groups);
  if (failed_) return Err("restore_rows: 无法读取行中的值");
  std::vector<uint32_t> all_cols(shape_.columns.size());
  for (uint32_t i = 0; i < all_cols.size(); ++i) all_cols[i] = i;
  out_.documents.reserve(groups.count());
  for (size_t g = 0; g < groups.count(); ++g) {
    std::span<const uint32_t> rows = groups.group(g);
    std::optional<std::string> presence = presence_of(rows[0]);
    out_.documents.push_back(build_object(all_cols, rows, 0, presence ? &*presence : nullptr));
    if (failed_) return Err("restore_rows: 无法读取行中的值");
  }
  return std::move(out_);
}

template <class Source>
RNode Restorer<Source>::build_object(std::span<const uint32_t> cols, std::span<const uint32_t> rows, size_t depth,
                                     const std::string* presence) {
  RNode doc = new_object(cols.size());
  std::vector<uint32_t>& relations = scratch(depth).relations;
  relations.clear();
  for (uint32_t col : cols) {
    const RowCol& c = shape_.columns[col];
    if (c.path.size() == depth + 1 || (c.path.size() > depth + 1 && !c.is_array)) {
      merge_path(doc, cols.size(), col, depth, rows[0], presence);
      if (failed_) return doc;
    } else if (c.is_array && c.path.size() > depth + 1 &&
               std::find(relations.begin(), relations.end(), key_at(col, depth)) == relations.end()) {
      relations.push_back(key_at(col, depth));
    }
  }
  // relation_value reuses this depth's other buffers, never the names.
  for (size_t i = 0; i < relations.size(); ++i) {
    RNode value = relation_value(cols, relations[i], rows, depth);
    if (failed_) return doc;
    set_member(doc, relations[i], value);
  }
  return doc;
}

template <class Source>
RNode Restorer<Source>::relation_value(std::span<const uint32_t> cols, uint32_t name,
                                       std::span<const uint32_t> rows, size_t depth) {
  Scratch& s = scratch(depth);
  std::vector<uint32_t>& members = s.members;
  members.clear();
  size_t ident = kNone;
  for (uint32_t col : cols) {
    const RowCol& c = shape_.columns[col];
    if (!c.is_array || c.path.size() <= depth + 1 || key_at(col, depth) != name) continue;
    members.push_back(col);
    if (ident == kNone && c.path.size() == depth + 2 && key_at(col, depth + 1) == id_key_) ident = col;
  }
  bool one = shape_.columns[members[0]].one_at(depth);

  s.keys.clear();
  s.assigned.clear();
  for (uint32_t r : rows) {
    // A LEFT JOIN without a match leaves every column of the relation null.
    bool matched = std::any_of(members.begin(), members.end(),
                               [&](uint32_t col) { return cell(r, col) == Cell::Present; });
    if (!matched) continue;
    if (ident != kNone && cell(r, ident) == Cell::Present) {
      s.key.clear();
      if (!read_key(r, ident, s.key)) return {};
      s.assigned.emplace_back(r, s.keys.add(s.key));
    } else {
      // A row without identity starts a sub-document of its own.
      s.assigned.emplace_back(r, s.keys.fresh());
    }
  }
  s.buckets.fill_from(s.assigned, s.keys.count());
  const Buckets& subs = s.buckets;
  bool flat = std::all_of(members.begin(), members.end(),
                          [&](uint32_t col) { return shape_.columns[col].path.size() == depth + 2; });
  if (flat) sort_by_key(members, depth + 1);
  // Deeper levels use their own buffers, so members and subs stay intact.
  auto sub_document = [&](size_t g) {
    return flat ? flat_object(members, subs.group(g)[0], depth + 1)
                : build_object(members, subs.group(g), depth + 1, nullptr);
  };
  if (one) return subs.count() == 0 ? RNode() : sub_document(0);
  RNode items;
  items.kind = RNode::Kind::Array;
  items.items = static_cast<RNode*>(out_.arena->allocate(subs.count() * sizeof(RNode), alignof(RNode)));
  for (size_t g = 0; g < subs.count() && !failed_; ++g) {
    new (items.items + g) RNode(sub_document(g));
    ++items.size;
  }
  return items;
}

// The columns in the order of their member names at `depth`; of equal names
// the later column stays later, so it still wins as in build_object.
template <class Source>
void Restorer<Source>::sort_by_key(std::vector<uint32_t>& cols, size_t depth) const {
  auto less = [&](uint32_t a, uint32_t b) { return key_at(a, depth) < key_at(b, depth); };
  if (cols.size() > 16) return std::stable_sort(cols.begin(), cols.end(), less);
  // Few columns, the usual related document: an insertion sort is stable
  // too, and takes no buffer, which would cost more than the sort.
  for (size_t i = 1; i < cols.size(); ++i) {
    uint32_t col = cols[i];
    size_t j = i;
    for (; j > 0 && less(col, cols[j - 1]); --j) cols[j] = cols[j - 1];
    cols[j] = col;
  }
}

// build_object for a sub-document whose columns all end at this depth (the
// usual related document): no nesting to look for, members in key order.
template <class Source>
RNode Restorer<Source>::flat_object(std::span<const uint32_t> sorted_cols, uint32_t row, size_t depth) {
  RNode doc = new_object(sorted_cols.size());
  for (uint32_t col : sorted_cols) {
    RNode leaf = leaf_of(col, row);
    if (failed_) return doc;
    // Nested levels have no presence list: a null is written only when asked.
    if (leaf.kind == RNode::Kind::Null && !shape_.columns[col].always) continue;
    uint32_t key = key_at(col, depth);
    if (doc.size > 0 && doc.members[doc.size - 1].key == key) doc.members[doc.size - 1].node = leaf;
    else new (doc.members + doc.size++) RMember{key, leaf};
  }
  return doc;
}

// The value one column gives one row, after the boolean step.
template <class Source>
RNode Restorer<Source>::leaf_of(size_t col, uint32_t row) {
  RNode leaf;
  if (cell(row, col) != Cell::Present) return leaf;
  leaf.kind = RNode::Kind::Cell;
  leaf.cell = CellRef{row, static_cast<uint32_t>(col)};
  if (shape_.columns[col].boolean) {
    Value v;
    if (!read(row, col, v)) return leaf;
    if (std::optional<bool> b = numeric_bool(v)) {
      leaf.kind = RNode::Kind::Bool;
      leaf.flag = *b;
    }
  }
  return leaf;
}

template <class Source>
void Restorer<Source>::merge_path(RNode& doc, size_t capacity, size_t col, size_t depth, uint32_t row,
                                  const std::string* presence) {
  const RowCol& c = shape_.columns[col];
  const std::vector<uint32_t>& ids = key_ids_[col];
  RNode leaf = leaf_of(col, row);
  if (failed_) return;
  RNode* target = &doc;
  size_t last = c.path.size() - 1;
  for (size_t level = depth; level < last; ++level) {
    RNode* node = find_member(*target, ids[level]);
    if (!node) node = &set_member(*target, ids[level], new_object(capacity));
    if (node->kind == RNode::Kind::Object) {
      target = node;
      continue;
    }
    // An object value a column already wrote: the deeper value goes inside it.
    if (node->kind == RNode::Kind::Cell) {
      Value v;
      if (!read(node->cell.row, node->cell.col, v)) return;
      *node = new_value(std::move(v));
    }
    if (node->kind == RNode::Kind::Value && node->value->is_object())
      merge_into_value(*node->value, c, level + 1, leaf, presence);
    return;
  }
  if (leaf.kind == RNode::Kind::Null && !c.always && !lists(presence, c.path[last])) return;
  set_member(*target, ids[last], leaf);
}

template <class Source>
void Restorer<Source>::merge_into_value(Value& target, const RowCol& c, size_t level, const RNode& leaf,
                                        const std::string* presence) {
  Object* at = &target.as_object();
  size_t last = c.path.size() - 1;
  for (; level < last; ++level) {
    Value* next = at->find(c.path[level]);
    if (!next) next = &at->set(c.path[level], Value(Object{}));
    if (!next->is_object()) return;
    at = &next->as_object();
  }
  if (leaf.kind == RNode::Kind::Null && !c.always && !lists(presence, c.path[last])) return;
  Value v;
  if (leaf.kind == RNode::Kind::Bool) v = leaf.flag;
  else if (leaf.kind == RNode::Kind::Cell && !read(leaf.cell.row, leaf.cell.col, v)) return;
  at->set(c.path[last], std::move(v));
}

}  // namespace row_detail

// The documents of `src`, whose type provides cell, value and key_text as
// RowSource does.
template <class Source>
Result<Restored> restore_from(const RowShape& shape, const Source& src, std::pmr::memory_resource* upstream) {
  return row_detail::Restorer<Source>(shape, src, upstream).run();
}

}  // namespace quorvel
