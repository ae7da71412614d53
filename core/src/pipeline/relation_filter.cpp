#include "pipeline/relation_filter.h"

#include <algorithm>
#include <array>

#include "permission.h"
#include "pipeline/lookup.h"
#include "pipeline/util.h"
#include "types.h"

namespace quorvel::relation_filter {

namespace {

using group::AggDef;
using group::AggList;

constexpr std::array<std::string_view, 6> kShorthandOps = {"$exists", "$count", "$sum", "$avg", "$min", "$max"};
constexpr std::array<std::string_view, 6> kComparisons = {"$gt", "$gte", "$lt", "$lte", "$eq", "$ne"};

bool one_of(std::string_view s, const auto& names) { return std::find(names.begin(), names.end(), s) != names.end(); }
bool is_logical(std::string_view key) { return key == "$and" || key == "$or" || key == "$nor"; }
bool is_main_form(const Object& o) { return o.contains("filter") || o.contains("agg") || o.contains("having"); }

// Message prefix naming the predicate's relation.
std::string pred_head(std::string_view relation) { return "关系聚合谓词 " + quoted(relation); }

// A key such as "author.name" whose prefix before some "." is a relation.
bool has_relation_prefix(const Schema& schema, std::string_view key) {
  for (size_t dot = key.find('.'); dot != std::string_view::npos; dot = key.find('.', dot + 1))
    if (schema.relation(key.substr(0, dot))) return true;
  return false;
}

Status validate_scalar_field(const Schema& target, std::string_view relation, std::string_view field) {
  std::string head = pred_head(relation);
  if (target.relation(field))
    return Err(head + " 引用了关系字段 " + quoted(field) + "（仅支持一级关系的标量字段；二级路径首批不支持）");
  if (field.find('.') != std::string_view::npos)
    return Err(head + " 字段 " + quoted(field) + " 不可为点号路径（仅支持标量字段）");
  const FieldDef* f = target.field(field);
  if (!f) return Err(head + " 引用了 schema 外字段 " + quoted(field));
  if (f->type == "array") return Err(head + " 字段 " + quoted(field) + " 是数组字段（U1/D2：仅支持标量域）");
  if (f->type == "object") return Err(head + " 字段 " + quoted(field) + " 是对象字段（U2/D2：仅支持标量域）");
  return ok();
}

Status validate_scalar_filter(const Schema& target, std::string_view relation, const Value& filter) {
  const Object* o = filter.if_object();
  if (!o) return Err(pred_head(relation) + " 的 filter 必须是对象（仅标量域）");
  for (const auto& [key, value] : *o) {
    if (is_logical(key)) {
      const Array* a = value.if_array();
      if (!a) return Err(pred_head(relation) + " 的 filter 中 " + key + " 需要数组");
      for (const Value& e : *a)
        if (Status s = validate_scalar_filter(target, relation, e); !s) return s;
    } else if (key.starts_with('$')) {
      return Err(pred_head(relation) + " 的 filter 不支持操作符 " + quoted(key) + "（仅标量字段条件）");
    } else if (Status s = validate_scalar_field(target, relation, key); !s) {
      return s;
    }
  }
  return ok();
}

// The field names of a filter already checked by validate_scalar_filter.
bool filter_readable(const Schema& target, const Context* ctx, const Value& filter) {
  const Object* o = filter.if_object();
  if (!o) return true;
  for (const auto& [key, value] : *o) {
    if (is_logical(key)) {
      for (const Value& e : value.as_array())
        if (!filter_readable(target, ctx, e)) return false;
    } else if (!is_field_readable(target, ctx, key)) {
      return false;
    }
  }
  return true;
}

// One shorthand operator value: {"$of": field, <one comparison>: value}.
struct PredValue {
  std::optional<std::string> of;
  std::string cmp;
  Value operand;
};

Result<PredValue> parse_pred_value(std::string_view relation, const std::string& op, const Value& value,
                                   bool of_required) {
  std::string head = pred_head(relation);
  const Object* o = value.if_object();
  if (!o) return Err(head + " 的 " + op + " 值必须是对象");
  PredValue out;
  bool has_cmp = false;
  for (const auto& [key, v] : *o) {
    if (key == "$of") {
      if (!v.is_string()) return Err(head + " 的 $of 必须是字段名");
      out.of = v.as_string();
    } else if (one_of(key, kComparisons)) {
      if (has_cmp) return Err(head + " 的 " + op + " 仅允许一个比较算子（多谓词请用主形式 having）");
      has_cmp = true;
      out.cmp = key;
      out.operand = v;
    } else {
      return Err(head + " 的 " + op + " 不支持的键 " + quoted(key) + "（仅 $of ＋ 一个比较算子）");
    }
  }
  if (of_required && !out.of) return Err(head + " 的 " + op + " 必须带 $of 字段");
  if (!has_cmp) return Err(head + " 的 " + op + " 缺少比较算子（$gt/$gte/$lt/$lte/$eq/$ne）");
  return out;
}

// {alias: {cmp: operand}}
Value cond_obj(std::string alias, std::string cmp, Value operand) {
  return one_member(std::move(alias), one_member(std::move(cmp), std::move(operand)));
}

Value proxy_cond(bool negated) { return one_member("$exists", Value(!negated)); }

class Rewriter {
 public:
  Rewriter(const Schema& schema, const Registry& registry) : schema_(schema), registry_(registry) {}

