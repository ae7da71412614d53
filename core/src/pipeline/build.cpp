#include "pipeline/build.h"

namespace quorvel {

namespace {

bool is_structured_object(const Schema& schema, std::string_view name) {
  const FieldDef* f = schema.field(name);
  return f && f->type == "object" && f->fields.has_value();
}

}  // namespace

void flatten_object_fields_impl(std::vector<std::string>& fields, RelationList& relations, const Schema& schema) {
  if (relations.empty() || schema.fields.empty()) return;
  RelationList kept;
  kept.reserve(relations.size());
  for (auto& [name, sub] : relations) {
    if (!is_structured_object(schema, name)) {
      kept.emplace_back(std::move(name), std::move(sub));
      continue;
    }
    for (const std::string& f : sub.fields) fields.push_back(name + "." + f);
  }
  relations = std::move(kept);
}

}  // namespace quorvel
