#include <gtest/gtest.h>

#include <string>

#include "schema/definition.h"
#include "schema/registry.h"

namespace quorvel {
namespace {

// Definitions are written as JSON-ish literals through the value builders.
Value obj(std::initializer_list<Object::Member> m) { return Value(Object(m)); }
Value arr(std::initializer_list<Value> a) { return Value(Array(a)); }

Schema build(const Value& defn) {
  Result<Schema> r = build_schema(defn, "M", "m");
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : Schema{};
}

std::vector<std::string> field_names(const Schema& s) {
  std::vector<std::string> out;
  for (const auto& [name, f] : s.fields) out.push_back(name);
  return out;
}

TEST(BuildSchema, MinimalDefinitionGetsTimestampFieldsOnly) {
  Schema s = build(obj({{"name", "M"}}));
  EXPECT_EQ(s.name, "M");
  EXPECT_EQ(s.collection, "m");
  EXPECT_EQ(s.id_prefix, "");
  EXPECT_TRUE(s.timestamps);
  EXPECT_EQ(field_names(s), (std::vector<std::string>{"createdAt", "updatedAt"}));
  EXPECT_EQ(s.field("createdAt")->type, "number");
  EXPECT_FALSE(s.read || s.write || s.datasource || s.namespace_);
  EXPECT_TRUE(s.relations.empty() && s.computes.empty() && s.indexes.empty());
}

TEST(BuildSchema, TimestampsSetting) {
  struct Case {
    Value value;
    bool on;
  } cases[] = {{Value(), true}, {Value(true), true}, {Value("ms"), true}, {Value("s"), true}, {Value(false), false}};
  for (const Case& c : cases) {
    Schema s = build(obj({{"name", "M"}, {"timestamps", c.value}}));
    EXPECT_EQ(s.timestamps, c.on);
    EXPECT_EQ(s.fields.contains("createdAt"), c.on);
    EXPECT_EQ(s.fields.contains("updatedAt"), c.on);
  }
  // A declared timestamp field keeps its declaration.
  Schema s = build(obj({{"name", "M"}, {"fields", obj({{"createdAt", "string"}})}}));
  EXPECT_EQ(s.field("createdAt")->type, "string");
  EXPECT_EQ(s.field("updatedAt")->type, "number");
}

TEST(BuildSchema, FieldDefinitionsNormalise) {
  Schema s = build(obj({{"name", "M"},
                        {"timestamps", false},
                        {"fields", obj({
                                       {"plain", "int"},
                                       {"odd", obj({{"type", 3}, {"required", "yes"}, {"default", Value()}})},
                                       {"full", obj({{"type", "object"},
                                                     {"required", true},
                                                     {"default", obj({{"k", 1}})},
                                                     {"read", arr({"a", 1, "b"})},
                                                     {"write", "admin"},
                                                     {"fields", obj({})}})},
                                       {"falsy_nested", obj({{"fields", 0}})},
                                   })}}));
  EXPECT_EQ(field_names(s), (std::vector<std::string>{"falsy_nested", "full", "odd", "plain"}));
  const FieldDef& plain = *s.field("plain");
  EXPECT_EQ(plain.type, "int");
  EXPECT_FALSE(plain.required || plain.default_value || plain.read || plain.write || plain.fields);
  const FieldDef& odd = *s.field("odd");
  EXPECT_EQ(odd.type, "");
  EXPECT_FALSE(odd.required);
  ASSERT_TRUE(odd.default_value);  // an explicit null default stays explicit
  EXPECT_TRUE(odd.default_value->is_null());
  const FieldDef& full = *s.field("full");
  EXPECT_TRUE(full.required);
  EXPECT_EQ(*full.default_value, obj({{"k", 1}}));
  EXPECT_EQ(*full.read, (RuleList{"a", "b"}));
  EXPECT_FALSE(full.write);
  ASSERT_TRUE(full.fields);  // an empty object is truthy and kept
  EXPECT_EQ(*full.fields, obj({}));
  EXPECT_FALSE(s.field("falsy_nested")->fields);
}

TEST(BuildSchema, RelationsTakeDefaults) {
  Schema s = build(obj({{"name", "M"},
                        {"relations", obj({
                                          {"author", obj({{"model", "User"}, {"type", "one"}})},
                                          {"bare", 7},
                                          {"custom", obj({{"model", ""},
                                                          {"type", 1},
                                                          {"localField", "uid"},
                                                          {"foreignField", "id"},
                                                          {"read", arr({"x"})}})},
                                      })}}));
  struct Expect {
    const char* name;
    const char* model;
    const char* type;
    const char* local;
    const char* foreign;
  } expected[] = {
      {"author", "User", "one", "_id", "author"},
      {"bare", "", "many", "_id", "bare"},
      {"custom", "", "many", "uid", "id"},
  };
  ASSERT_EQ(s.relations.size(), 3u);
  for (const Expect& e : expected) {
    const RelationDef* r = s.relation(e.name);
    ASSERT_TRUE(r) << e.name;
    EXPECT_EQ(r->model, e.model) << e.name;
    EXPECT_EQ(r->type, e.type) << e.name;
    EXPECT_EQ(r->local_field, e.local) << e.name;
    EXPECT_EQ(r->foreign_field, e.foreign) << e.name;
  }
  EXPECT_EQ(*s.relation("custom")->read, (RuleList{"x"}));
  EXPECT_FALSE(s.relation("author")->read);
}

TEST(BuildSchema, ComputesInKeyOrderWithDefaults) {
  Schema s = build(obj({{"name", "M"},
                        {"relations", obj({{"lessons", obj({})}})},
                        {"computes", obj({
                                         {"z", obj({{"fn", 1}, {"fnRef", ""}, {"depends", arr({"a", 2, "b"})}})},
                                         {"a", "junk"},
                                         {"m", obj({{"type", "int"}, {"asyncFn", true}, {"fnRef", "mref"}})},
                                         {"n", obj({{"agg", obj({{"$sum", "lessons.duration"}})}})},
                                         {"o", obj({{"agg", false}, {"read", arr({"r"})}})},
                                     })}}));
  ASSERT_EQ(s.computes.size(), 5u);
  std::vector<std::string> order;
  for (const auto& [name, c] : s.computes) order.push_back(name);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "m", "n", "o", "z"}));

  const ComputeDef& a = s.computes[0].second;
  EXPECT_EQ(a.type, "any");
  EXPECT_FALSE(a.fn || a.async_fn || a.agg || a.fn_ref || a.read);
  const ComputeDef& m = s.computes[1].second;
  EXPECT_EQ(m.type, "int");
  EXPECT_TRUE(m.async_fn);
  EXPECT_EQ(m.ref_name("m"), "mref");
  const ComputeDef& n = s.computes[2].second;
  EXPECT_EQ(*n.agg, obj({{"$sum", "lessons.duration"}}));
  EXPECT_FALSE(n.fn || n.async_fn);
  EXPECT_FALSE(s.computes[3].second.agg);
  EXPECT_EQ(*s.computes[3].second.read, (RuleList{"r"}));
  const ComputeDef& z = s.computes[4].second;
  EXPECT_TRUE(z.fn);
  EXPECT_FALSE(z.fn_ref);
  EXPECT_EQ(z.ref_name("z"), "z");
  EXPECT_EQ(z.depends, (std::vector<std::string>{"a", "b"}));
}

