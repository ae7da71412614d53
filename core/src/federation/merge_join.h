// The federated join behind merge_federated(), written once for any document
// source: the core runs it over its own values, and a host can run it over
// its own objects, so that documents the join merely copies are never
// converted on the way in.
//
// The result refers back to the source documents instead of copying them:
// a node is either a copy of a source value, or a source object with the
// members the join set on it (attached documents, and opened members on the
// way to deeper parents).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bson.h"
#include "depth_limit.h"
#include "dialect/row_groups.h"
#include "error.h"
#include "json/value.h"

namespace quorvel {

// Largest result one fetch unit may hand to the in-memory join.
inline constexpr size_t kFederatedUnitRowLimit = 100000;

namespace merge_detail {

struct Edge {
  std::string rel;
  bool to_one = false;
  std::string local;
  std::string foreign;
  std::string key;
  std::vector<std::string> path;
  size_t unit = 0;
};

template <class Doc>
struct Node;

template <class Doc>
struct NodeMember {
  std::string_view name;  // a view into the plan's edges, which outlive the result
  Node<Doc> node;
};

template <class Doc>
struct Node {
  enum class Kind : uint8_t { Null, Copy, Object, Array };

  static constexpr uint32_t kNoUnit = UINT32_MAX;

  Kind kind = Kind::Null;
  uint32_t unit = kNoUnit;  // Copy of a unit's row: which unit and row
  uint32_t row = 0;
  Doc doc{};                            // Copy: the value; Object: the source object
  std::vector<NodeMember<Doc>> members;  // Object: members set by the join, ascending by name
  std::vector<Node> items;               // Array

  static Node copy_of(Doc d) {
    Node n;
    n.kind = Kind::Copy;
    n.doc = d;
    return n;
  }
  static Node row_of(size_t unit, uint32_t row, Doc d) {
    Node n = copy_of(d);
    n.unit = static_cast<uint32_t>(unit);
    n.row = row;
    return n;
  }
};

template <class Doc>
struct Merged {
  std::vector<Edge> edges;  // holds the member names the nodes refer to
  std::vector<Node<Doc>> documents;
};

std::string string_member(const Value& v, std::string_view name);
Result<Edge> read_edge(const Value& e);
Status check_unit(size_t index, bool is_array, size_t size);

// Docs provides, for its document handle type Doc and prepared member name
// type Name:
//   size_t unit_count(); bool unit_is_array(size_t); size_t unit_size(size_t);
//   Doc row(size_t unit, size_t i);
//   bool is_object(Doc); bool is_array(Doc); size_t array_size(Doc); Doc item(Doc, size_t);
//   Name name(const std::string&); bool member(Doc, const Name&, Doc& out);
//   void key(Doc, std::string& out) (id_key of the value); Value to_value(Doc).
template <class Docs>
class Merger {
 public:
  using Doc = typename Docs::Doc;
  using Name = typename Docs::Name;
  using MNode = Node<Doc>;

  explicit Merger(Docs& docs) : docs_(docs) {}

  Result<Merged<Doc>> run(const Value& plan);

  // The node as a core value, with every member the join set.
  Value to_value(const MNode& n) const {
    switch (n.kind) {
      case MNode::Kind::Null: return Value();
      case MNode::Kind::Copy: return docs_.to_value(n.doc);
      case MNode::Kind::Array: {
        Array out;
        out.reserve(n.items.size());
        for (const MNode& i : n.items) out.push_back(to_value(i));
        return Value(std::move(out));
      }
      case MNode::Kind::Object: break;
    }
    Value out = docs_.to_value(n.doc);
    for (const NodeMember<Doc>& m : n.members) out.as_object().set(std::string(m.name), to_value(m.node));
    return out;
  }

 private:
  struct Names {
    Name local, foreign;
    std::vector<Name> path;
  };

  // Documents of one unit grouped by join key, in result order, as chains of
  // positions (no allocation per key).
  class KeyIndex {
   public:
    static constexpr uint32_t kEnd = UINT32_MAX;

