#include <gtest/gtest.h>

#include <string>

#include "schema/definition.h"
#include "types.h"

namespace quorvel {
namespace {

Value obj(std::initializer_list<Object::Member> m) { return Value(Object(m)); }
Value arr(std::initializer_list<Value> a) { return Value(Array(a)); }

// meta: object, tags: array, name: string, relation author.
Schema shaped() {
  Result<Schema> r = build_schema(
      obj({{"fields", obj({{"meta", "object"}, {"tags", "array"}, {"name", "string"}})},
           {"relations", obj({{"author", obj({{"model", "User"}})}})}}),
      "Post", "posts");
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

std::string message_of(const Status& s) { return s ? "" : s.error().message(); }

TEST(RootFieldType, UsesThePathRoot) {
  Schema s = shaped();
  EXPECT_EQ(root_field_type(s, "meta.x.y"), "object");
  EXPECT_EQ(root_field_type(s, "name"), "string");
  EXPECT_EQ(root_field_type(s, "missing.x"), std::nullopt);
  EXPECT_EQ(root_field_type(s, ""), std::nullopt);
}

TEST(ValidateConditionShape, RejectsObjectAndArrayFields) {
  const std::string u3 = "对象点号路径 \"meta.x\" 不支持过滤条件（U3/D2：所有后端含 Mongo 统一显式拒绝）";
  const std::string u2 = "对象字段 \"meta\" 不支持过滤条件（U2/D2：所有后端含 Mongo 统一显式拒绝）";
  const std::string u1 = "数组字段 \"tags\" 不支持过滤条件（U1/D2：所有后端含 Mongo 统一显式拒绝）";
  const std::string u1_dotted = "数组字段 \"tags.0\" 不支持过滤条件（U1/D2：所有后端含 Mongo 统一显式拒绝）";
  struct Case {
    Value condition;
    std::string message;
  } cases[] = {
      {obj({{"meta.x", 1}}), u3},
      {obj({{"meta", 1}}), u2},
      {obj({{"tags", "a"}}), u1},
      {obj({{"tags.0", "a"}}), u1_dotted},
      {obj({{"$or", arr({obj({{"name", "a"}}), obj({{"tags", 1}})})}}), u1},
      {obj({{"$and", arr({obj({{"$nor", arr({obj({{"meta", 1}})})}})})}}), u2},
      // key order decides which fault is reported first
      {obj({{"tags", 1}, {"meta", 1}}), u2},
      // passes: other fields, unknown fields, relations, operators, non-array groups, non-objects
      {obj({{"name", "a"}, {"other.x", 1}, {"author", obj({{"$size", 1}})}}), ""},
      {obj({{"$expr", obj({{"meta", 1}})}, {"$or", obj({{"tags", 1}})}}), ""},
      {obj({{"$not", obj({{"tags", 1}})}}), ""},
      {arr({obj({{"tags", 1}})}), ""},
      {Value(), ""},
  };
  Schema s = shaped();
  for (const Case& c : cases) EXPECT_EQ(message_of(validate_condition_shape(s, c.condition)), c.message) << c.message;
}

TEST(ValidateSortShape, RejectsDottedObjectPathsOnly) {
  Schema s = shaped();
  EXPECT_EQ(message_of(validate_sort_shape(s, obj({{"name", 1}, {"meta.x", -1}}))),
            "对象点号路径 \"meta.x\" 不支持排序（U4/D2：所有后端含 Mongo 统一显式拒绝）");
  EXPECT_EQ(message_of(validate_sort_shape(s, obj({{"meta", 1}, {"tags.0", 1}, {"author.name", 1}}))), "");
  EXPECT_EQ(message_of(validate_sort_shape(s, Value("meta.x"))), "");
}

TEST(HasRelationPredicate, SearchesGroupsAndNot) {
  struct Case {
    Value condition;
    bool found;
  } cases[] = {
      {obj({{"author", obj({})}}), true},
      {obj({{"$not", obj({{"$or", arr({obj({{"author", obj({})}})})}})}}), true},
      {obj({{"$and", arr({obj({{"name", 1}}), obj({{"$nor", arr({obj({{"author", 1}})})}})})}}), true},
      // not inside a field's operator object, nor a non-array group
      {obj({{"name", obj({{"author", 1}})}}), false},
      {obj({{"$or", obj({{"author", 1}})}}), false},
      {obj({{"author.name", 1}}), false},
      {arr({obj({{"author", 1}})}), false},
  };
  Schema s = shaped();
  for (const Case& c : cases) EXPECT_EQ(has_relation_predicate(s, c.condition), c.found);
}

}  // namespace
}  // namespace quorvel