TEST(BuildSchema, TopLevelKeysNormalise) {
  Schema s = build(obj({{"name", "M"},
                        {"idPrefix", ""},
                        {"datasource", ""},
                        {"namespace", 5},
                        {"read", arr({})},
                        {"write", "x"},
                        {"indexes", arr({obj({{"fields", arr({"a"})}}), 3})}}));
  EXPECT_EQ(s.id_prefix, "");
  EXPECT_FALSE(s.datasource || s.namespace_ || s.write);
  ASSERT_TRUE(s.read);  // an empty list is present, not absent
  EXPECT_TRUE(s.read->empty());
  EXPECT_EQ(s.indexes.size(), 2u);

  Schema t = build(obj({{"name", "M"}, {"idPrefix", "u_"}, {"datasource", "main"}, {"namespace", "ns"}, {"indexes", 1}}));
  EXPECT_EQ(t.id_prefix, "u_");
  EXPECT_EQ(*t.datasource, "main");
  EXPECT_EQ(*t.namespace_, "ns");
  EXPECT_TRUE(t.indexes.empty());
}

// Lookups by location are reached from Python only through SQL translation,
// so they are checked here directly.
class LocationLookup : public ::testing::Test {
 protected:
  void add(std::initializer_list<Object::Member> defn) {
    Status s = reg.register_schema(obj(defn));
    ASSERT_TRUE(s.ok()) << s.error().message();
  }
  std::string found(std::string_view source, std::optional<std::string_view> ns, std::string_view collection) {
    Result<SchemaPtr> r = reg.get_for_command(source, ns, collection);
    return r ? (*r)->name : r.error().message();
  }
  Registry reg;
};

TEST_F(LocationLookup, ExactThenSingleStructureThenNamespaceFree) {
  add({{"name", "Order"}, {"collection", "orders"}, {"_isArchive", true}});
  add({{"name", "T1Order"}, {"collection", "orders"}, {"namespace", "t1"}, {"_isArchive", true}});
  add({{"name", "Item"}, {"collection", "items"}, {"namespace", "t1"}, {"_isArchive", true}});
  add({{"name", "PgItem"}, {"collection", "items"}, {"datasource", "pg"}, {"namespace", "a"}, {"_isArchive", true}});
  add({{"name", "PgItem2"}, {"collection", "items"}, {"datasource", "pg"}, {"namespace", "b"}, {"_isArchive", true}});

  EXPECT_EQ(found("default", "t1", "orders"), "T1Order");
  EXPECT_EQ(found("default", "tenant7", "orders"), "Order");  // the namespace-free structure
  EXPECT_EQ(found("default", std::nullopt, "orders"), "Order");
  EXPECT_EQ(found("default", "", "orders"), "Order");
  EXPECT_EQ(found("default", "zz", "items"), "Item");  // the only structure
  EXPECT_EQ(found("pg", "c", "items"),
            "命令定位 (pg, Some(\"c\"), items) 存在多个结构 schema（多租户 override 需唯一的 (source, collection) "
            "结构声明）");
  EXPECT_EQ(found("default", std::nullopt, "nope"),
            "Schema 未定位（source = default, namespace = None, collection = nope）");

  Result<SchemaPtr> exact = reg.get_by_location("default", "tenant7", "orders");
  ASSERT_FALSE(exact.ok());
  EXPECT_EQ(exact.error().message(),
            "Schema 未定位（source = default, namespace = Some(\"tenant7\"), collection = orders）");
}

TEST_F(LocationLookup, ReRegisteringMovesTheLocation) {
  add({{"name", "A"}, {"collection", "x"}});
  add({{"name", "A"}, {"collection", "y"}});
  EXPECT_EQ(found("default", std::nullopt, "y"), "A");
  EXPECT_EQ(found("default", std::nullopt, "x_deleted"), "Schema 未定位（source = default, namespace = None, collection = x_deleted）");
  // The freed location can be taken by another name.
  add({{"name", "B"}, {"collection", "x"}});
  EXPECT_EQ(found("default", std::nullopt, "x"), "B");
}

}  // namespace
}  // namespace quorvel
