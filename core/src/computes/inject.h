// Data that asynchronous computed fields depend on: added to a query's
// selection before planning, recorded exactly, and removed again after the
// host has computed its fields.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "json/value.h"
#include "pipeline/ast.h"
#include "schema/definition.h"

namespace quorvel {

// Fields an asynchronous compute needs from one relation's documents.
struct RelDep {
  std::string name;
  std::vector<std::string> fields;  // first appearance order, no repeats

  Value to_value() const;
};

// What was added for one relation: the whole relation selection, or these
// fields of a relation the query already selected.
struct Injected {
  bool all = false;
  std::vector<std::string> fields;

  static Injected whole() { return Injected{true, {}}; }
  Value to_value() const;
};

struct InjectInfo {
  std::vector<std::pair<std::string, Injected>> relations;  // dependency order
  std::vector<std::string> fields;                          // root fields, in order added

  bool empty() const { return relations.empty() && fields.empty(); }
  // {"inject": {"fields"?: [...], "relations"?: {...}}}
  Value to_value() const;
  // Accepts the wrapped form or the inner object; never fails.
  static InjectInfo from_value(const Value& v);
};

// The entry named `name`, appended without fields when missing.
RelDep& dep_slot(std::vector<RelDep>& deps, std::string_view name);

// The relations the asynchronous computes read, with the fields they need
// from them; fails with the parser's message on a bad "{" dependency.
Result<std::vector<RelDep>> collect_rel_deps(const Schema& schema);

// Adds each dependency to the selected relations: missing fields to a
// relation the query selects, else the whole relation at the end.
InjectInfo inject_into_ast(RelationList& relations, const std::vector<RelDep>& deps);

// collect_rel_deps, then inject_into_ast; no parsing without asynchronous computes.
Result<InjectInfo> merge_depends_into_ast(RelationList& relations, const Schema& schema);

// Appends to `fields` every root field that an asynchronous compute depends
// on and the selection lacks; returns the names added.
std::vector<std::string> collect_field_deps(std::vector<std::string>& fields, const Schema& schema);

// Removes from each object item what the record says was injected.
void strip_dep_injected(Array& items, const InjectInfo& record);

}  // namespace quorvel
