#include "pipeline/util.h"

#include <algorithm>
#include <vector>

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

bool path_less(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (a[i] == '.') return true;
    if (b[i] == '.') return false;
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

void drop_covered_paths(StringSet& paths) {
  // In path order the paths below a path follow it directly, so one pass
  // against the last uncovered path finds them all.
  std::vector<std::string_view> ordered(paths.begin(), paths.end());
  std::sort(ordered.begin(), ordered.end(), path_less);
  std::vector<std::string_view> covered;
  std::string_view outer;
  bool have_outer = false;
  for (std::string_view path : ordered) {
    if (have_outer && path.size() > outer.size() && path[outer.size()] == '.' && path.starts_with(outer))
      covered.push_back(path);
    else
      outer = path, have_outer = true;
  }
  for (std::string_view path : covered) paths.erase(paths.find(path));
}

void append_order(Array& stages, const Value* sort, const Value* skip, const Value* limit) {
  if (sort && !sort->is_null()) stages.push_back(one_member("$sort", *sort));
  if (skip && !skip->is_null()) stages.push_back(one_member("$skip", *skip));
  if (limit && !limit->is_null()) stages.push_back(one_member("$limit", *limit));
}

}  // namespace quorvel
