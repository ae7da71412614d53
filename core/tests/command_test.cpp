#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "bson.h"
#include "command/cmd.h"
#include "command/page.h"

namespace quorvel {
namespace {

TEST(ToNumber, CoercesEveryKind) {
  struct Case {
    Value in;
    double out;
  } cases[] = {
      {Value(), 0},
      {Value(true), 1},
      {Value(false), 0},
      {Value(Array{Value(3)}), 0},
      {Value(Object{{"a", Value(1)}}), 0},
      {Value(12), 12},
      {Value(-4), -4},
      {Value(2.5), 2},
      {Value(-2.5), -2},
      {Value("12"), 12},
      {Value(" 7 "), 7},
      {Value("\u00a0\u30008\u2029"), 8},
      {Value("2.5"), 2.5},
      {Value("-2.5"), -2.5},
      {Value("+3"), 3},
      {Value("+1.5"), 1.5},
      {Value("1e3"), 1000},
      {Value(".5"), 0.5},
      {Value("abc"), 0},
      {Value(""), 0},
      {Value("  "), 0},
      {Value("-"), 0},
      {Value("+"), 0},
      {Value("+-5"), 0},
      {Value("0x10"), 0},
      {Value("1 2"), 0},
      {Value("nan"), 0},
      {Value("99999999999999999999"), 0},
      {Value("-9223372036854775808"), -9223372036854775808.0},
      {Value("1e-400"), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(to_number(&c.in), c.out) << dump(c.in);
  EXPECT_EQ(to_number(nullptr), 0);
  const Value inf("inf"), big("1e400"), minus_inf("-Infinity");
  EXPECT_EQ(to_number(&inf), std::numeric_limits<double>::infinity());
  EXPECT_EQ(to_number(&big), std::numeric_limits<double>::infinity());
  EXPECT_EQ(to_number(&minus_inf), -std::numeric_limits<double>::infinity());
}

TEST(PageNumber, IntegersUpToTwoPow53) {
  EXPECT_EQ(dump(page_number(20)), "20");
  EXPECT_EQ(dump(page_number(-3)), "-3");
  EXPECT_EQ(dump(page_number(2.5)), "2.5");
  EXPECT_EQ(dump(page_number(9007199254740992.0)), "9007199254740992");
  EXPECT_EQ(dump(page_number(18014398509481984.0)), "1.8014398509481984e16");
  EXPECT_EQ(dump(page_number(std::numeric_limits<double>::infinity())), "0");
  EXPECT_EQ(dump(page_number(std::nan(""))), "0");
}

TEST(Commands, CarryKindCollectionAndLocation) {
  Schema plain;
  plain.collection = "posts";
  Schema located;
  located.collection = "orders";
  located.datasource = "";
  located.namespace_ = "t1";
  Schema empty_ns;
  empty_ns.collection = "c";
  empty_ns.namespace_ = "";

  EXPECT_EQ(dump(cmd_insert_many(located, Array{Value(1)})),
            R"({"collection":"orders","docs":[1],"kind":"insertMany","namespace":"t1","source":""})");
  EXPECT_EQ(dump(cmd_find_one_and_update(plain, Value(Object{}), Value(2), Value(3))),
            R"({"collection":"posts","filter":{},"kind":"findOneAndUpdate","namespace":null,"options":3,)"
            R"("source":"default","update":2})");
  EXPECT_EQ(dump(cmd_update_many(empty_ns, Value(1), Value(2))),
            R"({"collection":"c","filter":1,"kind":"updateMany","namespace":null,"source":"default","update":2})");
  EXPECT_EQ(dump(cmd_insert_one(plain, Value("d"))),
            R"({"collection":"posts","doc":"d","kind":"insertOne","namespace":null,"source":"default"})");
  EXPECT_EQ(dump(cmd_delete_many(plain, Value(Object{}))),
            R"({"collection":"posts","filter":{},"kind":"deleteMany","namespace":null,"source":"default"})");
  EXPECT_EQ(dump(cmd_find(plain, Value(Object{}), std::nullopt)),
            R"({"collection":"posts","filter":{},"kind":"find","namespace":null,"projection":null,"source":"default"})");
}

TEST(RouteOverride, RewritesCommandsOnlyWhereTheyCanSit) {
  // A mutation-like result: commands inside steps, a "kind"-only object whose
  // members are still searched, and data that merely looks like a command.
  const Value look_alike(Object{{"collection", Value("c")}, {"kind", Value("k")}});
  Value result(Object{
      {"steps", Value(Array{Value(Object{{"command", Value(Object{{"collection", Value("a")},
                                                                   {"filter", look_alike},
                                                                   {"kind", Value("find")}})}})})},
      {"wrapper", Value(Object{{"kind", Value(1)}, {"inner", Value(Object{{"collection", Value("b")},
                                                                            {"kind", Value("aggregate")}})}})},
      {"postprocess", Value(Object{{"ast", Value(Object{{"relations", look_alike}})}})},
      {"returns", Value(Array{look_alike})},
      {"sort", Value(Object{{"$sort", look_alike}})},
  });
  const Value data_before(Object{{"postprocess", *result.get("postprocess")},
                                 {"returns", *result.get("returns")},
                                 {"sort", *result.get("sort")}});
  apply_route_override(result, Value(Object{{"namespace", Value()}, {"source", Value("s2")}}));

  const Value& cmd = *result.get("steps")->as_array()[0].get("command");
  EXPECT_EQ(dump(*cmd.get("source")), R"("s2")");
  EXPECT_TRUE(cmd.get("namespace")->is_null());
  EXPECT_EQ(dump(*cmd.get("filter")), dump(look_alike));
  const Value& wrapper = *result.get("wrapper");
  EXPECT_EQ(wrapper.get("source"), nullptr);
  EXPECT_EQ(dump(*wrapper.get("inner")->get("source")), R"("s2")");
  for (const char* key : {"postprocess", "returns", "sort"})
    EXPECT_EQ(dump(*result.get(key)), dump(*data_before.get(key)));
}

}  // namespace
}  // namespace quorvel
