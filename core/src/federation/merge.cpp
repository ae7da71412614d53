#include "federation/merge.h"

#include <string>
#include <unordered_map>

#include "bson.h"

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

void collect(Value& v, const std::vector<std::string>& path, size_t depth, std::vector<Value*>& out) {
  if (depth == path.size()) {
    out.push_back(&v);
    return;
  }
  Value* member = v.get(path[depth]);
  if (!member) return;
  if (Array* a = member->if_array()) {
    for (Value& e : *a) collect(e, path, depth + 1, out);
  } else {
    collect(*member, path, depth + 1, out);
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

void attach(const Edge& edge, const Array& unit_rows, Array& output) {
  std::unordered_map<std::string, std::vector<const Value*>> index;
  index.reserve(unit_rows.size());
  for (const Value& doc : unit_rows) index[join_key(doc, edge.foreign)].push_back(&doc);

  for (Value* parent : collect_at_path(output, edge.path)) {
    Object* obj = parent->if_object();
    if (!obj) continue;
    auto it = index.find(join_key(*parent, edge.local));
    Value attached;
    if (edge.to_one) {
      if (it != index.end()) attached = *it->second.front();
    } else {
      Array many;
      if (it != index.end()) {
        many.reserve(it->second.size());
        for (const Value* doc : it->second) many.push_back(*doc);
      }
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
    else if (doc.is_object()) collect(doc, path, 0, out);
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
  for (const Edge& edge : edges) attach(edge, results[unit_by_key[edge.key]].as_array(), output);
  return Value(std::move(output));
}

}  // namespace quorvel
