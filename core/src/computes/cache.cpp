#include "computes/cache.h"

#include <algorithm>

#include "types.h"

namespace quorvel {

namespace {

ComputeEntry entry_of(const std::string& name, const ComputeDef& def) {
  return ComputeEntry{name, std::string(def.ref_name(name)), def.depends};
}

}  // namespace

const ComputeDef* find_compute(const Schema& schema, std::string_view name) {
  // Computes are kept in ascending name order.
  auto it = std::lower_bound(schema.computes.begin(), schema.computes.end(), name,
                             [](const auto& entry, std::string_view n) { return entry.first < n; });
  return it != schema.computes.end() && it->first == name ? &it->second : nullptr;
}

Cache ensure_cache(const Schema& schema) {
  Cache cache;
  // Both maps are walked in name order, so appending keeps them sorted.
  for (const auto& [name, field] : schema.fields)
    if (field.default_value && !field.default_value->is_null())
      cache.field_defaults.push_back_sorted(name, *field.default_value);
  for (const auto& [name, def] : schema.computes) {
    if (Value d = get_default(def.type); !d.is_null()) cache.compute_defaults.set(name, std::move(d));
    if (def.fn) cache.sync_entries.push_back(entry_of(name, def));
    if (def.async_fn) cache.async_entries.push_back(entry_of(name, def));
  }
  return cache;
}

}  // namespace quorvel
