#include "dialect/row.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "depth_limit.h"
#include "json/write.h"

namespace quorvel {

namespace {

constexpr size_t kNone = std::numeric_limits<size_t>::max();
using Cell = RowSource::Cell;

// 1 and 0, as numbers or as decimal text, are the stored forms of booleans.
std::optional<bool> numeric_bool(const Value& v) {
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

// Rows gathered into groups: the rows of group g are rows[offsets[g]..offsets[g+1]),
// in their original order.
struct Buckets {
  std::vector<uint32_t> rows;
  std::vector<uint32_t> offsets;

  size_t count() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::span<const uint32_t> group(size_t g) const {
    return std::span<const uint32_t>(rows).subspan(offsets[g], offsets[g + 1] - offsets[g]);
  }
};

// Counting sort of (row, group) pairs by group; stable, so rows keep their order.
Buckets bucket(const std::vector<std::pair<uint32_t, uint32_t>>& assigned, size_t groups) {
  Buckets b;
  b.offsets.assign(groups + 1, 0);
  for (const auto& a : assigned) ++b.offsets[a.second + 1];
  for (size_t g = 0; g < groups; ++g) b.offsets[g + 1] += b.offsets[g];
  b.rows.resize(assigned.size());
  std::vector<uint32_t> fill(b.offsets.begin(), b.offsets.end() - 1);
  for (const auto& a : assigned) b.rows[fill[a.second]++] = a.first;
  return b;
}

// Groups keyed by text, numbered by first appearance.
class KeyGroups {
 public:
  uint32_t add(std::string&& key) {
    if (count_ > 0 && key == last_key_) return last_group_;
    auto [it, inserted] = index_.try_emplace(key, count_);
    if (inserted) ++count_;
    last_key_ = std::move(key);
    last_group_ = it->second;
    return last_group_;
  }
  uint32_t fresh() { return count_++; }
  uint32_t count() const { return count_; }

 private:
  std::unordered_map<std::string, uint32_t> index_;
  std::string last_key_;
  uint32_t last_group_ = 0;
  uint32_t count_ = 0;
};

RNode* find_member(RMembers& members, uint32_t key) {
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const auto& m, uint32_t k) { return m.first < k; });
  return it != members.end() && it->first == key ? &it->second : nullptr;
}

RNode& set_member(RMembers& members, uint32_t key, RNode&& node) {
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const auto& m, uint32_t k) { return m.first < k; });
  if (it != members.end() && it->first == key) {
    it->second = std::move(node);
    return it->second;
  }
  return members.emplace(it, key, std::move(node))->second;
}

bool lists(const std::string* presence, std::string_view name) {
  if (!presence) return false;
  std::string needle;
  needle.reserve(name.size() + 2);
  ((needle += ',') += name) += ',';
  return presence->find(needle) != std::string::npos;
}

class Restorer {
 public:
  Restorer(const RowShape& shape, const RowSource& src) : shape_(shape), src_(src) {}

  Result<Restored> run();

 private:
  // The value to write for one column of one row, after the boolean step.
  struct Leaf {
    enum { Null, FromCell, Made } kind = Null;
    CellRef ref{};
    Value made;
  };

  Cell cell(uint32_t row, size_t col) const { return src_.is_object(row) ? src_.cell(row, col) : Cell::Missing; }
  bool read(uint32_t row, size_t col, Value& out) {
    if (src_.value(row, col, out)) return true;
    failed_ = true;
    return false;
  }

  Status index_keys();
  Buckets group_rows(size_t id_col);
  std::optional<std::string> presence_of(uint32_t first_row);
  RMembers build_object(std::span<const uint32_t> cols, std::span<const uint32_t> rows, size_t depth,
                        const std::string* presence);
  void merge_path(RMembers& doc, size_t col, size_t depth, uint32_t row, const std::string* presence);
  void merge_into_value(Value& target, const RowCol& c, size_t level, Leaf&& leaf, const std::string* presence);
  RNode relation_value(std::span<const uint32_t> cols, std::string_view name, std::span<const uint32_t> rows,
                       size_t depth);
  Value leaf_value(Leaf&& leaf);

  const RowShape& shape_;
  const RowSource& src_;
  std::vector<std::vector<uint32_t>> key_ids_;
  Restored out_;
  bool failed_ = false;
};

Status Restorer::index_keys() {
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
    for (const std::string& p : c.path) {
      auto it = std::lower_bound(out_.keys.begin(), out_.keys.end(), std::string_view(p));
      ids.push_back(static_cast<uint32_t>(it - out_.keys.begin()));
    }
  }
  return ok();
}

// Rows without an identity are keyed by position, in a key space of their
// own: a row's position must never pair it with a document whose identity
// happens to equal that number.
Buckets Restorer::group_rows(size_t id_col) {
  KeyGroups groups;
  std::vector<std::pair<uint32_t, uint32_t>> assigned;
  assigned.reserve(src_.size());
  std::string key;
  Value id;
  for (uint32_t r = 0; r < src_.size(); ++r) {
    Cell state = id_col == kNone ? Cell::Missing : cell(r, id_col);
    if (state == Cell::Missing) {
      assigned.emplace_back(r, groups.fresh());
      continue;
    }
    key.assign(1, 'v');
    if (state == Cell::Null) {
      key += "null";
    } else {
      if (!read(r, id_col, id)) return {};
      write_json(id, key);
    }
    assigned.emplace_back(r, groups.add(std::move(key)));
  }
  return bucket(assigned, groups.count());
}

