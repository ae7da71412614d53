// Entry of the SQL translation: resolves the command's schema and dispatches
// on its kind. Also the two schema helpers every translator shares.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "dialect/backend.h"
#include "error.h"
#include "json/value.h"
#include "schema/definition.h"

namespace quorvel {

class Registry;

// The translation result {"backend", "stmt", "unsupported", "warnings"}.
Result<Value> translate(Backend backend, const Value& command, const Registry& registry);

// The field is declared with type "boolean" or "bool" (any ASCII case).
bool field_is_bool(const Schema& schema, std::string_view field);
// The column holding a document path (the path itself), or none for paths
// into object and array fields, which have no column.
std::optional<std::string> scalar_column(const Schema& schema, std::string_view path);

}  // namespace quorvel
