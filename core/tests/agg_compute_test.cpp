// Registration rejects malformed "agg" definitions, so the builder's own
// refusals are reached only with a schema built by hand.
#include <gtest/gtest.h>

#include "pipeline/lookup.h"
#include "schema/registry.h"

namespace quorvel {
namespace {

Schema course_with(Value agg) {
  Schema s;
  s.name = "Course";
  s.collection = "courses";
  s.relations["lessons"] = RelationDef{"Lesson", "many", "_id", "courseId", std::nullopt};
  ComputeDef c;
  c.agg = std::move(agg);
  s.computes.emplace_back("total", std::move(c));
  return s;
}

TEST(AggComputeStages, RefusesMalformedDefinitions) {
  Registry registry;
  ASSERT_TRUE(registry.register_schema(Value(Object{{"name", Value("Lesson")}})).ok());
  struct Case {
    Value agg;
    const char* message;
  } cases[] = {
      {Value(Object{}), "计算列 \"total\" 的 agg 定义非法（须为 {\"$op\": \"<关系路径>\"}）"},
      {Value("lessons"), "计算列 \"total\" 的 agg 定义非法（须为 {\"$op\": \"<关系路径>\"}）"},
      {Value(Object{{"$count", Value(3)}}), "计算列 \"total\" 的 agg 引用的关系 \"\" 未在 schema 中定义"},
      {Value(Object{{"$sum", Value("x.y")}}), "计算列 \"total\" 的 agg 引用的关系 \"x\" 未在 schema 中定义"},
      {Value(Object{{"$median", Value("lessons.d")}}),
       "计算列 \"total\" 的 agg 算子 $median 不在白名单（$count/$sum/$avg/$min/$max）"},
  };
  for (Case& c : cases) {
    Schema course = course_with(std::move(c.agg));
    Result<Array> got = build_agg_stages(course, registry, nullptr, StringSet{"total"});
    ASSERT_FALSE(got.ok()) << c.message;
    EXPECT_EQ(got.error().message(), c.message);
  }
}

}  // namespace
}  // namespace quorvel
