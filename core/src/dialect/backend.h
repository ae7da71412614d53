// The three SQL backends and the few places where their SQL differs:
// identifier quoting, placeholders and a handful of literal texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace quorvel {

// Lower-cases ASCII letters only; backend names are ASCII.
std::string ascii_lower(std::string_view s);

class Backend {
 public:
  enum Id : uint8_t { MySql, Postgres, Sqlite };

  constexpr Backend(Id id) : id_(id) {}

  // Case-insensitive: "mysql"; "pg", "postgres", "postgresql"; "sqlite".
  static Result<Backend> parse(std::string_view name);

  Id id() const { return id_; }
  // "mysql", "postgres" or "sqlite".
  std::string_view name() const;

  // The name between the backend's identifier quotes, inner quotes doubled.
  // A NUL byte cannot be quoted on any backend, so such a name is refused, as
  // is a name longer than PostgreSQL keeps.
  Result<std::string> quote_ident(std::string_view name) const;
  Status append_ident(std::string& out, std::string_view name) const;
  // "ns"."table", or the quoted table alone without a namespace.
  Result<std::string> qualified_table(const std::optional<std::string>& namespace_, std::string_view table) const;

  // Appends the placeholder of the n-th bound value of a statement (from 1).
  void append_placeholder(std::string& out, size_t n) const;

  // Constant conditions. PostgreSQL refuses the integers 0 and 1 where a
  // boolean is expected, so it gets the keywords.
  std::string_view false_text() const;
  std::string_view true_text() const;

  // In MySQL's default sql_mode a backslash escapes inside a string literal,
  // and whether it does depends on a server setting the statement cannot see.
  bool backslash_in_literals_is_ambiguous() const { return id_ == MySql; }
  // PostgreSQL reads it by standard_conforming_strings, except in an E''
  // literal, where it is always an escape.
  bool has_escape_string_literals() const { return id_ == Postgres; }

  bool operator==(const Backend&) const = default;

 private:
  Id id_;
};

}  // namespace quorvel
