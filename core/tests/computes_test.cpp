#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bson.h"
#include "computes/cache.h"
#include "computes/inject.h"
#include "computes/run/sync.h"
#include "pipeline/parse.h"
#include "schema/registry.h"

namespace quorvel {
namespace {

Value obj(std::initializer_list<Object::Member> m) { return Value(Object(m)); }
Value arr(std::initializer_list<Value> a) { return Value(Array(a)); }

// Answers every compute with the number of calls so far, and records the
// documents it was given.
class CountingFns final : public FnRegistry {
 public:
  Result<Value> call_sync(std::string_view fn_ref, const Value& document) override {
    seen.push_back(std::string(fn_ref) + " " + dump(document));
    return Value(static_cast<unsigned>(seen.size()));
  }
  Result<Value> call_async(std::string_view) override { return Err("async"); }
  std::vector<std::string> seen;
};

Registry registry() {
  Registry r;
  Status user = r.register_schema(obj({{"name", "User"}, {"timestamps", false}, {"fields", obj({{"name", "string"}})}}));
  Status post = r.register_schema(obj({
      {"name", "Post"},
      {"timestamps", false},
      {"fields", obj({{"title", "string"},
                      {"body", obj({{"type", "string"}, {"read", arr({"creator"})}})},
                      {"views", obj({{"type", "int"}, {"default", 1}})}})},
      {"relations", obj({{"author", obj({{"model", "User"}, {"type", "one"}})}, {"lost", obj({{"model", "Gone"}})}})},
      {"computes", obj({{"rank", obj({{"type", "int"}, {"fn", true}, {"depends", arr({"views"})}})}})},
  }));
  EXPECT_TRUE(user.ok() && post.ok());
  return r;
}

TEST(ReadPlan, OnePlanServesManyDocumentsLikeSeparateCalls) {
  Registry r = registry();
  SchemaPtr post = r.get("Post").value();
  Context ctx;
  ctx.user_id = "u1";
  std::vector<std::string> fields = {"title", "body", "rank"};
  RelationList relations;
  relations.emplace_back("author", RelAst{{}, {"name"}, {}});
  std::vector<Value> docs = {
      obj({{"_id", 1}, {"createdBy", "u1"}, {"body", "b"}, {"author", obj({{"_id", 9}, {"name", "a"}})}}),
      obj({{"_id", 2}, {"createdBy", "u2"}, {"body", "b"}, {"title", "t"}}),
      Value(),
      obj({{"_id", 3}, {"createdBy", "u1"}, {"body", "b"}, {"views", 7}}),
  };

  ReadPlan plan(fields, relations, *post, r, &ctx);
  CountingFns shared_fns, single_fns;
  for (const Value& doc : docs) {
    Value a = doc, b = doc;
    ASSERT_TRUE(plan.apply(a, &shared_fns).ok());
    ASSERT_TRUE(process_node(b, fields, relations, *post, &ctx, r, &single_fns).ok());
    // Counters differ by design; compare everything but the computed value.
    if (Object* o = a.if_object()) o->erase("rank");
    if (Object* o = b.if_object()) o->erase("rank");
    EXPECT_EQ(dump(a), dump(b));
  }
  EXPECT_EQ(shared_fns.seen, single_fns.seen);
  EXPECT_EQ(shared_fns.seen, (std::vector<std::string>{
                                 R"(rank {"_id":1,"author":{"_id":9,"name":"a"},"body":"b","createdBy":"u1","views":1})",
                                 R"(rank {"_id":2,"body":"b","createdBy":"u2","title":"t","views":1})",
                                 R"(rank {"_id":3,"body":"b","createdBy":"u1","views":7})",
                             }));
  Value owned = docs[0], other = docs[1];
  ASSERT_TRUE(plan.apply(owned, &shared_fns).ok() && plan.apply(other, &shared_fns).ok());
  EXPECT_EQ(dump(owned), R"({"_id":1,"author":{"name":"a"},"body":"b","rank":4})");
  EXPECT_EQ(dump(other), R"({"_id":2,"rank":5,"title":"t"})");
}

TEST(ReadPlan, KeepsALookupFailureForTheFirstDocumentThatReachesIt) {
  Registry r = registry();
  SchemaPtr post = r.get("Post").value();
  RelationList relations;
  relations.emplace_back("lost", RelAst{});
  ReadPlan plan({}, std::move(relations), *post, r, nullptr);
  CountingFns fns;
  Value null_doc;
  EXPECT_TRUE(plan.apply(null_doc, &fns).ok());
  Value doc = obj({});
  Status s = plan.apply(doc, &fns);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "Schema 未注册: Gone");
  EXPECT_EQ(fns.seen.size(), 1u);  // the computes ran first
}

TEST(Cache, DigestOfOneSchema) {
  Registry r;
  Value fields = obj({{"a", obj({{"type", "int"}, {"default", nullptr}})}, {"b", obj({{"type", "string"}, {"default", "x"}})}});
  Value computes = obj({{"both", obj({{"fn", true}, {"asyncFn", 1}, {"type", "Int"}})},
                        {"named", obj({{"fn", true}, {"fnRef", "n_ref"}, {"type", "float"}})}});
  ASSERT_TRUE(r.register_schema(obj({{"name", "M"}, {"fields", fields}, {"computes", computes}})).ok());
  Cache c = ensure_cache(*r.get("M").value());
  ASSERT_EQ(c.sync_entries.size(), 2u);
  ASSERT_EQ(c.async_entries.size(), 1u);
  EXPECT_EQ(c.sync_entries[0].fn_ref, "both");
  EXPECT_EQ(c.async_entries[0].name, "both");
  EXPECT_EQ(c.sync_entries[1].fn_ref, "n_ref");
  EXPECT_EQ(dump(Value(c.field_defaults)), R"({"b":"x"})");
  EXPECT_EQ(dump(Value(c.compute_defaults)), R"({"named":0})");
}

// Root field dependencies are only injected by query planning; check them and
// the record's JSON form with both halves filled.
TEST(Inject, RootFieldsAndRelationsFormOneRecord) {
  Registry r;
  Value depends = arr({"score", " score ", "author", "author { name }", "_id", "", "title", "address.city", "nobody { x }"});
  ASSERT_TRUE(r.register_schema(obj({{"name", "U"}})).ok());
  ASSERT_TRUE(r.register_schema(obj({{"name", "P"},
                                     {"relations", obj({{"author", obj({{"model", "U"}})}})},
                                     {"computes", obj({{"s", obj({{"asyncFn", true}, {"depends", depends}})}})}}))
                  .ok());
  SchemaPtr post = r.get("P").value();
  Result<Ast> tree = parse_gql("P { title author { bio } }");
  ASSERT_TRUE(tree.ok());
  InjectInfo record;
  record.fields = collect_field_deps(tree->fields, *post);
  Result<InjectInfo> rels = merge_depends_into_ast(tree->relations, *post);
  ASSERT_TRUE(rels.ok());
  record.relations = std::move(rels->relations);
  EXPECT_EQ(tree->fields, (std::vector<std::string>{"title", "score", "address.city"}));
  EXPECT_EQ(dump(tree->to_value()),
            R"({"fields":["title","score","address.city"],"model":"P","params":{},)"
            R"("relations":{"author":{"fields":["bio","name"],"params":{},"relations":{}}}})");
  Value json = record.to_value();
  EXPECT_EQ(dump(json), R"({"inject":{"fields":["score","address.city"],"relations":{"author":["name"]}}})");
  EXPECT_EQ(dump(InjectInfo::from_value(json).to_value()), dump(json));
}

}  // namespace
}  // namespace quorvel
