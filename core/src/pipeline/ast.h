// The query tree produced by the parser and consumed by the planners,
// the pipeline builders and read post-processing; it crosses the host
// boundary in the JSON form of to_value / from_value.
//
// JSON form of a level:
//   {"fields": [name, ...], "params": {key: "@ref", ...},
//    "relations": {name: <level>, ...}}          plus "model" at the root.
// "relations" being an object, the JSON form lists relations by name and keeps
// only the last of two relations of the same name.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "json/value.h"

namespace quorvel {

// Directive key without its leading "$" ("limit") → the text of the parameter
// reference it was given ("@n"). Keys are unique; a later one replaced an
// earlier one.
using DirectiveMap = std::map<std::string, std::string, std::less<>>;

struct RelAst;
// Selected relations of one level in text order, repeats kept.
using RelationList = std::vector<std::pair<std::string, RelAst>>;

// A relation's sub-query; its model comes from the relation definition.
struct RelAst {
  DirectiveMap params;
  // Selected plain fields in text order, repeats kept; may hold dotted paths.
  std::vector<std::string> fields;
  RelationList relations;

  Value to_value() const;
  // Fails with "RelAst 必须是对象" for a non-object at any level.
  static Result<RelAst> from_value(const Value& v);
};

// Root of a query.
struct Ast {
  std::string model;
  DirectiveMap params;
  std::vector<std::string> fields;
  RelationList relations;

  Value to_value() const;
  // Fails with "Ast 必须是对象" for a non-object root.
  static Result<Ast> from_value(const Value& v);
};

}  // namespace quorvel
