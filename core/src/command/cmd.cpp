#include "command/cmd.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace quorvel {

namespace {

Object command_head(const Schema& schema, const char* kind) {
  Object cmd;
  cmd.reserve(7);
  cmd.set("kind", Value(kind));
  cmd.set("collection", Value(schema.collection));
  return cmd;
}

Value finish(Object&& cmd, const Schema& schema) {
  with_loc(cmd, schema);
  return Value(std::move(cmd));
}

Value projection_value(std::optional<Value>&& projection) {
  return projection ? std::move(*projection) : Value();
}

}  // namespace

void with_loc(Object& command, const Schema& schema) {
  command.set("source", Value(schema.datasource ? *schema.datasource : std::string("default")));
  const bool has_ns = schema.namespace_ && !schema.namespace_->empty();
  command.set("namespace", has_ns ? Value(*schema.namespace_) : Value());
}

Value cmd_find(const Schema& schema, Value filter, std::optional<Value> projection) {
  Object cmd = command_head(schema, "find");
  cmd.set("filter", std::move(filter));
  cmd.set("projection", projection_value(std::move(projection)));
  return finish(std::move(cmd), schema);
}

Value cmd_find_one(const Schema& schema, Value filter, std::optional<Value> projection) {
  Object cmd = command_head(schema, "findOne");
  cmd.set("filter", std::move(filter));
  cmd.set("projection", projection_value(std::move(projection)));
  return finish(std::move(cmd), schema);
}

Value cmd_aggregate(const Schema& schema, Array pipeline) {
  Object cmd = command_head(schema, "aggregate");
  cmd.set("pipeline", Value(std::move(pipeline)));
  return finish(std::move(cmd), schema);
}

Value cmd_count_documents(const Schema& schema, Value filter) {
  Object cmd = command_head(schema, "countDocuments");
  cmd.set("filter", std::move(filter));
  return finish(std::move(cmd), schema);
}

Value cmd_insert_one(const Schema& schema, Value doc) {
  Object cmd = command_head(schema, "insertOne");
  cmd.set("doc", std::move(doc));
  return finish(std::move(cmd), schema);
}

Value cmd_insert_many(const Schema& schema, Array docs) {
  Object cmd = command_head(schema, "insertMany");
  cmd.set("docs", Value(std::move(docs)));
  return finish(std::move(cmd), schema);
}

Value cmd_update_many(const Schema& schema, Value filter, Value update) {
  Object cmd = command_head(schema, "updateMany");
  cmd.set("filter", std::move(filter));
  cmd.set("update", std::move(update));
  return finish(std::move(cmd), schema);
}

Value cmd_find_one_and_update(const Schema& schema, Value filter, Value update, Value options) {
  Object cmd = command_head(schema, "findOneAndUpdate");
  cmd.set("filter", std::move(filter));
  cmd.set("update", std::move(update));
  cmd.set("options", std::move(options));
  return finish(std::move(cmd), schema);
}

Value cmd_delete_many(const Schema& schema, Value filter) {
  Object cmd = command_head(schema, "deleteMany");
  cmd.set("filter", std::move(filter));
  return finish(std::move(cmd), schema);
}

// ---- route override -------------------------------------------------------

void apply_route_override(Value& result, const Value& route_override) {
  const Object* o = route_override.if_object();
  if (!o || o->empty()) return;
  const Value* source = o->find("source");
  const std::string* source_text =
      source && source->is_string() && !source->as_string().empty() ? &source->as_string() : nullptr;
  override_walk(result, source_text, o->find("namespace"));
}

namespace {

// Members of planning results that hand the caller's data back (the query
// tree and sort stage kept for post-processing, the documents an insert
// returns) and never hold a command: a relation, sort key or document field
// named "kind" beside one named "collection" must not gain location keys.
constexpr std::string_view kDataMembers[] = {"postprocess", "returns", "sort"};

bool is_data_member(std::string_view key) {
  return std::find(std::begin(kDataMembers), std::end(kDataMembers), key) != std::end(kDataMembers);
}

}  // namespace

