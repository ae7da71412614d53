#include "dialect/filter.h"

#include <algorithm>
#include <array>
#include <utility>

#include "json/write.h"

namespace quorvel {

namespace {

std::string_view type_name(const Value& v) {
  switch (v.kind()) {
    case Kind::Bool: return "bool";
    case Kind::UInt:
    case Kind::Int:
    case Kind::Double: return "number";
    case Kind::String: return "string";
    case Kind::Array: return "array";
    default: return "object";
  }
}

WhereClause text_clause(std::string text) { return WhereClause{std::move(text), {}}; }

Status note(const Ctx& ctx, std::string message) {
  if (!ctx.warnings) return Err(std::move(message));
  ctx.warnings->push_back(std::move(message));
  return ok();
}

std::string quoted_name(std::string_view name) {
  std::string out;
  write_json_string(name, out);
  return out;
}

// Field names go into a LIKE pattern inside a string literal: quotes are
// doubled, and LIKE wildcards are escaped with '!', which no backend treats
// specially in a literal (a backslash would depend on the server's settings).
bool needs_like_escape(std::string_view field) {
  return field.find_first_of("%_!\\") != std::string_view::npos;
}

Result<std::string> presence_test(const Ctx& ctx, std::string_view field) {
  if (ctx.backend.backslash_in_literals_is_ambiguous() && field.find('\\') != std::string_view::npos)
    return Err("字段名 " + quoted_name(field) +
               " 含反斜杠：MySQL 字符串字面量如何解释反斜杠取决于 sql_mode，无法安全写入存在性判断（拒绝生成 SQL）");
  if (field.find('\0') != std::string_view::npos)
    return Err("字段名 " + quoted_name(field) + " 含 NUL 字符，无法安全写入存在性判断（拒绝生成 SQL）");
  // The presence list separates names by commas, so a name holding one
  // would also match two neighbouring names.
  if (field.find(',') != std::string_view::npos)
    return Err("字段名 " + quoted_name(field) + " 含逗号，__present 存在性列表无法无歧义地判断该字段（拒绝生成 SQL）");
  bool escape = needs_like_escape(field);
  bool e_string = ctx.backend.has_escape_string_literals() && field.find('\\') != std::string_view::npos;
  std::string out = "COALESCE(" + ctx.alias + ".__present, ',') LIKE ";
  out += e_string ? "E'%," : "'%,";
  for (char c : field) {
    if (c == '\'') out += "''";
    else if (c == '\\' && e_string) out += "\\\\";
    else if (escape && (c == '%' || c == '_' || c == '!')) (out += '!') += c;
    else out += c;
  }
  out += ",%'";
  if (escape) out += " ESCAPE '!'";
  return out;
}

Result<std::string> column_expr(const Ctx& ctx, const std::string& column) {
  if (ctx.alias.empty()) return column;
  std::string out = ctx.alias;
  out += '.';
  if (Status s = ctx.backend.append_ident(out, column); !s) return s.err();
  return out;
}

// The operators of a field condition, applied to one column.
struct FieldOp {
  const Ctx& ctx;
  std::string_view col;
  std::string_view field;
  const Object& ops;

  WhereClause binop(std::string_view op, const Value& v) const {
    WhereClause out;
    out.text.reserve(col.size() + op.size() + 6);
    ((out.text += col) += ' ') += op;
    out.text += ' ';
    param_expr(v, ctx, out);
    return out;
  }

  Result<WhereClause> null_eq() const {
    std::string presence = "TRUE";
    if (!ctx.alias.empty()) {
      Result<std::string> p = presence_test(ctx, field);
      if (!p) return p.err();
      presence = std::move(p).value();
    }
    std::string text = "(";
    (((text += col) += " IS NULL AND ") += presence) += ')';
    return text_clause(std::move(text));
  }

  Result<WhereClause> eq(const Value& v) const { return v.is_null() ? null_eq() : Result<WhereClause>(binop("=", v)); }

  Result<WhereClause> ne(const Value& v) const {
    if (v.is_null()) return text_clause(std::string(col) + " IS NOT NULL");
    return binop("<>", v);
  }

  Result<WhereClause> in_list(std::string_view op, const Value& v, std::string_view empty_text) const {
    const Array* items = v.if_array();
    if (!items)
      return Err("$in/$nin 需要数组（字段 " + std::string(col) + "），拒绝静默丢弃该条件");
    if (items->empty()) return text_clause(std::string(empty_text));
    WhereClause out;
    ((out.text += col) += ' ') += op;
    out.text += " (";
    for (size_t i = 0; i < items->size(); ++i) {
      if (i) out.text += ", ";
      param_expr((*items)[i], ctx, out);
    }
    out.text += ')';
    return out;
  }

