// MongoDB-style filters as SQL conditions. Anything that cannot be expressed
// exactly is refused: a dropped condition would widen a read, an update or a
// delete to the whole table.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dialect/backend.h"
#include "error.h"
#include "json/value.h"

namespace quorvel {

// A SQL boolean expression and the values bound to its placeholders; the
// empty text means no condition.
struct WhereClause {
  std::string text;
  Array params;

  bool empty() const { return text.empty(); }
};

// A filter field name to its SQL column (or, without a table alias, to a
// ready expression); none when the field has no column.
using ColumnResolver = std::function<std::optional<std::string>(std::string_view field)>;

// Conditions on related documents, installed by the aggregate translators.
class RelPredResolver {
 public:
  virtual ~RelPredResolver() = default;
  // None when `field` is no relation predicate and is to be treated as a field.
  virtual std::optional<Result<WhereClause>> resolve(std::string_view field, const Value& condition, size_t& counter,
                                                     std::vector<std::string>* warnings) = 0;
};

struct Ctx {
  Backend backend;
  // "t" for the main table; empty when the resolver returns expressions.
  std::string alias;
  ColumnResolver columns;
  RelPredResolver* rel_preds = nullptr;
  // Values bound so far in the whole statement; PostgreSQL numbers from it.
  size_t& counter;
  // Receives non-fatal notes; without it they are errors.
  std::vector<std::string>* warnings = nullptr;

  Result<WhereClause> root(const Value& filter) const;
};

// Joins the non-empty clauses left to right: ((a AND b) AND c).
WhereClause and_group(std::vector<WhereClause>&& clauses, std::string_view joiner);

// The condition `value` on one field whose column expression is `col`.
Result<WhereClause> cond_clause(const Value& value, std::string_view col, std::string_view field, const Ctx& ctx);

// Binds `value` as the next parameter and appends its placeholder; PostgreSQL
// gets floats cast so that an untyped driver parameter compares numerically.
void param_expr(const Value& value, const Ctx& ctx, WhereClause& out);

}  // namespace quorvel
