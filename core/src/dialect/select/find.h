// The simple reads (find, findOne, countDocuments) as one SELECT each, and the
// SELECT helpers the aggregate translators share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dialect/backend.h"
#include "dialect/filter.h"
#include "dialect/ir.h"
#include "error.h"
#include "json/value.h"
#include "schema/definition.h"

namespace quorvel {

class Registry;

// The alias of the main table in every SELECT.
inline constexpr std::string_view kMainAlias = "t";

// The schema a statement reads, with its table name already qualified by the
// namespace in force for the command (which may re-target the schema's own).
struct Target {
  const Schema& schema;
  std::string table;
};

Result<SqlStmt> translate_find(Backend backend, const Target& target, const Value& filter, const Value* projection,
                               std::vector<std::string>& warnings);
Result<SqlStmt> translate_count(Backend backend, const Target& target, const Value& filter,
                                std::vector<std::string>& warnings);

// Refuses included members that have no column: a read must not quietly
// return documents missing what was asked for.
Status check_projection_supported(const Schema& schema, const Value& projection);
// The included member names in key order, or every declared field when the
// projection includes nothing.
std::vector<std::string> projection_fields(const Schema& schema, const Value* projection);
// The column resolver of a statement on `schema` (scalar_column).
ColumnResolver col_fn(const Schema& schema);

struct LimitOffset {
  std::string text;
  Array params;
};
// " LIMIT .. OFFSET .." per backend; skip counts only when greater than 0.
LimitOffset limit_offset_sql(Backend backend, std::optional<int64_t> limit, int64_t skip, size_t& counter);

// f for the expression counting the non-null values of "$f":
// {"$cond": [{"$eq": [{"$ifNull": ["$f", …]}, null]}, 0, 1]}.
std::optional<std::string> count_field_pattern(const Value& expr);

// The relation behind a $lookup stage.
struct Join {
  std::string relation;
  std::string as;
  std::string target;
  std::string local_field;
  std::string foreign_field;
  bool one = false;
  std::vector<std::string> path;
  std::vector<bool> ones;
};
// By the relation named `as`, else by the first relation whose target model
// is named `from` or lives in the collection `from`.
std::optional<Join> resolve_join(const Schema& schema, const Registry& registry, std::string_view as,
                                 std::string_view from);

}  // namespace quorvel