std::optional<std::string> Restorer::presence_of(uint32_t first_row) {
  if (!shape_.present) return std::nullopt;
  size_t col = shape_.columns.size();
  if (cell(first_row, col) != Cell::Present) return std::nullopt;
  Value v;
  if (!read(first_row, col, v) || !v.is_string()) return std::nullopt;
  return std::move(v.as_string());
}

Result<Restored> Restorer::run() {
  if (Status s = index_keys(); !s) return s.err();
  size_t id_col = kNone;
  for (size_t i = 0; i < shape_.columns.size() && id_col == kNone; ++i) {
    const RowCol& c = shape_.columns[i];
    if (!c.is_array && c.path.size() == 1 && c.path[0] == "_id") id_col = i;
  }
  Buckets groups = group_rows(id_col);
  if (failed_) return Err("restore_rows: 无法读取行中的值");
  std::vector<uint32_t> all_cols(shape_.columns.size());
  for (uint32_t i = 0; i < all_cols.size(); ++i) all_cols[i] = i;
  out_.documents.reserve(groups.count());
  for (size_t g = 0; g < groups.count(); ++g) {
    std::span<const uint32_t> rows = groups.group(g);
    std::optional<std::string> presence = presence_of(rows[0]);
    RMembers doc = build_object(all_cols, rows, 0, presence ? &*presence : nullptr);
    if (failed_) return Err("restore_rows: 无法读取行中的值");
    out_.documents.push_back(RNode{std::move(doc)});
  }
  return std::move(out_);
}

RMembers Restorer::build_object(std::span<const uint32_t> cols, std::span<const uint32_t> rows, size_t depth,
                                const std::string* presence) {
  RMembers doc;
  doc.reserve(cols.size());
  std::vector<std::string_view> relations;
  for (uint32_t col : cols) {
    const RowCol& c = shape_.columns[col];
    if (c.path.size() == depth + 1 || (c.path.size() > depth + 1 && !c.is_array)) {
      merge_path(doc, col, depth, rows[0], presence);
      if (failed_) return doc;
    } else if (c.is_array && c.path.size() > depth + 1 &&
               std::find(relations.begin(), relations.end(), c.path[depth]) == relations.end()) {
      relations.push_back(c.path[depth]);
    }
  }
  for (std::string_view name : relations) {
    RNode value = relation_value(cols, name, rows, depth);
    if (failed_) return doc;
    auto it = std::lower_bound(out_.keys.begin(), out_.keys.end(), name);
    set_member(doc, static_cast<uint32_t>(it - out_.keys.begin()), std::move(value));
  }
  return doc;
}

RNode Restorer::relation_value(std::span<const uint32_t> cols, std::string_view name,
                               std::span<const uint32_t> rows, size_t depth) {
  std::vector<uint32_t> members;
  size_t ident = kNone;
  for (uint32_t col : cols) {
    const RowCol& c = shape_.columns[col];
    if (!c.is_array || c.path.size() <= depth + 1 || c.path[depth] != name) continue;
    members.push_back(col);
    if (ident == kNone && c.path.size() == depth + 2 && c.path[depth + 1] == "_id") ident = col;
  }
  bool one = shape_.columns[members[0]].one_at(depth);

  KeyGroups keys;
  std::vector<std::pair<uint32_t, uint32_t>> assigned;
  assigned.reserve(rows.size());
  std::string key;
  Value id;
  for (uint32_t r : rows) {
    // A LEFT JOIN without a match leaves every column of the relation null.
    bool matched = std::any_of(members.begin(), members.end(),
                               [&](uint32_t col) { return cell(r, col) == Cell::Present; });
    if (!matched) continue;
    if (ident != kNone && cell(r, ident) == Cell::Present) {
      if (!read(r, ident, id)) return {};
      key.clear();
      write_json(id, key);
      assigned.emplace_back(r, keys.add(std::move(key)));
    } else {
      // JSON text never starts with NUL, so a synthetic key meets no identity.
      assigned.emplace_back(r, keys.fresh());
    }
  }
  Buckets subs = bucket(assigned, keys.count());
  if (one) {
    if (subs.count() == 0) return RNode{Value()};
    return RNode{build_object(members, subs.group(0), depth + 1, nullptr)};
  }
  RItems items;
  items.reserve(subs.count());
  for (size_t g = 0; g < subs.count() && !failed_; ++g)
    items.push_back(RNode{build_object(members, subs.group(g), depth + 1, nullptr)});
  return RNode{std::move(items)};
}

