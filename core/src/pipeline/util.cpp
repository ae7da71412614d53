#include "pipeline/util.h"

#include <algorithm>

#include "permission.h"

namespace quorvel {

Value one_member(std::string key, Value value) {
  Object o;
  o.push_back_sorted(std::move(key), std::move(value));
  return Value(std::move(o));
}

std::string quoted(std::string_view name) {
  std::string s;
  s.reserve(name.size() + 2);
  s += '"';
  s += name;
  s += '"';
  return s;
}

std::string undefined_relation(std::string_view relation, std::string_view schema) {
  return "关系 " + quoted(relation) + " 未在 schema " + quoted(schema) + " 中定义";
}

std::string field_ref(std::string_view name) {
  std::string s;
  s.reserve(name.size() + 1);
  s += '$';
  s += name;
  return s;
}

const Value* directive_value(const DirectiveMap& directives, std::string_view key, const Object& params) {
  auto it = directives.find(key);
  if (it == directives.end() || it->second.empty()) return nullptr;
  const std::string& text = it->second;
  // The sigil is one character; a multi-byte first character leaves no name.
  std::string_view name = static_cast<unsigned char>(text[0]) < 0x80 ? std::string_view(text).substr(1)
                                                                      : std::string_view();
  const Value* v = params.find(name);
  return v && !v->is_null() ? v : nullptr;
}

const ComputeDef* find_compute(const Schema& schema, std::string_view name) {
  auto it = std::lower_bound(schema.computes.begin(), schema.computes.end(), name,
                             [](const auto& entry, std::string_view n) { return entry.first < n; });
  return it != schema.computes.end() && it->first == name ? &it->second : nullptr;
}

std::optional<Value> owner_condition(const Schema& target, const Context* ctx) {
  Value merged = merge_owner_condition(target, ctx, Value());
  if (merged.is_null()) return std::nullopt;
  return merged;
}

void drop_covered_paths(StringSet& paths) {
  auto covered = [&](std::string_view path) {
    for (size_t dot = path.find('.'); dot != std::string_view::npos; dot = path.find('.', dot + 1))
      if (paths.contains(path.substr(0, dot))) return true;
    return false;
  };
  for (auto it = paths.begin(); it != paths.end();) it = covered(*it) ? paths.erase(it) : std::next(it);
}

void append_order(Array& stages, const Value* sort, const Value* skip, const Value* limit) {
  if (sort && !sort->is_null()) stages.push_back(one_member("$sort", *sort));
  if (skip && !skip->is_null()) stages.push_back(one_member("$skip", *skip));
  if (limit && !limit->is_null()) stages.push_back(one_member("$limit", *limit));
}

}  // namespace quorvel
