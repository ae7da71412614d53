#include "pipeline/projection.h"

#include "permission.h"

namespace quorvel {

namespace {

// The key a dependency contributes: "author{name}" needs the member author.
std::string_view dependency_key(std::string_view dep) {
  size_t brace = dep.find('{');
  if (brace == std::string_view::npos) return dep;
  std::string_view key = dep.substr(0, brace);
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  size_t first = key.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return key.substr(first, key.find_last_not_of(kSpace) - first + 1);
}

// A member selected whole absorbs its sub-paths, whatever the order in which
// the selection named them.
void absorb_sub_paths(StringSet& paths, const StringSet& dotted_roots) {
  for (const std::string& root : dotted_roots) {
    if (!paths.contains(root)) continue;
    std::string prefix = root + ".";
    auto it = paths.lower_bound(prefix);
    while (it != paths.end() && it->starts_with(prefix)) it = paths.erase(it);
  }
}

void drop_unreadable(StringSet& out, const Schema& schema, const Context* ctx) {
  std::optional<NameSet> readable = get_readable_fields(schema, ctx);
  if (!readable) return;
  for (auto it = out.begin(); it != out.end();) {
    bool hidden = *it != "_id" && schema.field(*it) && !readable->contains(*it);
    it = hidden ? out.erase(it) : std::next(it);
  }
}

}  // namespace

void append_compute_deps(StringSet& out, const Schema& schema, const StringSet& dotted_roots) {
  for (const auto& [_, compute] : schema.computes) {
    if (!compute.fn && !compute.async_fn) continue;
    for (const std::string& dep : compute.depends) {
      // A whole member beside a selected sub-path of it is a path collision;
      // the dotted selection wins, also for "meta{a}"-style dependencies.
      std::string_view key = dependency_key(dep);
      if (!key.empty() && !dotted_roots.contains(key)) out.emplace(key);
    }
  }
}

std::optional<Object> build_projection(const Ast& tree, const Schema& schema, const Context* ctx) {
  if (tree.fields.empty()) return std::nullopt;
  StringSet paths, whole, dotted_roots;
  bool any = false;
  for (const std::string& f : tree.fields) {
    if (find_compute(schema, f)) continue;
    size_t dot = f.find('.');
    if (dot == std::string::npos) {
      if (!schema.field(f)) continue;
      paths.insert(f);
      whole.insert(f);
      any = true;
      continue;
    }
    std::string_view root = std::string_view(f).substr(0, dot);
    if (!schema.field(root)) continue;
    dotted_roots.emplace(root);
    any = true;
    if (!whole.contains(root)) paths.insert(f);
  }
  if (!any) return std::nullopt;
  absorb_sub_paths(paths, dotted_roots);

  StringSet out = std::move(paths);
  out.emplace("_id");
  append_compute_deps(out, schema, dotted_roots);
  for (const std::string& f : tree.fields)
    if (const ComputeDef* c = find_compute(schema, f); c && c->agg && !c->fn && !c->async_fn) out.insert(f);
  for (const auto& [name, _] : tree.relations) out.insert(name);
  if (ctx) drop_unreadable(out, schema, ctx);
  drop_covered_paths(out);

  Object projection;
  projection.reserve(out.size());
  for (const std::string& key : out) projection.push_back_sorted(key, Value(1));
  return projection;
}

}  // namespace quorvel