  // First walk: checks the condition and collects its predicates.
  Status collect(const Value& v);
  // Second walk, in the same order: the condition with proxies in place.
  Result<Value> rewrite(const Value& v);

  std::vector<RelPredicate> predicates;
  std::vector<SchemaPtr> targets;  // the target schema of each predicate

 private:
  Status collect_object(const Object& o);
  Status build_pred(const std::string& relation, const Value& value, bool negated);
  Status read_main(RelPredicate& p, const Schema& target, const Object& o);
  Status read_shorthand(RelPredicate& p, const Schema& target, const Object& o);
  Result<Object::Member> next_proxy();

  const Schema& schema_;
  const Registry& registry_;
  size_t rewritten_ = 0;
};

Status Rewriter::collect(const Value& v) {
  if (const Object* o = v.if_object()) return collect_object(*o);
  if (const Array* a = v.if_array())
    for (const Value& e : *a)
      if (Status s = collect(e); !s) return s;
  return ok();
}

Status Rewriter::collect_object(const Object& o) {
  for (const auto& [key, value] : o) {
    if (is_logical(key)) {
      if (!value.is_array()) return Err(key + " 需要数组");
      if (Status s = collect(value); !s) return s;
    } else if (key == "$not") {
      const Object* inner = value.if_object();
      if (!inner) return Err("$not 需要对象（仅支持包裹单个关系聚合谓词）");
      if (inner->size() != 1) return Err("$not 仅支持包裹单个关系聚合谓词（否定 = anti-join）");
      const auto& [rel, pred] = *inner->begin();
      if (!schema_.relation(rel)) return Err("$not 仅支持包裹关系聚合谓词（否定 = anti-join），收到键 " + quoted(rel));
      if (Status s = build_pred(rel, pred, true); !s) return s;
    } else if (schema_.relation(key)) {
      if (Status s = build_pred(key, value, false); !s) return s;
    } else if (has_relation_prefix(schema_, key)) {
      return Err("二级关系路径 " + quoted(key) + " 首批不支持（关系聚合谓词仅支持一级关系）");
    }
  }
  return ok();
}

Status Rewriter::build_pred(const std::string& relation, const Value& value, bool negated) {
  const RelationDef* rel = schema_.relation(relation);
  if (!rel) return Err(undefined_relation(relation, schema_.name));
  Result<SchemaPtr> target = registry_.get(rel->model);
  if (!target) return target.err();
  const Object* o = value.if_object();
  if (!o) return Err(pred_head(relation) + " 必须是对象（主形式 filter/agg/having 或简写形式）");

  RelPredicate p;
  p.relation = relation;
  p.model = rel->model;
  p.local_field = rel->local_field;
  p.foreign_field = rel->foreign_field;
  p.negated = negated;
  Status read = is_main_form(*o) ? read_main(p, **target, *o) : read_shorthand(p, **target, *o);
  if (!read) return read;
  p.proxy = "__rp" + std::to_string(predicates.size()) + "__" + relation;
  predicates.push_back(std::move(p));
  targets.push_back(std::move(target).value());
  return ok();
}

Status Rewriter::read_main(RelPredicate& p, const Schema& target, const Object& o) {
  std::string head = pred_head(p.relation);
  for (const auto& [key, _] : o)
    if (key != "filter" && key != "agg" && key != "having")
      return Err(head + " 主形式仅支持 filter/agg/having，收到 " + quoted(key));
  const Value* having = o.find("having");
  if (!having) return Err(head + " 主形式必须提供 having");
  if (!having->is_object()) return Err(head + " 的 having 必须是条件对象");
  if (const Value* filter = o.find("filter")) {
    if (Status s = validate_scalar_filter(target, p.relation, *filter); !s) return s;
    p.filter = *filter;
  }
  const Value* agg = o.find("agg");
  if (!agg || agg->is_null()) return Err(head + " 省略 agg 时无法推导 having 引用的聚合（请显式声明 agg）");
  Result<AggList> aggs = group::parse_aggs(target, *agg, {});
  if (!aggs) return Err(head + " 的 agg 非法: " + aggs.error().message());
  group::GroupSpec spec;
  spec.aggs = std::move(aggs).value();
  if (Status s = group::validate_having(*having, spec); !s) return Err(head + " 的 having 非法: " + s.error().message());
  StringSet refs;
  collect_having_agg_refs(*having, [&](std::string_view k) { return spec.is_alias(k); }, refs);
  for (auto& entry : spec.aggs)
    if (refs.contains(entry.first)) p.aggregates.push_back(std::move(entry));
  if (p.aggregates.empty()) return Err(head + " 的 having 未引用任何 agg 别名");
  p.having = *having;
  return ok();
}

Status Rewriter::read_shorthand(RelPredicate& p, const Schema& target, const Object& o) {
  std::string head = pred_head(p.relation);
  const Object::Member* op_entry = nullptr;
  size_t ops = 0;
  for (const auto& entry : o) {
    if (entry.first == "$filter") continue;
    if (!one_of(entry.first, kShorthandOps))
      return Err(head + " 简写形式不支持的键 " + quoted(entry.first) + "（仅 $filter ＋ 恰好一个聚合谓词）");
    op_entry = &entry;
    ++ops;
  }
  if (ops != 1)
    return Err(head + " 简写形式必须恰有一个聚合谓词（$exists/$count/$sum/$avg/$min/$max；多谓词请用主形式 having）");
  if (const Value* filter = o.find("$filter")) {
    if (Status s = validate_scalar_filter(target, p.relation, *filter); !s) return s;
    p.filter = *filter;
  }
  const auto& [op, value] = *op_entry;
  if (op == "$exists") {
    if (!value.is_bool()) return Err(head + " 的 $exists 必须是布尔");
    if (!value.as_bool()) p.negated = !p.negated;
    p.aggregates.emplace_back("n", AggDef{"$count", std::nullopt});
    p.having = cond_obj("n", "$gt", Value(0));
    return ok();
  }
  if (!one_of(op, kShorthandOps)) return Err(head + " 简写形式不支持的聚合算子 " + quoted(op));
  bool is_count = op == "$count";
  Result<PredValue> pv = parse_pred_value(p.relation, op, value, !is_count);
  if (!pv) return pv.err();
  if (pv->of)
    if (Status s = validate_scalar_field(target, p.relation, *pv->of); !s) return s;
  std::string alias = is_count ? "n" : "v";
  p.aggregates.emplace_back(alias, AggDef{op, std::move(pv->of)});
  p.having = cond_obj(alias, std::move(pv->cmp), std::move(pv->operand));
  return ok();
}

Result<Object::Member> Rewriter::next_proxy() {
  if (rewritten_ >= predicates.size()) return Err("关系聚合谓词未产生条件（内部不变量破裂）");
  const RelPredicate& p = predicates[rewritten_++];
  return Object::Member(p.proxy + ".0", proxy_cond(p.negated));
}

Result<Value> Rewriter::rewrite(const Value& v) {
  if (const Array* a = v.if_array()) {
    Array out;
    out.reserve(a->size());
    for (const Value& e : *a) {
      Result<Value> r = rewrite(e);
      if (!r) return r;
      out.push_back(std::move(r).value());
    }
    return Value(std::move(out));
  }
  const Object* o = v.if_object();
  if (!o) return v;
  std::vector<Object::Member> entries;
  entries.reserve(o->size());
  for (const auto& [key, value] : *o) {
    if (is_logical(key)) {
      Result<Value> r = rewrite(value);
      if (!r) return r;
      entries.emplace_back(key, std::move(r).value());
    } else if (key == "$not" || schema_.relation(key)) {
      Result<Object::Member> proxy = next_proxy();
      if (!proxy) return proxy.err();
      entries.push_back(std::move(proxy).value());
    } else {
      entries.emplace_back(key, value);
    }
  }
  return Value(Object::from_entries(std::move(entries)));
}

Status check_permissions(const Rewriter& rw, const Schema& schema, const Context* ctx) {
  if (!ctx) return ok();
  for (const RelPredicate& p : rw.predicates)
    if (!is_relation_readable(schema, ctx, p.relation)) return Err(std::string(kReadDenied));
  for (size_t i = 0; i < rw.predicates.size(); ++i) {
    const RelPredicate& p = rw.predicates[i];
    const Schema& target = *rw.targets[i];
    if (p.filter && !filter_readable(target, ctx, *p.filter)) return Err(std::string(kReadDenied));
    for (const auto& [_, def] : p.aggregates)
      if (def.of && !is_field_readable(target, ctx, *def.of)) return Err(std::string(kReadDenied));
  }
  return ok();
}

// Takes the predicate's filter and having: they are copied into the stage once.
Value proxy_lookup(RelPredicate& p, const Schema& schema, const Schema& target, const Context* ctx) {
  std::string var = "rel_" + p.local_field;
  bool is_array = is_array_local_field(schema, p.local_field);
  Array match{rel_match_expr(p.foreign_field, var, is_array)};
  if (p.filter) match.push_back(std::move(*p.filter));
  if (std::optional<Value> owner = owner_condition(target, ctx)) match.push_back(std::move(*owner));
  Value m = match.size() == 1 ? std::move(match[0]) : one_member("$and", Value(std::move(match)));

  // Joined through a scalar, every related document shares the foreign value,
  // so grouping by it makes one group. Joined through an array, each document
  // would form its own group and the aggregates would cover one document at a
  // time; one group over all of them keeps them over the whole relation.
  Value key = is_array ? Value() : Value(field_ref(p.foreign_field));
  std::vector<Object::Member> group{{"_id", std::move(key)}};
  for (const auto& [alias, def] : p.aggregates) group.emplace_back(alias, group::acc_expr(def));
  Array pipeline{one_member("$match", std::move(m)),
                 one_member("$group", Value(Object::from_entries(std::move(group)))),
                 one_member("$match", std::move(p.having))};
  return lookup_stage(p.proxy, target.collection, var, rel_let_expr(p.local_field, is_array), std::move(pipeline));
}

}  // namespace

Result<std::optional<RelationFilterPlan>> plan(const Schema& schema, const Registry& registry, const Context* ctx,
                                               const Value& condition) {
  if (Status s = validate_condition(condition); !s) return s.err();
  Rewriter rw(schema, registry);
  if (Status s = rw.collect(condition); !s) return s.err();
  if (rw.predicates.empty()) return std::optional<RelationFilterPlan>();
  if (Status s = check_permissions(rw, schema, ctx); !s) return s.err();

  RelationFilterPlan out;
  out.stages.reserve(rw.predicates.size());
  for (size_t i = 0; i < rw.predicates.size(); ++i)
    out.stages.push_back(proxy_lookup(rw.predicates[i], schema, *rw.targets[i], ctx));
  Result<Value> rewritten = rw.rewrite(condition);
  if (!rewritten) return rewritten.err();
  out.condition = std::move(rewritten).value();
  return std::optional<RelationFilterPlan>(std::move(out));
}

std::optional<std::string> rel_name_from_as(std::string_view as) {
  constexpr std::string_view kPrefix = "__rp";
  if (as.size() < kPrefix.size() || !as.starts_with(kPrefix)) return std::nullopt;
  size_t sep = as.find("__", kPrefix.size());
  if (sep == std::string_view::npos) return std::nullopt;
  return std::string(as.substr(sep + 2));
}

}  // namespace quorvel::relation_filter
