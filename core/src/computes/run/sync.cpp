#include "computes/run/sync.h"

namespace quorvel {

Status run_computes(Value& document, const Cache& cache, FnRegistry* fns) {
  if (cache.sync_entries.empty()) return ok();
  if (!fns) return Err("计算列 " + cache.sync_entries.front().name + " 未注册同步实现");
  for (const ComputeEntry& entry : cache.sync_entries) {
    Result<Value> computed = fns->call_sync(entry.fn_ref, document);
    if (!computed) return std::move(computed).error();
    if (Object* o = document.if_object()) o->set(entry.name, std::move(computed).value());
  }
  Object* o = document.if_object();
  if (!o) return ok();
  // A typed computed field never comes back empty: null takes the type default.
  for (const ComputeEntry& entry : cache.sync_entries) {
    const Value* d = cache.compute_defaults.find(entry.name);
    if (!d) continue;
    Value& member = (*o)[entry.name];
    if (member.is_null()) member = *d;
  }
  return ok();
}

}  // namespace quorvel
