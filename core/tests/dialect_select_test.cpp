// SELECT helpers that only the aggregate translators reach, and the quoting
// rules below the translators.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "bson.h"
#include "dialect/backend.h"
#include "dialect/select/find.h"
#include "schema/registry.h"

namespace quorvel {
namespace {

Value obj(std::initializer_list<Object::Member> m) { return Value(Object(m)); }
Value arr(std::initializer_list<Value> a) { return Value(Array(a)); }

TEST(LimitOffset, PerBackend) {
  struct Case {
    Backend backend;
    std::optional<int64_t> limit;
    int64_t skip;
    size_t counter_before;
    const char* text;
    const char* params;
  } cases[] = {
      {Backend::MySql, 10, 0, 0, " LIMIT ?", "[10]"},
      {Backend::MySql, 10, 5, 0, " LIMIT ? OFFSET ?", "[10,5]"},
      {Backend::MySql, std::nullopt, 20, 0, " LIMIT 18446744073709551615 OFFSET ?", "[20]"},
      {Backend::Sqlite, std::nullopt, 20, 0, " LIMIT -1 OFFSET ?", "[20]"},
      {Backend::Sqlite, 3, -4, 0, " LIMIT ?", "[3]"},
      {Backend::Postgres, 5, 10, 2, " LIMIT $3 OFFSET $4", "[5,10]"},
      {Backend::Postgres, std::nullopt, 7, 0, " OFFSET $1", "[7]"},
      {Backend::Postgres, std::nullopt, 0, 0, "", "[]"},
  };
  for (const Case& c : cases) {
    size_t counter = c.counter_before;
    LimitOffset lo = limit_offset_sql(c.backend, c.limit, c.skip, counter);
    EXPECT_EQ(lo.text, c.text);
    EXPECT_EQ(dump(Value(lo.params)), c.params) << c.text;
    EXPECT_EQ(counter, c.counter_before + lo.params.size());
  }
}

Value counting(Value field, Value when_null, Value otherwise) {
  return obj({{"$cond", arr({obj({{"$eq", arr({obj({{"$ifNull", arr({std::move(field), Value()})}}), Value()})}}),
                             std::move(when_null), std::move(otherwise)})}});
}

TEST(CountFieldPattern, RecognisesOnlyTheExactShape) {
  EXPECT_EQ(count_field_pattern(counting("$score", 0, 1)), "score");
  EXPECT_EQ(count_field_pattern(counting("$a.b", 0, 1)), "a.b");
  EXPECT_EQ(count_field_pattern(counting("$score", 1, 0)), std::nullopt);
  EXPECT_EQ(count_field_pattern(counting("score", 0, 1)), std::nullopt);
  EXPECT_EQ(count_field_pattern(counting("$score", 0.0, 1)), std::nullopt);
  EXPECT_EQ(count_field_pattern(counting(5, 0, 1)), std::nullopt);
  EXPECT_EQ(count_field_pattern(obj({{"$cond", arr({1, 0, 1})}})), std::nullopt);
  EXPECT_EQ(count_field_pattern(obj({{"$sum", 1}})), std::nullopt);
  // "$eq" with a second operand that is not null counts something else.
  Value eq_one = obj({{"$cond", arr({obj({{"$eq", arr({obj({{"$ifNull", arr({"$f"})}}), 1})}}), 0, 1})}});
  EXPECT_EQ(count_field_pattern(eq_one), std::nullopt);
}

TEST(ResolveJoin, ByNameThenByTargetModelOrCollection) {
  Registry reg;
  ASSERT_TRUE(reg.register_schema(obj({{"name", "User"}, {"collection", "users"}})).ok());
  ASSERT_TRUE(reg.register_schema(obj({{"name", "Post"},
                                       {"relations", obj({{"author", obj({{"model", "User"}, {"type", "one"}})},
                                                          {"ghost", obj({{"model", "Nobody"}})},
                                                          {"tags", obj({{"model", "Tag"}, {"localField", "tagIds"},
                                                                        {"foreignField", "_id"}})}})}}))
                  .ok());
  const Schema& post = *reg.get("Post").value();

  std::optional<Join> j = resolve_join(post, reg, "tags", "whatever");
  ASSERT_TRUE(j);
  EXPECT_EQ(j->relation, "tags");
  EXPECT_EQ(j->target, "Tag");
  EXPECT_EQ(j->local_field, "tagIds");
  EXPECT_EQ(j->foreign_field, "_id");
  EXPECT_FALSE(j->one);
  EXPECT_EQ(j->ones, std::vector<bool>{false});

  j = resolve_join(post, reg, "writer", "users");  // User lives in users
  ASSERT_TRUE(j);
  EXPECT_EQ(j->relation, "author");
  EXPECT_EQ(j->as, "writer");
  EXPECT_TRUE(j->one);
  EXPECT_EQ(j->path, std::vector<std::string>{"author"});

  j = resolve_join(post, reg, "x", "Tag");  // target model named like the collection
  ASSERT_TRUE(j);
  EXPECT_EQ(j->relation, "tags");
  EXPECT_FALSE(resolve_join(post, reg, "x", "nothing"));
}

TEST(Quoting, DoublesTheQuoteAndRefusesNul) {
  EXPECT_EQ(Backend(Backend::MySql).quote_ident("a`b").value(), "`a``b`");
  EXPECT_EQ(Backend(Backend::Postgres).quote_ident("a\"b").value(), "\"a\"\"b\"");
  EXPECT_EQ(Backend(Backend::Sqlite).quote_ident("a`b").value(), "\"a`b\"");
  EXPECT_EQ(Backend(Backend::Postgres).qualified_table(std::string("ns"), "users").value(), "\"ns\".\"users\"");
  EXPECT_EQ(Backend(Backend::Postgres).qualified_table(std::string(""), "users").value(), "\"users\"");
  EXPECT_EQ(Backend(Backend::MySql).qualified_table(std::nullopt, "users").value(), "`users`");
  Result<std::string> nul = Backend(Backend::Sqlite).quote_ident(std::string_view("a\0b", 3));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().message(), "标识符 \"a\\u0000b\" 含 NUL 字符，任何后端都无法安全引用（拒绝生成 SQL）");
}

TEST(AndGroup, FoldsLeftAndSkipsEmptyClauses) {
  std::vector<WhereClause> clauses;
  clauses.push_back({"a", {1}});
  clauses.push_back({"", {}});
  clauses.push_back({"b", {2}});
  clauses.push_back({"c", {3}});
  WhereClause w = and_group(std::move(clauses), "AND");
  EXPECT_EQ(w.text, "((a AND b) AND c)");
  EXPECT_EQ(dump(Value(w.params)), "[1,2,3]");
  std::vector<WhereClause> single;
  single.push_back({"", {}});
  single.push_back({"x = ?", {1}});
  EXPECT_EQ(and_group(std::move(single), "OR").text, "x = ?");
  EXPECT_TRUE(and_group({}, "OR").empty());
}

}  // namespace
}  // namespace quorvel