    KeyIndex(Docs& docs, size_t unit, const Name& member) : next_(docs.unit_size(unit), kEnd) {
      std::string key;
      for (uint32_t i = 0; i < next_.size(); ++i) {
        key.clear();
        Doc row = docs.row(unit, i);
        Doc m;
        if (docs.is_object(row) && docs.member(row, member, m)) docs.key(m, key);
        else key = "null";
        uint32_t g = groups_.add(key);
        if (g == chains_.size()) chains_.push_back(Chain{i, i, 0});
        else next_[chains_[g].tail] = i;
        chains_[g].tail = i;
        ++chains_[g].size;
      }
    }
    // The first position and the count of the documents keyed `key`.
    std::pair<uint32_t, uint32_t> find(const std::string& key) const {
      uint32_t g = groups_.lookup(key);
      return g == chains_.size() ? std::pair(kEnd, 0u) : std::pair(chains_[g].head, chains_[g].size);
    }
    uint32_t next(uint32_t i) const { return next_[i]; }

   private:
    struct Chain {
      uint32_t head, tail, size;
    };
    row_detail::KeyGroups groups_;
    std::vector<Chain> chains_;
    std::vector<uint32_t> next_;
  };

  // A copied source container becomes an object or array node, so that the
  // join can reach into it.
  void open(MNode& n) {
    if (n.kind != MNode::Kind::Copy) return;
    if (docs_.is_object(n.doc)) {
      n.kind = MNode::Kind::Object;
    } else if (docs_.is_array(n.doc)) {
      n.kind = MNode::Kind::Array;
      size_t size = docs_.array_size(n.doc);
      n.items.reserve(size);
      for (size_t i = 0; i < size; ++i) n.items.push_back(MNode::copy_of(docs_.item(n.doc, i)));
    }
  }

  static auto find_member(MNode& obj, std::string_view name) {
    return std::lower_bound(obj.members.begin(), obj.members.end(), name,
                            [](const NodeMember<Doc>& m, std::string_view k) { return m.name < k; });
  }

  // The member of an object node, opened from its source on first use; null
  // when `obj` is no object or has no such member. Opening inserts into
  // `obj`'s members only, so it moves no node a caller holds: a collected
  // parent is never inside a node still being walked.
  MNode* member(MNode& obj, std::string_view name, const Name& prepared) {
    open(obj);
    if (obj.kind != MNode::Kind::Object) return nullptr;
    auto it = find_member(obj, name);
    if (it != obj.members.end() && it->name == name) return &it->node;
    Doc m;
    if (!docs_.member(obj.doc, prepared, m)) return nullptr;
    return &obj.members.insert(it, NodeMember<Doc>{name, MNode::copy_of(m)})->node;
  }

  // A document without the member, or one that is no object, is keyed as null.
  void join_key(MNode& obj, std::string_view name, const Name& prepared, std::string& out) {
    out.clear();
    auto it = find_member(obj, name);
    const MNode* set = it != obj.members.end() && it->name == name ? &it->node : nullptr;
    if (!set) {
      Doc m;
      if (docs_.member(obj.doc, prepared, m)) docs_.key(m, out);
      else out = "null";
    } else if (set->kind == MNode::Kind::Copy) {
      docs_.key(set->doc, out);
    } else {
      out = id_key(to_value(*set));
    }
  }

  // `level` is the nesting of `v` below the output list (a root document is 1).
  void collect(MNode& v, const Edge& e, const Names& names, size_t step, int level, std::vector<MNode*>& out) {
    // Attached documents nest the output deeper than any input, so parents are
    // sought only where the host could still receive the result: this bounds
    // the output's depth, and with it every walk and its destruction.
    if (level > kMaxDepth) return;
    if (step == e.path.size()) {
      out.push_back(&v);
      return;
    }
    MNode* m = member(v, e.path[step], names.path[step]);
    if (!m) return;
    open(*m);
    if (m->kind == MNode::Kind::Array) {
      for (MNode& i : m->items) collect(i, e, names, step + 1, level + 2, out);
    } else {
      collect(*m, e, names, step + 1, level + 1, out);
    }
  }

