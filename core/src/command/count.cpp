#include "command/count.h"

#include "command/cmd.h"
#include "pipeline/parse.h"
#include "pipeline/util.h"
#include "types.h"

namespace quorvel {

namespace {

// A scalar command cannot join, so a relation predicate would be dropped and
// the answer widened; refuse it instead.
constexpr std::string_view kCountRelationPredicate =
    "count 不支持关系聚合谓词条件（§9.6）：标量计数无法表达关系谓词，请改用 query 并在调用方自行统计";
constexpr std::string_view kExistsRelationPredicate =
    "exists 不支持关系聚合谓词条件（§9.6）：标量查询无法表达关系谓词，请改用 query 并自行判断是否有结果";

constexpr std::string_view kListCountRelationPredicate =
    "query_with_count 暂不支持关系聚合谓词条件（§9.6）：total 无法与 items 保持一致，请改用 query 并在调用方自行统计";

// Points the directive at `value`: through the parameter it already names,
// else through the reserved parameter.
void bind_page_directive(Ast& tree, Object& params, std::string_view key, std::string_view reserved,
                         Value value) {
  if (auto it = tree.params.find(key); it != tree.params.end()) {
    params.set(std::string(param_name(it->second)), std::move(value));
    return;
  }
  tree.params.emplace(std::string(key), param_reference(reserved));
  params.set(std::string(reserved), std::move(value));
}

Status check_scalar_condition(const Schema& schema, const Value& condition, std::string_view refusal) {
  if (Status s = validate_condition_shape(schema, condition); !s) return s;
  if (has_relation_predicate(schema, condition)) return Err(std::string(refusal));
  return ok();
}

}  // namespace

Result<Value> plan_count(std::string_view model, Value filter, const Registry& registry, const Context* ctx) {
  const bool given = !filter.is_null();
  if (given)
    if (Status s = validate_condition(filter); !s) return s.err();
  Result<SchemaPtr> schema = registry.get(model);
  if (!schema) return schema.err();
  if (given)
    if (Status s = check_scalar_condition(**schema, filter, kCountRelationPredicate); !s) return s.err();
  Value condition = given ? std::move(filter) : Value(Object{});
  condition = merge_owner_condition(**schema, ctx, std::move(condition));
  if (condition.is_null()) condition = Value(Object{});
  return cmd_count_documents(**schema, std::move(condition));
}

Result<Value> plan_exists(std::string_view model, Value condition, const Registry& registry) {
  if (Status s = validate_condition(condition); !s) return s.err();
  Result<SchemaPtr> schema = registry.get(model);
  if (!schema) return schema.err();
  if (Status s = check_scalar_condition(**schema, condition, kExistsRelationPredicate); !s) return s.err();
  return cmd_find_one(**schema, std::move(condition), Value(Object{{"_id", Value(1)}}));
}

Value CountQueryPlan::to_value() && {
  Value out = std::move(list).to_value();
  out.as_object().set("countCommand", std::move(count_command));
  return out;
}

Result<CountQueryPlan> plan_query_with_count(std::string_view gql, Object params, const Registry& registry,
                                             const Context* ctx) {
  Result<Ast> tree = parse_gql(gql);
  if (!tree) return tree.err();
  Result<SchemaPtr> found = registry.get(tree->model);
  if (!found) return found.err();
  const Schema& schema = **found;

  const Page page = resolve_page(*tree, params);
  if (params.contains("page") || params.contains("pageSize")) {
    bind_page_directive(*tree, params, "skip", kPageSkipParam, page_number(page.page * page.page_size));
    bind_page_directive(*tree, params, "limit", kPageLimitParam, page_number(page.page_size));
  }

  const Value* root_condition = directive_value(tree->params, "condition", params);
  Value count_condition =
      merge_owner_condition(schema, ctx, root_condition ? *root_condition : Value(Object{}));
  if (count_condition.is_null()) count_condition = Value(Object{});
  // The list applies relation predicates through joins; a count cannot, and
  // its total would disagree with the items.
  if (has_relation_predicate(schema, count_condition)) return Err(std::string(kListCountRelationPredicate));

  Result<QueryPlan> list = plan_query_ast_mut(*tree, params, registry, ctx);
  if (!list) return list.err();
  return CountQueryPlan{std::move(list).value(), cmd_count_documents(schema, std::move(count_condition)), page};
}

}  // namespace quorvel