void Restorer::merge_path(RMembers& doc, size_t col, size_t depth, uint32_t row, const std::string* presence) {
  const RowCol& c = shape_.columns[col];
  const std::vector<uint32_t>& ids = key_ids_[col];
  Leaf leaf;
  Cell state = cell(row, col);
  if (state == Cell::Present) {
    leaf.kind = Leaf::FromCell;
    leaf.ref = CellRef{row, static_cast<uint32_t>(col)};
    if (c.boolean) {
      Value v;
      if (!read(row, col, v)) return;
      if (std::optional<bool> b = numeric_bool(v)) {
        leaf.kind = Leaf::Made;
        leaf.made = *b;
      }
    }
  }
  RMembers* target = &doc;
  size_t last = c.path.size() - 1;
  for (size_t level = depth; level < last; ++level) {
    RNode* node = find_member(*target, ids[level]);
    if (!node) node = &set_member(*target, ids[level], RNode{RMembers{}});
    if (RMembers* members = std::get_if<RMembers>(&node->data)) {
      target = members;
      continue;
    }
    // An object value a column already wrote: the deeper value goes inside it.
    if (CellRef* ref = std::get_if<CellRef>(&node->data)) {
      Value v;
      if (!read(ref->row, ref->col, v)) return;
      node->data = std::move(v);
    }
    if (Value* v = std::get_if<Value>(&node->data); v && v->is_object())
      merge_into_value(*v, c, level + 1, std::move(leaf), presence);
    return;
  }
  if (leaf.kind == Leaf::Null && !c.always && !lists(presence, c.path[last])) return;
  RNode value;
  if (leaf.kind == Leaf::FromCell) value.data = leaf.ref;
  else value.data = std::move(leaf.made);
  set_member(*target, ids[last], std::move(value));
}

void Restorer::merge_into_value(Value& target, const RowCol& c, size_t level, Leaf&& leaf,
                                const std::string* presence) {
  Object* at = &target.as_object();
  size_t last = c.path.size() - 1;
  for (; level < last; ++level) {
    Value* next = at->find(c.path[level]);
    if (!next) next = &at->set(c.path[level], Value(Object{}));
    if (!next->is_object()) return;
    at = &next->as_object();
  }
  if (leaf.kind == Leaf::Null && !c.always && !lists(presence, c.path[last])) return;
  at->set(c.path[last], leaf_value(std::move(leaf)));
}

Value Restorer::leaf_value(Leaf&& leaf) {
  if (leaf.kind == Leaf::Made) return std::move(leaf.made);
  Value v;
  if (leaf.kind == Leaf::FromCell) read(leaf.ref.row, leaf.ref.col, v);
  return v;
}

Value to_value(RNode&& node, const std::vector<std::string_view>& keys, const RowSource& src, bool& failed) {
  if (Value* v = std::get_if<Value>(&node.data)) return std::move(*v);
  if (CellRef* ref = std::get_if<CellRef>(&node.data)) {
    Value v;
    if (!src.value(ref->row, ref->col, v)) failed = true;
    return v;
  }
  if (RMembers* members = std::get_if<RMembers>(&node.data)) {
    Object out;
    out.reserve(members->size());
    for (auto& [key, child] : *members) out.push_back_sorted(std::string(keys[key]), to_value(std::move(child), keys, src, failed));
    return out;
  }
  RItems& items = std::get<RItems>(node.data);
  Array out;
  out.reserve(items.size());
  for (RNode& child : items) out.push_back(to_value(std::move(child), keys, src, failed));
  return out;
}

}  // namespace

Result<Restored> restore(const RowShape& shape, const RowSource& rows) { return Restorer(shape, rows).run(); }

Result<Value> restored_to_value(Restored&& restored, const RowSource& rows) {
  bool failed = false;
  Array docs;
  docs.reserve(restored.documents.size());
  for (RNode& doc : restored.documents) docs.push_back(to_value(std::move(doc), restored.keys, rows, failed));
  if (failed) return Err("restore_rows: 无法读取行中的值");
  return Value(std::move(docs));
}

ValueRows::ValueRows(const RowShape& shape, const Array& rows) : rows_(rows) {
  aliases_.reserve(shape.columns.size() + 1);
  for (const RowCol& c : shape.columns) aliases_.push_back(c.alias);
  if (shape.present) aliases_.push_back(*shape.present);
}

const Value* ValueRows::find(size_t row, size_t col) const { return rows_[row].get(aliases_[col]); }

RowSource::Cell ValueRows::cell(size_t row, size_t col) const {
  const Value* v = find(row, col);
  if (!v) return Cell::Missing;
  return v->is_null() ? Cell::Null : Cell::Present;
}

bool ValueRows::value(size_t row, size_t col, Value& out) const {
  const Value* v = find(row, col);
  out = v ? *v : Value();
  return true;
}

Result<Value> restore_rows(const RowShape& shape, const Array& rows) {
  ValueRows source(shape, rows);
  Result<Restored> restored = restore(shape, source);
  if (!restored) return restored.err();
  return restored_to_value(std::move(restored).value(), source);
}

Result<Value> restore_rows_json(const Value& shape, const Value& rows) {
  Result<RowShape> parsed = RowShape::from_value(shape);
  if (!parsed) return parsed.err();
  static const Array kNoRows;
  const Array* list = rows.if_array();
  return restore_rows(*parsed, list ? *list : kNoRows);
}

}  // namespace quorvel
