#include "federation/merge.h"

#include <string>

#include "bson.h"
#include "depth_limit.h"
#include "federation/merge_join.h"

namespace quorvel {

namespace merge_detail {

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

Status check_unit(size_t index, bool is_array, size_t size) {
  if (!is_array) return Err("第 " + std::to_string(index) + " 个取数单元的结果必须是数组");
  if (size > kFederatedUnitRowLimit)
    return Err("第 " + std::to_string(index) + " 个取数单元返回 " + std::to_string(size) +
               " 行，超过联邦内存 join 上限 " + std::to_string(kFederatedUnitRowLimit) + "（拒绝静默全表拉取）");
  return ok();
}

}  // namespace merge_detail

namespace {

// The join over core values.
class ValueDocs {
 public:
  using Doc = const Value*;
  using Name = std::string_view;

  explicit ValueDocs(const Value& results) : units_(results.if_array()) {}

  size_t unit_count() const { return units_ ? units_->size() : 0; }
  bool unit_is_array(size_t u) const { return (*units_)[u].is_array(); }
  size_t unit_size(size_t u) const { return (*units_)[u].as_array().size(); }
  Doc row(size_t u, size_t i) const { return &(*units_)[u].as_array()[i]; }
  bool is_object(Doc d) const { return d->is_object(); }
  bool is_array(Doc d) const { return d->is_array(); }
  size_t array_size(Doc d) const { return d->as_array().size(); }
  Doc item(Doc d, size_t i) const { return &d->as_array()[i]; }
  Name name(const std::string& n) const { return n; }
  bool member(Doc d, Name n, Doc& out) const {
    out = d->get(n);
    return out != nullptr;
  }
  void key(Doc d, std::string& out) const { out = id_key(*d); }
  Value to_value(Doc d) const { return *d; }

 private:
  const Array* units_;
};

}  // namespace

Result<Value> merge_federated(const Value& plan, Value results) {
  ValueDocs docs(results);
  merge_detail::Merger<ValueDocs> merger(docs);
  auto merged = merger.run(plan);
  if (!merged) return merged.err();
  Array out;
  out.reserve(merged->documents.size());
  for (const auto& doc : merged->documents) out.push_back(merger.to_value(doc));
  return Value(std::move(out));
}

}  // namespace quorvel
