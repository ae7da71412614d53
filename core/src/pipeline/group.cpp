#include "pipeline/group.h"

#include <algorithm>
#include <array>

#include "depth_limit.h"
#include "permission.h"
#include "pipeline/util.h"
#include "types.h"

namespace quorvel::group {

namespace {

constexpr std::array<std::string_view, 5> kOperators = {"$count", "$sum", "$avg", "$min", "$max"};

bool is_operator(std::string_view op) { return std::find(kOperators.begin(), kOperators.end(), op) != kOperators.end(); }
bool is_logical(std::string_view key) { return key == "$and" || key == "$or" || key == "$nor"; }

std::string_view root_of(std::string_view path) { return path.substr(0, path.find('.')); }

Result<std::vector<std::string>> read_by_list(const Value* by) {
  std::vector<std::string> keys;
  if (!by || by->is_null()) return keys;
  const Array* a = by->if_array();
  if (!a) return Err("$group.by 必须是字段名数组（省略 / [] = 全表单组）");
  StringSet seen;
  keys.reserve(a->size());
  for (const Value& e : *a) {
    if (!e.is_string()) return Err("$group.by 的元素必须是字段名字符串");
    if (!seen.insert(e.as_string()).second) return Err("$group.by 存在重复键 " + quoted(e.as_string()));
    keys.push_back(e.as_string());
  }
  return keys;
}

Status check_by_key(const Schema& schema, const std::string& key) {
  std::string_view root = root_of(key);
  std::string head = "$group 的 by 键 " + quoted(key);
  if (schema.relation(root)) return Err(head + " 是关系名（分组键仅支持标量域，不支持关系字段）");
  const FieldDef* field = schema.field(root);
  if (!field) return Err(head + " 引用了 schema 外字段 " + quoted(root));
  if (field->type == "array") return Err(head + " 是数组字段（分组键仅支持标量域）");
  if (field->type == "object" && root.size() == key.size())
    return Err(head + " 是对象字段（须用点号路径指明子字段，如 \"" + key + ".<子字段>\")");
  return ok();
}

Status check_agg_field(const Schema& schema, const std::string& alias, const std::string& op, const std::string& f) {
  std::string head = "$group 的 agg " + quoted(alias) + "（" + op + "）";
  if (schema.relation(f)) return Err(head + "引用了关系 " + quoted(f) + "（仅支持标量字段）");
  if (f.find('.') != std::string::npos) return Err(head + "字段 " + quoted(f) + " 不可为点号路径（仅支持标量字段）");
  const FieldDef* field = schema.field(f);
  if (!field) return Err(head + "引用了 schema 外字段 " + quoted(f));
  if (field->type == "array" || field->type == "object") return Err(head + "字段 " + quoted(f) + " 必须是标量字段");
  return ok();
}

Result<AggDef> read_agg(const Schema& schema, const std::string& alias, const Value& def) {
  std::string head = "$group.agg " + quoted(alias);
  const Object* o = def.if_object();
  if (!o) return Err(head + " 的定义必须是对象");
  if (o->size() != 1) return Err(head + " 必须恰有一个算子键");
  const auto& [op, field] = *o->begin();
  if (!is_operator(op)) return Err(head + " 的算子 " + op + " 不在白名单（$count/$sum/$avg/$min/$max）");
  if (!field.is_string()) return Err(head + "（" + op + "）必须带标量字段名（$count 可用 \"*\"）");
  AggDef out{op, std::nullopt};
  if (op == "$count" && field.as_string() == "*") return out;
  if (Status s = check_agg_field(schema, alias, op, field.as_string()); !s) return s.err();
  out.of = field.as_string();
  return out;
}

Status validate_having_level(const Value& having, const GroupSpec& spec) {
  const Object* o = having.if_object();
  if (!o) return Err("$having 必须是条件对象");
  for (const auto& [key, value] : *o) {
    if (is_logical(key)) {
      const Array* a = value.if_array();
      if (!a) return Err("$having 的 " + key + " 需要数组");
      for (const Value& e : *a)
        if (Status s = validate_having_level(e, spec); !s) return s;
    } else if (key.starts_with('$')) {
      return Err("$having 不支持操作符 " + key + "（仅可引用 by 键 / agg 别名，支持 $and/$or/$nor）");
    } else if (!spec.is_by_key(key) && !spec.is_alias(key)) {
      return Err("$having 引用了未声明的字段 " + quoted(key) + "（仅可引用 by 键 / agg 别名）");
    }
  }
  return ok();
}

// Where the group output holds by key `key`.
std::string output_ref(const GroupSpec& spec, std::string_view key) {
  return spec.by.size() == 1 ? std::string("_id") : "_id." + std::string(key);
}

Result<Value> key_placement(const GroupSpec& spec) {
  if (spec.by.empty()) return Value();
  if (spec.by.size() == 1) return Value(field_ref(spec.by[0]));
  // Each "." nests the group id one level deeper; past the depth any value may
  // have, the document could be neither returned nor safely destroyed.
  for (const std::string& k : spec.by)
    if (std::count(k.begin(), k.end(), '.') >= kMaxDepth)
      return Err("$group 的 by 键 " + quoted(k) + " 嵌套超过 " + std::to_string(kMaxDepth) + " 层");
  // The placement does not depend on the order of the keys (a key and a key
  // below it give the outer key either way), so they can be inserted sorted.
  std::vector<std::string_view> keys(spec.by.begin(), spec.by.end());
  std::sort(keys.begin(), keys.end(), path_less);
  Object id;
  for (std::string_view k : keys) insert_nested(id, k, Value(field_ref(k)));
  return Value(std::move(id));
}

Value rename_keys(const GroupSpec& spec, const Object& o) {
  std::vector<Object::Member> entries;
  entries.reserve(o.size());
  for (const auto& [key, value] : o)
    entries.emplace_back(spec.is_by_key(key) ? output_ref(spec, key) : key, value);
  return Value(Object::from_entries(std::move(entries)));
}

Status check_selection(const GroupSpec& spec, const StageInputs& in) {
  if (!in.no_relations) return Err("$group 查询不支持关系字段（选择集仅可为 by 键 / agg 别名，无关系下钻）");
  if (in.fields.empty()) return Err("$group 查询必须显式选择输出字段（by 键 / agg 别名）");
  for (const std::string& f : in.fields)
    if (!spec.is_by_key(f) && !spec.is_alias(f))
      return Err("选择集字段 " + quoted(f) + " 未在 $group 的 by 键 / agg 别名中声明");
  return ok();
}

Status check_sort(const GroupSpec& spec, const Value& sort) {
  const Object* o = sort.if_object();
  if (!o) return Err("$sort 必须是对象");
  for (const auto& [key, _] : *o)
    if (!spec.is_by_key(key) && !spec.is_alias(key))
      return Err("$sort 键 " + quoted(key) + " 不在 $group 的 by 键 / agg 别名域内");
  return ok();
}

bool given(const Value* v) { return v && !v->is_null(); }

// Aliases that get an accumulator: selected, named by the having, or sorted
// on (a sort on a value nobody computes would order the rows arbitrarily).
StringSet accumulated_aliases(const GroupSpec& spec, const StageInputs& in, const StringSet& selected) {
  StringSet used = selected;
  auto is_alias = [&](std::string_view k) { return spec.is_alias(k); };
  if (given(in.having)) collect_having_agg_refs(*in.having, is_alias, used);
  if (given(in.sort))
    for (const auto& [key, _] : in.sort->as_object())
      if (is_alias(key)) used.insert(key);
  return used;
}

Result<Value> group_stage(const GroupSpec& spec, const StringSet& used) {
  Result<Value> id = key_placement(spec);
  if (!id) return id;
  std::vector<Object::Member> body{{"_id", std::move(id).value()}};
  for (const auto& [alias, def] : spec.aggs)
    if (used.contains(alias)) body.emplace_back(alias, acc_expr(def));
  return one_member("$group", Value(Object::from_entries(std::move(body))));
}

// The first row, or the row an empty input would give: counts 0, others null.
Value default_row_stage(const GroupSpec& spec, const StringSet& used) {
  std::vector<Object::Member> row{{"_id", Value()}};
  for (const auto& [alias, def] : spec.aggs)
    if (used.contains(alias)) row.emplace_back(alias, def.op == "$count" ? Value(0) : Value());
  Value first = one_member("$arrayElemAt", Value(Array{Value("$__rows"), Value(0)}));
  Value root = one_member("$ifNull", Value(Array{std::move(first), Value(Object::from_entries(std::move(row)))}));
  return one_member("$replaceRoot", one_member("newRoot", std::move(root)));
}

Value project_stage(const GroupSpec& spec, const StringSet& selected) {
  std::vector<Object::Member> entries;
  entries.reserve(selected.size() + 1);
  if (!selected.contains("_id")) entries.emplace_back("_id", Value(0));
  bool one_key = spec.by.size() == 1;
  for (const std::string& k : spec.by) {
    if (!selected.contains(k)) continue;
    if (k == "_id") entries.emplace_back(k, one_key ? Value(1) : Value("$_id._id"));
    else entries.emplace_back(k, Value(one_key ? std::string("$_id") : "$_id." + k));
  }
  for (const auto& [alias, _] : spec.aggs)
    if (selected.contains(alias)) entries.emplace_back(alias, Value(1));
  return one_member("$project", Value(Object::from_entries(std::move(entries))));
}

}  // namespace

void GroupSpec::set_by(std::vector<std::string> keys) {
  by = std::move(keys);
  by_set = StringSet(by.begin(), by.end());
}

bool GroupSpec::is_by_key(std::string_view name) const { return by_set.contains(name); }

bool GroupSpec::is_alias(std::string_view name) const {
  // Aliases are kept in key order.
  auto it = std::lower_bound(aggs.begin(), aggs.end(), name,
                             [](const auto& entry, std::string_view n) { return entry.first < n; });
  return it != aggs.end() && it->first == name;
}

Result<AggList> parse_aggs(const Schema& schema, const Value& agg, const std::vector<std::string>& by) {
  AggList out;
  if (agg.is_null()) return out;
  const Object* o = agg.if_object();
  if (!o) return Err("$group.agg 必须是对象 { 别名: { 算子: 字段 } }");
  StringSet by_keys(by.begin(), by.end());
  out.reserve(o->size());
  for (const auto& [alias, def] : *o) {
    if (alias.empty()) return Err("$group.agg 的别名不能为空");
    if (by_keys.contains(alias)) return Err("$group.agg 别名 " + quoted(alias) + " 与 by 键冲突");
    Result<AggDef> d = read_agg(schema, alias, def);
    if (!d) return d.err();
    out.emplace_back(alias, std::move(d).value());
  }
  return out;
}

Result<GroupSpec> parse(const Schema& schema, const Value& argument) {
  if (!argument.is_object()) return Err("$group 参数必须是对象 { by, agg }");
  GroupSpec spec;
  Result<std::vector<std::string>> by = read_by_list(argument.get("by"));
  if (!by) return by.err();
  spec.set_by(std::move(by).value());
  for (const std::string& key : spec.by)
    if (Status s = check_by_key(schema, key); !s) return s.err();
  if (const Value* agg = argument.get("agg")) {
    Result<AggList> aggs = parse_aggs(schema, *agg, spec.by);
    if (!aggs) return aggs.err();
    spec.aggs = std::move(aggs).value();
  }
  if (spec.by.empty() && spec.aggs.empty()) return Err("$group 至少需要 by 键或 agg 别名之一");
  return spec;
}

Status validate_having(const Value& having, const GroupSpec& spec) { return validate_having_level(having, spec); }

Status validate_read_permission(const Schema& schema, const Context* ctx, const GroupSpec& spec) {
  if (!ctx) return ok();
  for (const std::string& key : spec.by)
    if (!is_field_readable(schema, ctx, key)) return Err(std::string(kReadDenied));
  for (const auto& [_, def] : spec.aggs)
    if (def.of && !is_field_readable(schema, ctx, *def.of)) return Err(std::string(kReadDenied));
  return ok();
}

Value acc_expr(const AggDef& def) {
  std::string ref = field_ref(def.of ? *def.of : std::string());
  if (def.op == "$count") {
    if (!def.of) return one_member("$sum", Value(1));
    // Counts the values that are present and not null.
    Value is_null = one_member("$eq", Value(Array{one_member("$ifNull", Value(Array{Value(ref), Value()})), Value()}));
    return one_member("$sum", one_member("$cond", Value(Array{std::move(is_null), Value(0), Value(1)})));
  }
  if (def.op == "$sum" || def.op == "$avg" || def.op == "$min") return one_member(def.op, Value(ref));
  return one_member("$max", Value(ref));
}

Value rewrite_having(const GroupSpec& spec, const Value& having) {
  const Object* o = having.if_object();
  if (!o) return having;
  std::vector<Object::Member> entries;
  entries.reserve(o->size());
  for (const auto& [key, value] : *o) {
    if (is_logical(key) && value.is_array()) {
      Array items;
      items.reserve(value.as_array().size());
      for (const Value& e : value.as_array()) items.push_back(rewrite_having(spec, e));
      entries.emplace_back(key, Value(std::move(items)));
    } else {
      entries.emplace_back(spec.is_by_key(key) ? output_ref(spec, key) : key, value);
    }
  }
  return Value(Object::from_entries(std::move(entries)));
}

void insert_nested(Object& object, std::string_view path, Value value) {
  Object* level = &object;
  size_t start = 0;
  for (size_t dot = path.find('.'); dot != std::string_view::npos; dot = path.find('.', start)) {
    Value& next = (*level)[path.substr(start, dot - start)];
    if (next.is_null()) next = Value(Object{});
    if (!next.is_object()) return;
    level = &next.as_object();
    start = dot + 1;
  }
  level->set(std::string(path.substr(start)), std::move(value));
}

Result<Array> build_stages(const GroupSpec& spec, const StageInputs& in) {
  if (Status s = check_selection(spec, in); !s) return s.err();
  if (given(in.having)) {
    if (Status s = validate_condition(*in.having); !s) return s.err();
    if (Status s = validate_having(*in.having, spec); !s) return s.err();
  }
  if (given(in.sort))
    if (Status s = check_sort(spec, *in.sort); !s) return s.err();

  Array stages;
  if (given(in.condition)) {
    if (Status s = validate_condition(*in.condition); !s) return s.err();
    stages.push_back(one_member("$match", *in.condition));
  }

  StringSet selected(in.fields.begin(), in.fields.end());
  StringSet used = accumulated_aliases(spec, in, selected);
  Result<Value> group = group_stage(spec, used);
  if (!group) return group.err();
  stages.push_back(std::move(group).value());
  if (spec.by.empty()) {
    // One group over everything must still yield a row when nothing matched.
    stages.push_back(one_member("$facet", one_member("__rows", Value(Array{}))));
    stages.push_back(default_row_stage(spec, used));
  }
  if (given(in.having)) stages.push_back(one_member("$match", rewrite_having(spec, *in.having)));
  Value sort;
  if (given(in.sort)) sort = rename_keys(spec, in.sort->as_object());
  append_order(stages, &sort, in.skip, in.limit);
  stages.push_back(project_stage(spec, selected));
  return stages;
}

}  // namespace quorvel::group
