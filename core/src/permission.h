// The permission engine: pure decisions over one call's context and one
// schema. Nothing here fails; callers turn a denial into their own
// "ERR_PERMISSION:" message. Without a context everything is allowed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "json/value.h"
#include "schema/definition.h"

namespace quorvel {

inline constexpr std::string_view kOwnerField = "createdBy";
inline constexpr std::string_view kCreatorRule = "creator";

struct Context {
  std::optional<std::string> user_id;
  std::optional<std::vector<std::string>> roles;
  std::optional<std::string> role;
  bool internal = false;

  // Only the roles list can make an administrator; a single role cannot.
  bool is_admin() const;
  bool has_role(std::string_view name) const;
};

// The context a host document describes; none for anything but an object.
std::optional<Context> context_from_value(const Value& v);

// How a "creator" rule is decided: assumed to hold for a context with a user
// id (the caller enforces ownership otherwise), or by the owner field of one
// document.
struct OwnerCheck {
  const Value* document = nullptr;

  static OwnerCheck assume_owner() { return {}; }
  static OwnerCheck of_document(const Value& doc) { return {&doc}; }
};

// Names of a schema's fields, relations or computes. The names view the
// schema, so a set must not outlive it. Absent means nothing is restricted.
using NameSet = std::unordered_set<std::string_view>;

bool evaluate(const Context* ctx, const std::optional<RuleList>& rules, OwnerCheck owner);

bool can_read_schema(const Schema& schema, const Context* ctx);
bool can_write_schema(const Schema& schema, const Context* ctx);

std::optional<NameSet> get_readable_fields(const Schema& schema, const Context* ctx);
std::optional<NameSet> get_writable_fields(const Schema& schema, const Context* ctx);
std::optional<NameSet> get_readable_relations(const Schema& schema, const Context* ctx);
std::optional<NameSet> get_readable_computes(const Schema& schema, const Context* ctx);

// By the path's root; undeclared fields are not restricted.
bool is_field_readable(const Schema& schema, const Context* ctx, std::string_view path);
bool is_relation_readable(const Schema& schema, const Context* ctx, std::string_view name);

// Whether a read must be narrowed to the caller's own documents.
bool should_inject_owner_condition(const Schema& schema, const Context* ctx);
// Adds {"createdBy": userId} to the condition where required. Null stands for
// no condition, and a falsy condition is replaced by the owner condition.
Value merge_owner_condition(const Schema& schema, const Context* ctx, Value condition);
// Keeps "_id" and the members whose root field the context may write.
Value filter_writable_data(const Schema& schema, const Context* ctx, Value data);

}  // namespace quorvel
