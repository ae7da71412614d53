#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "bson.h"
#include "json/value.h"
#include "types.h"

namespace quorvel {
namespace {

TEST(FloatText, FollowsExponentBoundaries) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "0.0"},
      {1.0, "1.0"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {1.5, "1.5"},
      {123.456, "123.456"},
      {0.00001, "0.00001"},
      {0.000015, "0.000015"},
      {0.000001, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1e15, "1000000000000000.0"},
      {1.5e15, "1500000000000000.0"},
      {1e16, "1e16"},
      {1.25e16, "1.25e16"},
      {std::pow(2.0, 64), "1.8446744073709552e19"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {0.30000000000000004, "0.30000000000000004"},
  };
  for (const Case& c : cases) EXPECT_EQ(dump(Value(c.value)), c.text) << c.text;
}

TEST(Dump, WritesCompactSortedText) {
  Object o = Object::from_entries({{"b", Value(1)}, {"a", Value("x\"\\\n\x01")}, {"b", Value(-2)}});
  EXPECT_EQ(dump(Value(Array{Value(), Value(true), Value(std::move(o))})),
            "[null,true,{\"a\":\"x\\\"\\\\\\n\\u0001\",\"b\":-2}]");
  EXPECT_EQ(dump(Value("é\x7f")), "\"é\x7f\"");
}

TEST(Object, KeepsByteOrderAndLaterDuplicateWins) {
  Object o = Object::from_entries({{"é", Value(1)}, {"B", Value(2)}, {"a", Value(3)}, {"B", Value(4)}});
  std::vector<std::string> keys;
  for (const auto& [k, v] : o) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "é"}));
  EXPECT_EQ(*o.find("B"), Value(4));
  o.set("A", Value(5));
  o.set("a", Value(6));
  EXPECT_EQ(dump(Value(o)), "{\"A\":5,\"B\":4,\"a\":6,\"é\":1}");
}

TEST(IdKey, MatchesIdentityRules) {
  struct Case {
    Value value;
    const char* key;
  } cases[] = {
      {Value(1), "1"},
      {Value(1.5), "1.5"},
      {Value(2.0), "2.0"},
      {Value(true), "true"},
      {Value(), "null"},
      {Value("abc"), "abc"},
      {Value(Object{{"$oid", Value("65f0")}}), "65f0"},
      {Value(Object{{"$oid", Value(5)}}), "{\"$oid\":5}"},
      {Value(Array{Value("a"), Value(1)}), "[\"a\",1]"},
      {Value(Object{{"b", Value(1)}, {"a", Value(2)}}), "{\"a\":2,\"b\":1}"},
  };
  for (const Case& c : cases) EXPECT_EQ(id_key(c.value), c.key) << c.key;
}

TEST(IsTruthy, TreatsContainersAsTrue) {
  EXPECT_FALSE(is_truthy(Value()));
  EXPECT_FALSE(is_truthy(Value(false)));
  EXPECT_FALSE(is_truthy(Value(0)));
  EXPECT_FALSE(is_truthy(Value(0.0)));
  EXPECT_FALSE(is_truthy(Value("")));
  EXPECT_TRUE(is_truthy(Value(Array{})));
  EXPECT_TRUE(is_truthy(Value(Object{})));
  EXPECT_TRUE(is_truthy(Value(-1)));
  EXPECT_TRUE(is_truthy(Value("0")));
}

TEST(GetDefault, IsExactAndCaseSensitive) {
  EXPECT_TRUE(get_default("float").is_uint());
  EXPECT_EQ(get_default("double"), Value(0));
  EXPECT_EQ(get_default("string"), Value(""));
  EXPECT_EQ(get_default("boolean"), Value(false));
  EXPECT_EQ(get_default("array"), Value(Array{}));
  EXPECT_EQ(get_default("object"), Value(Object{}));
  EXPECT_TRUE(get_default("Int").is_null());
  EXPECT_TRUE(get_default("number").is_null());
}

TEST(ValidateCondition, RejectsDeniedOperatorsAndEmptyGroups) {
  Value nested_where(Object{{"a", Value(Object{{"$where", Value("x")}})}});
  EXPECT_EQ(validate_condition(nested_where).error().message(),
            "条件包含被拒绝的操作符 $where（服务端执行类，命中拒绝名单）：请改用结构化条件");
  EXPECT_EQ(validate_condition(Value(Object{{"$or", Value(Array{})}})).error().message(),
            "$or 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）");
  Value in_array(Array{Value(Object{{"x", Value(1)}}), Value(Object{{"$function", Value(1)}})});
  EXPECT_FALSE(validate_condition(in_array));
  EXPECT_TRUE(validate_condition(Value(Object{{"$or", Value(Object{})}})));
  // Key order decides which error comes first.
  Value two(Object{{"b", Value(Object{{"$where", Value(1)}})}, {"a", Value(Object{{"$nor", Value(Array{})}})}});
  EXPECT_EQ(validate_condition(two).error().message(),
            "$nor 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）");
}

TEST(CoreError, DerivesKindFromMessage) {
  EXPECT_EQ(CoreError("ERR_PERMISSION:无访问权限").kind(), CoreError::Kind::Permission);
  EXPECT_EQ(CoreError(std::string(kNoContextMessage)).kind(), CoreError::Kind::NoContext);
  EXPECT_EQ(CoreError("ERR_NO_CONTEXT:other").kind(), CoreError::Kind::Other);
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

TEST(Value, DestroysVeryDeepNestingWithoutRecursion) {
  Value v("leaf");
  for (int i = 0; i < 1'000'000; ++i) {
    if (i % 2) {
      Array a;
      a.push_back(std::move(v));
      v = Value(std::move(a));
    } else {
      Object o;
      o.set("k", std::move(v));
      v = Value(std::move(o));
    }
  }
  v = Value();  // the old million levels are released here without a crash
  EXPECT_TRUE(v.is_null());
}

}  // namespace
}  // namespace quorvel