void override_walk(Value& value, const std::string* source, const Value* ns) {
  if (Array* a = value.if_array()) {
    for (Value& e : *a) override_walk(e, source, ns);
    return;
  }
  Object* o = value.if_object();
  if (!o) return;
  if (o->contains("kind") && o->contains("collection")) {
    if (source) o->set("source", Value(*source));
    if (ns) o->set("namespace", *ns);
    // A command's members are the caller's data (filters, documents to
    // write, pipelines); a document that happens to hold "kind" and
    // "collection" must not gain location keys.
    return;
  }
  // Commands may sit anywhere else (steps of a mutation, a probe, a count
  // beside a list plan), so every other member is searched.
  for (auto& member : *o)
    if (!is_data_member(member.first)) override_walk(member.second, source, ns);
}

// ---- to_number ------------------------------------------------------------

namespace {

// Length of the Unicode white-space character at the start of `s`, or 0.
size_t whitespace_len(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
  if (s.size() >= 2 && b0 == 0xC2) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    return b1 == 0x85 || b1 == 0xA0 ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  const auto b2 = static_cast<unsigned char>(s[2]);
  if (b0 == 0xE1 && b1 == 0x9A && b2 == 0x80) return 3;  // U+1680
  if (b0 == 0xE2 && b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF))
    return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
  if (b0 == 0xE2 && b1 == 0x81 && b2 == 0x9F) return 3;  // U+205F
  if (b0 == 0xE3 && b1 == 0x80 && b2 == 0x80) return 3;  // U+3000
  return 0;
}

// Length of the Unicode white-space character that ends `s`, or 0.
size_t trailing_whitespace_len(std::string_view s) {
  for (size_t n = 1; n <= 3 && n <= s.size(); ++n)
    if (whitespace_len(s.substr(s.size() - n)) == n) return n;
  return 0;
}

std::string_view trim_unicode(std::string_view s) {
  while (size_t n = whitespace_len(s)) s.remove_prefix(n);
  while (size_t n = trailing_whitespace_len(s)) s.remove_suffix(n);
  return s;
}

bool is_signed_digits(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (s.empty()) return true;  // a lone sign takes the integer path and fails there
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

double parse_integer_text(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  int64_t n = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size()) return 0.0;
  return static_cast<double>(n);
}

// Decimal floating-point text as a number, "inf" and "nan" spellings
// included; anything else (hex, inner spaces) is unparsable.
double parse_float_text(std::string_view s) {
  std::string_view body = s;
  if (!body.empty() && body[0] == '+') body.remove_prefix(1);
  if (body.size() < s.size() && !body.empty() && (body[0] == '+' || body[0] == '-')) return 0.0;
  if (body.empty()) return 0.0;
  double d = 0.0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), d);
  if (end != body.data() + body.size()) return 0.0;
  if (ec == std::errc::result_out_of_range) {
    // Valid text beyond the double range: let strtod round it to ±inf or ±0.
    d = std::strtod(std::string(body).c_str(), nullptr);
  } else if (ec != std::errc()) {
    return 0.0;
  }
  return std::isnan(d) ? 0.0 : d;
}

double string_to_number(std::string_view text) {
  std::string_view s = trim_unicode(text);
  if (s.empty()) return 0.0;
  if (is_signed_digits(s)) return parse_integer_text(s);
  return parse_float_text(s);
}

}  // namespace

double to_number(const Value* value) {
  if (!value) return 0.0;
  switch (value->kind()) {
    case Kind::Bool: return value->as_bool() ? 1.0 : 0.0;
    case Kind::UInt: return static_cast<double>(value->as_uint());
    case Kind::Int: return static_cast<double>(value->as_int());
    case Kind::Double: {
      const double d = value->as_double();
      return std::isnan(d) ? 0.0 : std::trunc(d);
    }
    case Kind::String: return string_to_number(value->as_string());
    case Kind::Null:
    case Kind::Array:
    case Kind::Object: break;
  }
  return 0.0;
}

}  // namespace quorvel
