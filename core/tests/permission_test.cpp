#include <gtest/gtest.h>

#include "permission.h"

namespace quorvel {
namespace {

Value obj(std::initializer_list<Object::Member> m) { return Value(Object(m)); }

Context ctx_of(const Value& v) { return *context_from_value(v); }

// The per-document owner check is used by post-processing and the owner
// probe, which reach the engine only with fetched documents.
TEST(Evaluate, DocumentOwnerCheck) {
  const RuleList creator_only{"creator"};
  const Value mine = obj({{"createdBy", "u1"}});
  struct Case {
    const char* what;
    Value ctx;
    Value doc;
    bool by_document;
    bool assumed;
  } cases[] = {
      {"owner", obj({{"userId", "u1"}}), mine, true, true},
      {"other user", obj({{"userId", "u2"}}), mine, false, true},
      {"empty user id never matches", obj({{"userId", ""}}), obj({{"createdBy", ""}}), false, false},
      {"no user id", obj({}), obj({{"createdBy", ""}}), false, false},
      {"owner field not a string", obj({{"userId", "1"}}), obj({{"createdBy", 1}}), false, true},
      {"document not an object", obj({{"userId", "u1"}}), Value("u1"), false, true},
      {"administrator needs no ownership", obj({{"roles", Value(Array{Value("admin")})}}), Value(), true, true},
      {"internal needs no ownership", obj({{"internal", true}}), Value(), true, true},
  };
  for (const Case& c : cases) {
    Context ctx = ctx_of(c.ctx);
    EXPECT_EQ(evaluate(&ctx, creator_only, OwnerCheck::of_document(c.doc)), c.by_document) << c.what;
    EXPECT_EQ(evaluate(&ctx, creator_only, OwnerCheck::assume_owner()), c.assumed) << c.what;
  }
  // Without a creator rule the document does not matter.
  Context owner = ctx_of(obj({{"userId", "u1"}}));
  EXPECT_FALSE(evaluate(&owner, RuleList{"editor"}, OwnerCheck::of_document(mine)));
}

TEST(ContextFromValue, ReadsOnlyWellTypedMembers) {
  EXPECT_FALSE(context_from_value(Value(Array{})).has_value());
  EXPECT_FALSE(context_from_value(Value()).has_value());
  Context c = ctx_of(obj({{"userId", 7},
                          {"roles", Value(Array{Value("a"), Value(1), Value("b")})},
                          {"role", Value(Array{})},
                          {"internal", ""},
                          {"other", 1}}));
  EXPECT_FALSE(c.user_id);
  EXPECT_EQ(*c.roles, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(c.role);
  EXPECT_FALSE(c.internal);
  EXPECT_TRUE(ctx_of(obj({{"internal", 0.5}})).internal);
  EXPECT_TRUE(ctx_of(obj({{"internal", Value(Object{})}})).internal);
}

TEST(IsFieldReadable, ByPathRootAndUndeclaredNames) {
  Schema s;
  s.fields["secret"].read = RuleList{"admin"};
  s.fields["title"];
  s.relations["author"].read = RuleList{"admin"};
  s.relations["tags"];
  Context editor = ctx_of(obj({{"roles", Value(Array{Value("editor")})}}));
  EXPECT_FALSE(is_field_readable(s, &editor, "secret.inner"));
  EXPECT_TRUE(is_field_readable(s, &editor, "title.x"));
  EXPECT_TRUE(is_field_readable(s, &editor, "undeclared"));
  EXPECT_TRUE(is_field_readable(s, nullptr, "secret"));
  EXPECT_FALSE(is_relation_readable(s, &editor, "author"));
  EXPECT_TRUE(is_relation_readable(s, &editor, "tags"));
  EXPECT_FALSE(is_relation_readable(s, &editor, "undeclared"));  // with a context, only declared relations
  EXPECT_TRUE(is_relation_readable(s, nullptr, "undeclared"));
}

TEST(ReadableComputes, FollowTheirReadLists) {
  Schema s;
  s.computes.emplace_back("open", ComputeDef{});
  ComputeDef restricted;
  restricted.read = RuleList{"admin"};
  s.computes.emplace_back("restricted", restricted);
  Context editor = ctx_of(obj({{"roles", Value(Array{Value("editor")})}}));
  EXPECT_EQ(*get_readable_computes(s, &editor), (NameSet{"open"}));
  EXPECT_FALSE(get_readable_computes(s, nullptr));
}

}  // namespace
}  // namespace quorvel
