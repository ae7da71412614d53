// The statement representation handed to the host: SQL text with bound
// parameters, and the row shape that tells how to rebuild documents from the
// statement's flat result rows.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialect/backend.h"
#include "error.h"
#include "json/value.h"

namespace quorvel {

struct RowShape;

// One result column and where its value goes in the document.
struct RowCol {
  std::string alias;
  std::vector<std::string> path;
  // Per path level that is a relation: whether it yields one document.
  std::vector<bool> ones;
  std::unique_ptr<RowShape> sub_shape;
  bool is_array = false;
  bool one = false;
  bool always = false;
  bool boolean = false;

  RowCol() = default;
  RowCol(const RowCol& other);
  RowCol& operator=(const RowCol& other);
  RowCol(RowCol&&) noexcept = default;
  RowCol& operator=(RowCol&&) noexcept = default;
  ~RowCol();

  // A plain column of the main document.
  static RowCol scalar(std::string alias, std::vector<std::string> path, bool boolean);

  // Whether the relation at path level `depth` yields one document.
  bool one_at(size_t depth) const { return depth < ones.size() ? ones[depth] : one; }

  Value to_value() const;
};

struct RowShape {
  std::vector<RowCol> columns;
  // The result column carrying the presence list ("__present").
  std::optional<std::string> present;

  Value to_value() const;
  static Result<RowShape> from_value(const Value& v);
};

// The presence column every stored table carries.
inline constexpr std::string_view kPresentColumn = "__present";

struct SqlStmt {
  std::string text;
  Array params;
  std::vector<std::string> returning;
  std::optional<RowShape> row_shape;
  bool is_write = false;

  Value to_value() &&;
};

// What the translators produce for one command.
struct Translation {
  std::vector<SqlStmt> stmts;
  std::vector<std::string> warnings;
  // Work the host must do on the restored documents itself.
  Array unsupported;

  Value to_value(Backend backend) &&;
};

}  // namespace quorvel
