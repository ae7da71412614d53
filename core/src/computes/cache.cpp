#include "computes/cache.h"

#include "types.h"

namespace quorvel {

namespace {

ComputeEntry entry_of(const std::string& name, const ComputeDef& def) {
  return ComputeEntry{name, std::string(def.ref_name(name)), def.depends};
}

}  // namespace

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
