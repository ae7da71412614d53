// Row restoration over plain values (the binding runs the same algorithm over
// the host's own objects).
#include <gtest/gtest.h>

#include "bson.h"
#include "dialect/row.h"

namespace quorvel {
namespace {

Value obj(std::initializer_list<Object::Member> m) { return Value(Object(m)); }
Value arr(std::initializer_list<Value> a) { return Value(Array(a)); }

Value col(const char* alias, Value path, std::initializer_list<Object::Member> flags = {}) {
  Object o(flags);
  o.set("alias", alias);
  o.set("path", std::move(path));
  return Value(std::move(o));
}

std::string restored(const Value& shape, const Value& rows) {
  Result<Value> out = restore_rows_json(shape, rows);
  return out ? dump(*out) : "error: " + out.error().message();
}

TEST(RestoreRows, GroupsRelationsPresenceAndBooleans) {
  Value shape = obj({{"columns", arr({col("_id", arr({"_id"})), col("n", arr({"n"})),
                                      col("ok", arr({"ok"}), {{"bool", true}}),
                                      col("k_id", arr({"kids", "_id"}), {{"isArray", true}}),
                                      col("k_v", arr({"kids", "v"}), {{"isArray", true}}),
                                      col("a_n", arr({"author", "name"}), {{"isArray", true}, {"one", true}})})},
                     {"present", "__present"}});
  Value rows = arr({
      obj({{"_id", 1}, {"n", Value()}, {"ok", "1"}, {"k_id", 10}, {"k_v", "a"}, {"a_n", "ann"}, {"__present", ",n,"}}),
      obj({{"_id", 2}, {"n", Value()}, {"ok", 0.0}, {"k_id", Value()}, {"k_v", Value()}, {"a_n", Value()},
           {"__present", ","}}),
      obj({{"_id", 1}, {"k_id", 11}, {"k_v", Value()}}),
      obj({{"_id", 1}, {"k_id", 10}, {"k_v", "again"}}),
  });
  EXPECT_EQ(restored(shape, rows),
            R"([{"_id":1,"author":{"name":"ann"},"kids":[{"_id":10,"v":"a"},{"_id":11}],"n":null,"ok":true},)"
            R"({"_id":2,"author":null,"kids":[],"ok":false}])");
}

TEST(RestoreRows, ObjectCellsTakeDeeperPathsAndPositionsStayApart) {
  Value shape = obj({{"columns", arr({col("_id", arr({"_id"})), col("m", arr({"meta"})),
                                      col("m_a", arr({"meta", "a"}))})}});
  Value rows = arr({obj({{"_id", 1}, {"m", obj({{"b", 2}})}, {"m_a", 3}}), obj({{"m", 5}, {"m_a", 4}}),
                    obj({{"_id", 1}, {"m", 9}})});
  EXPECT_EQ(restored(shape, rows), R"([{"_id":1,"meta":{"a":3,"b":2}},{"meta":5}])");
}

TEST(RestoreRows, ShapeErrorsAndNonArrayRows) {
  EXPECT_EQ(restored(obj({}), arr({})), "error: rowShape 缺少 columns");
  EXPECT_EQ(restored(obj({{"columns", arr({obj({{"path", arr({"a"})}})})}}), arr({})), "error: 列缺 alias");
  EXPECT_EQ(restored(obj({{"columns", arr({col("a", arr({"a"}))})}}), obj({{"a", 1}})), "[]");
}

TEST(IdentityKey, EqualOnlyForEqualValues) {
  auto key = [](const Value& v) {
    std::string out;
    identity_key(v, out);
    return out;
  };
  EXPECT_EQ(key(Value("1")), "s1");
  EXPECT_EQ(key(Value(1)), "i1");
  EXPECT_EQ(key(Value(-1)), "i-1");
  EXPECT_EQ(key(Value(1.0)), "1.0");
  EXPECT_EQ(key(Value(true)), "true");
  EXPECT_EQ(key(arr({"s1"})), "[\"s1\"]");
  EXPECT_NE(key(Value("i1")), key(Value(1)));
}

}  // namespace
}  // namespace quorvel