  Result<WhereClause> exists(const Value& v) const {
    bool want = !(v.is_bool() && !v.as_bool());
    if (ctx.alias.empty()) return text_clause(std::string(col) + (want ? " IS NOT NULL" : " IS NULL"));
    Result<std::string> p = presence_test(ctx, field);
    if (!p) return p.err();
    return text_clause(want ? std::move(p).value() : "NOT (" + p.value() + ")");
  }

  Result<WhereClause> negate(const Value& v) const {
    Result<WhereClause> inner = cond_clause(v, col, field, ctx);
    if (!inner) return inner;
    // No condition holds for every row, so its negation holds for none;
    // dropping it instead would widen a read or a delete to the whole table.
    if (inner->empty()) return text_clause(std::string(ctx.backend.false_text()));
    inner->text.insert(0, "NOT ");
    return inner;
  }

  Result<WhereClause> regex(const Value& pattern) const {
    if (!pattern.is_string())
      return Err("$regex 需要字符串模式（字段 " + std::string(col) + "），拒绝静默丢弃该条件");
    bool case_insensitive = false;
    std::string unsupported;
    if (const Value* options = ops.find("$options"); options && options->is_string()) {
      for (char flag : options->as_string()) {
        if (flag == 'i' && ctx.backend.id() != Backend::Sqlite) case_insensitive = true;
        else unsupported += flag;
      }
    }
    if (!unsupported.empty()) {
      Status s = note(ctx, "$regex 的 $options 含后端 " + std::string(ctx.backend.name()) + " 无法表达的 flags（" +
                               unsupported + "），相应语义无法生效（字段 " + std::string(col) + "）");
      if (!s) return s.err();
    }
    WhereClause out;
    out.params.push_back(pattern);
    std::string ph;
    ctx.backend.append_placeholder(ph, ++ctx.counter);
    std::string c(col);
    switch (ctx.backend.id()) {
      case Backend::MySql:
        out.text = case_insensitive ? "REGEXP_LIKE(" + c + ", " + ph + ", 'i')" : c + " REGEXP " + ph;
        break;
      case Backend::Postgres: out.text = c + (case_insensitive ? " ~* " : " ~ ") + ph; break;
      case Backend::Sqlite: out.text = c + " REGEXP " + ph; break;
    }
    return out;
  }

  Result<WhereClause> options_alone() const {
    if (ops.contains("$regex")) return WhereClause{};
    Status s = note(ctx, "$options 出现在没有 $regex 的条件中（字段 " + std::string(col) + "），该修饰符无法生效");
    if (!s) return s.err();
    return WhereClause{};
  }

