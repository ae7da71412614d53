#include "federation/merge.h"

#include <cstdint>
#include <string>
#include <unordered_map>

#include "bson.h"
#include "depth_limit.h"

namespace quorvel {

namespace {

struct Edge {
  std::string rel;
  bool to_one = false;
  std::string local;
  std::string foreign;
  std::string key;
  std::vector<std::string> path;
};

std::string string_member(const Value& v, std::string_view name) {
  const Value* m = v.get(name);
  return m && m->is_string() ? m->as_string() : std::string();
}

Result<Edge> read_edge(const Value& e) {
  Edge edge;
  edge.rel = string_member(e, "rel");
  std::string cardinality = string_member(e, "cardinality");
  if (edge.rel.empty() || cardinality.empty()) return Err("非法 join 边：缺少 rel / cardinality");
  edge.to_one = cardinality == "one";
  edge.local = string_member(e, "local");
  edge.foreign = string_member(e, "foreign");
  edge.key = string_member(e, "key");
  if (const Value* path = e.get("path"); path && path->is_array()) {
    for (const Value& p : path->as_array())
      edge.path.push_back(p.is_string() ? p.as_string() : std::string());
  }
  return edge;
}

// A document without the member, or one that is no object, is keyed as null.
std::string join_key(const Value& doc, std::string_view member) {
  static const Value kNull;
  const Value* v = doc.get(member);
  return id_key(v ? *v : kNull);
}

// `level` is the nesting of `v` below the output list (a root document is 1).
void collect(Value& v, const std::vector<std::string>& path, size_t step, int level, std::vector<Value*>& out) {
  // Attached documents nest the output deeper than any input, so parents are
  // sought only where the host could still receive the result: this bounds
  // the output's depth, and with it every walk and its destruction.
  if (level > kMaxDepth) return;
  if (step == path.size()) {
    out.push_back(&v);
    return;
  }
  Value* member = v.get(path[step]);
  if (!member) return;
  if (Array* a = member->if_array()) {
    for (Value& e : *a) collect(e, path, step + 1, level + 2, out);
  } else {
    collect(*member, path, step + 1, level + 1, out);
  }
}

Status check_results(const Array& results, size_t unit_count) {
  if (results.size() != unit_count)
    return Err("联邦结果数与取数单元数不一致: results = " + std::to_string(results.size()) +
               ", sources = " + std::to_string(unit_count));
  for (size_t i = 0; i < results.size(); ++i) {
    const Array* rows = results[i].if_array();
    if (!rows) return Err("第 " + std::to_string(i) + " 个取数单元的结果必须是数组");
    if (rows->size() > kFederatedUnitRowLimit)
      return Err("第 " + std::to_string(i) + " 个取数单元返回 " + std::to_string(rows->size()) +
                 " 行，超过联邦内存 join 上限 " + std::to_string(kFederatedUnitRowLimit) +
                 "（拒绝静默全表拉取）");
  }
  return ok();
}

// Documents of one unit grouped by join key, in result order, as chains of
// positions (no allocation per key).
class KeyIndex {
 public:
  static constexpr uint32_t kEnd = UINT32_MAX;
  struct Group {
    uint32_t head = kEnd, tail = kEnd;
    uint32_t pending = 0;  // parents still to receive this group
  };

  KeyIndex(const Array& rows, const std::string& member) : next_(rows.size(), kEnd) {
    groups_.reserve(rows.size());
    for (uint32_t i = 0; i < rows.size(); ++i) {
      Group& g = groups_[join_key(rows[i], member)];
      if (g.head == kEnd) g.head = i;
      else next_[g.tail] = i;
      g.tail = i;
    }
  }
  Group* find(const std::string& key) {
    auto it = groups_.find(key);
    return it == groups_.end() ? nullptr : &it->second;
  }
  uint32_t next(uint32_t i) const { return next_[i]; }

 private:
  std::unordered_map<std::string, Group> groups_;
  std::vector<uint32_t> next_;
};

// Copies the document, or moves it out when this is its last use.
Value take(Array& rows, uint32_t i, bool last_use) { return last_use ? std::move(rows[i]) : rows[i]; }

// `consumable`: no later edge reads these rows, so each group's last
// receiver may take the documents instead of a copy.
void attach(const Edge& edge, Array& unit_rows, bool consumable, Array& output) {
  KeyIndex index(unit_rows, edge.foreign);
  std::vector<std::pair<Object*, KeyIndex::Group*>> receivers;
  for (Value* parent : collect_at_path(output, edge.path)) {
    Object* obj = parent->if_object();
    if (!obj) continue;
    KeyIndex::Group* group = index.find(join_key(*parent, edge.local));
    if (group) ++group->pending;
    receivers.emplace_back(obj, group);
  }
  for (auto& [obj, group] : receivers) {
    bool last_use = consumable && group && --group->pending == 0;
    Value attached;
    if (edge.to_one) {
      if (group) attached = take(unit_rows, group->head, last_use);
    } else {
      Array many;
      for (uint32_t i = group ? group->head : KeyIndex::kEnd; i != KeyIndex::kEnd; i = index.next(i))
        many.push_back(take(unit_rows, i, last_use));
      attached = Value(std::move(many));
    }
    obj->set(edge.rel, std::move(attached));
  }
}

}  // namespace

std::vector<Value*> collect_at_path(Array& documents, const std::vector<std::string>& path) {
  std::vector<Value*> out;
  out.reserve(documents.size());
  for (Value& doc : documents) {
    if (path.empty()) out.push_back(&doc);
    else if (doc.is_object()) collect(doc, path, 0, 1, out);
  }
  return out;
}

Result<Value> merge_federated(const Value& plan, Value results_value) {
  const Value* sources_value = plan.get("sources");
  if (!sources_value || !sources_value->is_array()) return Err("联邦计划缺少 sources");
  const Array& sources = sources_value->as_array();
  Array results;
  if (Array* r = results_value.if_array()) results = std::move(*r);
  if (Status s = check_results(results, sources.size()); !s) return s.err();

  std::unordered_map<std::string, size_t> unit_by_key;
  for (size_t i = 0; i < sources.size(); ++i)
    if (const Value* k = sources[i].get("key"); k && k->is_string()) unit_by_key[k->as_string()] = i;

  std::vector<Edge> edges;
  const Value* edges_value = plan.get("join") ? plan.get("join")->get("edges") : nullptr;
  bool root_is_joined = false;
  if (edges_value && edges_value->is_array()) {
    for (const Value& e : edges_value->as_array()) {
      Result<Edge> edge = read_edge(e);
      if (!edge) return edge.err();
      auto unit = unit_by_key.find(edge->key);
      if (unit == unit_by_key.end()) return Err("join 边引用了不存在的取数单元 key: " + edge->key);
      root_is_joined = root_is_joined || unit->second == 0;
      edges.push_back(std::move(edge).value());
    }
  }

  Array output;
  if (!results.empty()) {
    // The root rows become the output; they are copied only when an edge
    // also reads them as a unit result, which must stay as the host gave it.
    if (root_is_joined) output = results[0].as_array();
    else output = std::move(results[0].as_array());
  }
  // The last edge that reads a unit may consume its rows.
  std::vector<size_t> last_reader(results.size(), SIZE_MAX);
  for (size_t e = 0; e < edges.size(); ++e) last_reader[unit_by_key[edges[e].key]] = e;
  for (size_t e = 0; e < edges.size(); ++e) {
    size_t unit = unit_by_key[edges[e].key];
    attach(edges[e], results[unit].as_array(), last_reader[unit] == e, output);
  }
  return Value(std::move(output));
}

}  // namespace quorvel
