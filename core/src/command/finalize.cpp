#include "command/finalize.h"

#include "computes/inject.h"
#include "computes/run/async.h"
#include "computes/run/sync.h"
#include "pipeline/ast.h"

namespace quorvel {

namespace {

Array as_items(Value&& items) {
  if (Array* a = items.if_array()) return std::move(*a);
  return {};
}

Value prepared(Array items, Array fn_refs) {
  Object out;
  out.push_back_sorted("fnRefs", Value(std::move(fn_refs)));
  out.push_back_sorted("items", Value(std::move(items)));
  return Value(std::move(out));
}

Array async_fn_refs(const Schema& schema, const Context* ctx) {
  std::vector<ComputeEntry> entries = select_async_fns(schema, ctx);
  Array refs;
  refs.reserve(entries.size());
  for (ComputeEntry& e : entries) refs.emplace_back(std::move(e.fn_ref));
  return refs;
}

}  // namespace

Result<Value> prepare_query(const Value& postprocess, Value items, const Registry& registry, const Context* ctx,
                            FnRegistry* fns) {
  Array docs = as_items(std::move(items));
  if (postprocess.is_null()) return prepared(std::move(docs), Array{});
  const Value* ast = postprocess.get("ast");
  if (!ast) return Err("postprocess 缺少 ast");
  Result<Ast> tree = Ast::from_value(*ast);
  if (!tree) return tree.err();
  Result<SchemaPtr> schema = registry.get(tree->model);
  if (!schema) return schema.err();

  // The selection is digested once and applied to every document.
  ReadPlan plan(std::move(tree->fields), std::move(tree->relations), **schema, registry, ctx);
  for (Value& doc : docs)
    if (Status s = plan.apply(doc, fns); !s) return s.err();
  return prepared(std::move(docs), async_fn_refs(**schema, ctx));
}

Array strip_query(const Value& postprocess, Value items) {
  Array docs = as_items(std::move(items));
  const Value* inject = postprocess.get("inject");
  if (!inject || inject->is_null()) return docs;
  strip_dep_injected(docs, InjectInfo::from_value(*inject));
  return docs;
}

}  // namespace quorvel