  void attach(const Edge& e, const Names& names, std::vector<MNode>& output) {
    KeyIndex index(docs_, e.unit, names.foreign);
    std::vector<MNode*> parents;
    parents.reserve(output.size());
    for (MNode& doc : output) collect(doc, e, names, 0, 1, parents);
    std::string key;
    for (MNode* parent : parents) {
      open(*parent);
      if (parent->kind != MNode::Kind::Object) continue;
      join_key(*parent, e.local, names.local, key);
      auto [first, count] = index.find(key);
      MNode attached;
      if (e.to_one) {
        if (first != KeyIndex::kEnd) attached = MNode::row_of(e.unit, first, docs_.row(e.unit, first));
      } else {
        attached.kind = MNode::Kind::Array;
        attached.items.reserve(count);
        for (uint32_t i = first; i != KeyIndex::kEnd; i = index.next(i))
          attached.items.push_back(MNode::row_of(e.unit, i, docs_.row(e.unit, i)));
      }
      auto it = find_member(*parent, e.rel);
      if (it != parent->members.end() && it->name == e.rel) it->node = std::move(attached);
      else parent->members.insert(it, NodeMember<Doc>{e.rel, std::move(attached)});
    }
  }

  Docs& docs_;
};

template <class Docs>
Result<Merged<typename Docs::Doc>> Merger<Docs>::run(const Value& plan) {
  const Value* sources_value = plan.get("sources");
  if (!sources_value || !sources_value->is_array()) return Err("联邦计划缺少 sources");
  const Array& sources = sources_value->as_array();
  size_t units = docs_.unit_count();
  if (units != sources.size())
    return Err("联邦结果数与取数单元数不一致: results = " + std::to_string(units) +
               ", sources = " + std::to_string(sources.size()));
  for (size_t i = 0; i < units; ++i) {
    bool is_array = docs_.unit_is_array(i);
    if (Status s = check_unit(i, is_array, is_array ? docs_.unit_size(i) : 0); !s) return s.err();
  }

  std::unordered_map<std::string, size_t> unit_by_key;
  for (size_t i = 0; i < sources.size(); ++i)
    if (const Value* k = sources[i].get("key"); k && k->is_string()) unit_by_key[k->as_string()] = i;

  Merged<Doc> out;
  const Value* edges_value = plan.get("join") ? plan.get("join")->get("edges") : nullptr;
  if (edges_value && edges_value->is_array()) {
    for (const Value& e : edges_value->as_array()) {
      Result<Edge> edge = read_edge(e);
      if (!edge) return edge.err();
      auto unit = unit_by_key.find(edge->key);
      if (unit == unit_by_key.end()) return Err("join 边引用了不存在的取数单元 key: " + edge->key);
      edge->unit = unit->second;
      out.edges.push_back(std::move(edge).value());
    }
  }

  if (units > 0) {
    size_t roots = docs_.unit_size(0);
    out.documents.reserve(roots);
    for (size_t i = 0; i < roots; ++i) out.documents.push_back(MNode::copy_of(docs_.row(0, i)));
  }
  for (const Edge& e : out.edges) {
    Names names{docs_.name(e.local), docs_.name(e.foreign), {}};
    names.path.reserve(e.path.size());
    for (const std::string& p : e.path) names.path.push_back(docs_.name(p));
    attach(e, names, out.documents);
  }
  return out;
}

}  // namespace merge_detail

// The join over a host's own documents; see Merger for what Docs provides.
template <class Docs>
Result<merge_detail::Merged<typename Docs::Doc>> merge_from(const Value& plan, Docs& docs) {
  return merge_detail::Merger<Docs>(docs).run(plan);
}

}  // namespace quorvel
