// The tree's JSON reader is reached from Python only through the
// post-processing methods, so its tolerance is checked here.
#include <gtest/gtest.h>

#include "bson.h"
#include "pipeline/ast.h"
#include "pipeline/parse.h"

namespace quorvel {
namespace {

TEST(AstFromValue, ToleratesWrongMemberTypes) {
  Value v(Object{{"model", Value(5)},
                 {"fields", Value(Array{Value("a"), Value(1), Value()})},
                 {"params", Value(Object{{"limit", Value("@n")}, {"skip", Value(3)}})},
                 {"relations", Value(Array{})}});
  Result<Ast> ast = Ast::from_value(v);
  ASSERT_TRUE(ast.ok());
  EXPECT_EQ(ast->model, "");
  EXPECT_EQ(ast->fields, (std::vector<std::string>{"a", "", ""}));
  EXPECT_EQ(ast->params, (DirectiveMap{{"limit", "@n"}}));
  EXPECT_TRUE(ast->relations.empty());
}

TEST(AstFromValue, RejectsNonObjects) {
  Result<Ast> root = Ast::from_value(Value(Array{}));
  ASSERT_FALSE(root.ok());
  EXPECT_EQ(root.error().message(), "Ast 必须是对象");
  Value nested(Object{{"relations", Value(Object{{"author", Value(Object{{"relations", Value(Object{{"x", Value(3)}})}})}})}});
  Result<Ast> deep = Ast::from_value(nested);
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(deep.error().message(), "RelAst 必须是对象");
}

TEST(AstFromValue, RoundTripsTheParsedTree) {
  Result<Ast> ast = parse_gql("Post($limit: @n) { b a z($sort: @s) { x } a2 { y w { q } } }");
  ASSERT_TRUE(ast.ok());
  Value json = ast->to_value();
  EXPECT_EQ(dump(json),
            R"({"fields":["b","a"],"model":"Post","params":{"limit":"@n"},"relations":{)"
            R"("a2":{"fields":["y"],"params":{},"relations":{"w":{"fields":["q"],"params":{},"relations":{}}}},)"
            R"("z":{"fields":["x"],"params":{"sort":"@s"},"relations":{}}}})");
  Result<Ast> back = Ast::from_value(json);
  ASSERT_TRUE(back.ok());
  ASSERT_EQ(back->relations.size(), 2u);
  EXPECT_EQ(back->relations[0].first, "a2");  // JSON order: by name
  EXPECT_EQ(dump(back->to_value()), dump(json));
}

}  // namespace
}  // namespace quorvel