  Result<WhereClause> apply(std::string_view op, const Value& v) const;
};

using OpFn = Result<WhereClause> (*)(const FieldOp&, const Value&);

struct OpEntry {
  std::string_view name;
  OpFn fn;
};

const std::array<OpEntry, 12> kOps = {{
    {"$eq", [](const FieldOp& f, const Value& v) { return f.eq(v); }},
    {"$exists", [](const FieldOp& f, const Value& v) { return f.exists(v); }},
    {"$gt", [](const FieldOp& f, const Value& v) { return Result<WhereClause>(f.binop(">", v)); }},
    {"$gte", [](const FieldOp& f, const Value& v) { return Result<WhereClause>(f.binop(">=", v)); }},
    {"$in", [](const FieldOp& f, const Value& v) { return f.in_list("IN", v, f.ctx.backend.false_text()); }},
    {"$lt", [](const FieldOp& f, const Value& v) { return Result<WhereClause>(f.binop("<", v)); }},
    {"$lte", [](const FieldOp& f, const Value& v) { return Result<WhereClause>(f.binop("<=", v)); }},
    {"$ne", [](const FieldOp& f, const Value& v) { return f.ne(v); }},
    {"$nin", [](const FieldOp& f, const Value& v) { return f.in_list("NOT IN", v, f.ctx.backend.true_text()); }},
    {"$not", [](const FieldOp& f, const Value& v) { return f.negate(v); }},
    {"$options", [](const FieldOp& f, const Value&) { return f.options_alone(); }},
    {"$regex", [](const FieldOp& f, const Value& v) { return f.regex(v); }},
}};

Result<WhereClause> FieldOp::apply(std::string_view op, const Value& v) const {
  for (const OpEntry& e : kOps)
    if (e.name == op) return e.fn(*this, v);
  return Err("不支持的过滤条件操作符: " + std::string(op) + "（字段 " + std::string(col) +
             "；SQL 侧无法安全翻译，拒绝静默丢弃）");
}

constexpr std::array<std::string_view, 3> kLogical = {"$and", "$or", "$nor"};

Result<WhereClause> logical(std::string_view op, const Value& v, const Ctx& ctx) {
  const Array* items = v.if_array();
  if (!items) return Err(std::string(op) + " 需要数组");
  if (op == "$nor" && items->empty()) return Err("$nor 需要非空数组");
  std::vector<WhereClause> parts;
  parts.reserve(items->size());
  size_t counter_before = ctx.counter;
  bool matches_all = false;
  for (const Value& item : *items) {
    Result<WhereClause> c = ctx.root(item);
    if (!c) return c.err();
    matches_all = matches_all || c->empty();
    parts.push_back(std::move(c).value());
  }
  // A member without condition matches every row, and so the OR of the
  // members does: "$nor" then matches none. Joining only the other members
  // would widen it. The members' bound values go, and with them their numbers.
  if (op == "$nor" && matches_all) {
    ctx.counter = counter_before;
    return text_clause(std::string(ctx.backend.false_text()));
  }
  WhereClause joined = and_group(std::move(parts), op == "$and" ? "AND" : "OR");
  if (op != "$nor") return joined;
  joined.text.insert(0, "NOT ");
  return joined;
}

Result<WhereClause> field_member(const std::string& name, const Value& v, const Ctx& ctx) {
  if (ctx.rel_preds) {
    if (std::optional<Result<WhereClause>> rel = ctx.rel_preds->resolve(name, v, ctx.counter, ctx.warnings))
      return std::move(*rel);
  }
  std::optional<std::string> column = ctx.columns ? ctx.columns(name) : std::nullopt;
  if (!column)
    return Err("SQL 后端无法翻译字段 \"" + name + "\" 的过滤条件（复杂 JSON 或未声明字段）：拒绝静默丢弃后返回全表");
  Result<std::string> col = column_expr(ctx, *column);
  if (!col) return col.err();
  return cond_clause(v, *col, name, ctx);
}

}  // namespace

void param_expr(const Value& value, const Ctx& ctx, WhereClause& out) {
  bool cast = ctx.backend.id() == Backend::Postgres && value.is_double();
  if (cast) out.text += "CAST(";
  ctx.backend.append_placeholder(out.text, ++ctx.counter);
  if (cast) out.text += " AS double precision)";
  out.params.push_back(value);
}

WhereClause and_group(std::vector<WhereClause>&& clauses, std::string_view joiner) {
  size_t count = 0, size = 0;
  WhereClause* first = nullptr;
  for (WhereClause& c : clauses) {
    if (c.empty()) continue;
    if (!first) first = &c;
    ++count;
    size += c.text.size() + joiner.size() + 3;
  }
  if (count == 0) return {};
  if (count == 1) return std::move(*first);
  WhereClause out;
  out.text.reserve(size);
  out.text.append(count - 1, '(');
  bool leading = true;
  for (WhereClause& c : clauses) {
    if (c.empty()) continue;
    if (!leading) (((out.text += ' ') += joiner) += ' ');
    out.text += c.text;
    if (!leading) out.text += ')';
    leading = false;
    for (Value& p : c.params) out.params.push_back(std::move(p));
  }
  return out;
}

Result<WhereClause> Ctx::root(const Value& filter) const {
  if (filter.is_null()) return WhereClause{};
  const Object* obj = filter.if_object();
  if (!obj)
    return Err("filter 必须是对象或 null，收到 " + std::string(type_name(filter)) + "（拒绝静默按「无过滤」处理）");
  std::vector<WhereClause> parts;
  parts.reserve(obj->size());
  for (std::string_view op : kLogical) {
    const Value* v = obj->find(op);
    if (!v) continue;
    Result<WhereClause> c = logical(op, *v, *this);
    if (!c) return c.err();
    parts.push_back(std::move(c).value());
  }
  for (const auto& [name, v] : *obj) {
    if (!name.empty() && name[0] == '$') {
      if (std::find(kLogical.begin(), kLogical.end(), name) != kLogical.end()) continue;
      return Err("不支持的过滤条件操作符: " + name + "（SQL 侧无法安全翻译，拒绝静默丢弃）");
    }
    Result<WhereClause> c = field_member(name, v, *this);
    if (!c) return c.err();
    parts.push_back(std::move(c).value());
  }
  return and_group(std::move(parts), "AND");
}

Result<WhereClause> cond_clause(const Value& value, std::string_view col, std::string_view field, const Ctx& ctx) {
  const Object* ops = value.if_object();
  static const Object kNoOps;
  FieldOp f{ctx, col, field, ops ? *ops : kNoOps};
  if (!ops) return f.eq(value);
  std::vector<WhereClause> parts;
  parts.reserve(ops->size());
  for (const auto& [op, v] : *ops) {
    Result<WhereClause> c = f.apply(op, v);
    if (!c) return c.err();
    parts.push_back(std::move(c).value());
  }
  return and_group(std::move(parts), "AND");
}

}  // namespace quorvel
