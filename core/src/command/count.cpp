#include "command/count.h"

#include "command/cmd.h"
#include "types.h"

namespace quorvel {

namespace {

// A scalar command cannot join, so a relation predicate would be dropped and
// the answer widened; refuse it instead.
constexpr std::string_view kCountRelationPredicate =
    "count 不支持关系聚合谓词条件（§9.6）：标量计数无法表达关系谓词，请改用 query 并在调用方自行统计";
constexpr std::string_view kExistsRelationPredicate =
    "exists 不支持关系聚合谓词条件（§9.6）：标量查询无法表达关系谓词，请改用 query 并自行判断是否有结果";

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

}  // namespace quorvel
