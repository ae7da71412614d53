#include "computes/run/async.h"

#include "pipeline/util.h"

namespace quorvel {

std::vector<ComputeEntry> select_async_fns(const Schema& schema, const Context* ctx) {
  std::vector<ComputeEntry> entries = ensure_cache(schema).async_entries;
  if (!ctx) return entries;
  std::erase_if(entries, [&](const ComputeEntry& e) {
    const ComputeDef* def = find_compute(schema, e.name);
    return def && def->read && !evaluate(ctx, def->read, OwnerCheck::assume_owner());
  });
  return entries;
}

}  // namespace quorvel
