#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "depth_limit.h"
#include "federation/merge.h"

namespace quorvel {
namespace {

// A document whose member `name` nests `levels` further documents, each one
// wrapped in a one-element array when `in_arrays`.
Value chain(int levels, bool in_arrays) {
  Value v{Object{}};
  for (int i = 0; i < levels; ++i) {
    Value inner;
    if (in_arrays) {
      Array wrapper;
      wrapper.push_back(std::move(v));
      inner = Value(std::move(wrapper));
    } else {
      inner = std::move(v);
    }
    Object o;
    o.set("a", std::move(inner));
    v = Value(std::move(o));
  }
  return v;
}

// The node at the end of `steps` members "a" (through one-element arrays).
const Value* walk(const Value& root, int steps) {
  const Value* v = &root;
  for (int i = 0; i < steps && v; ++i) {
    v = v->get("a");
    if (v && v->is_array()) v = &v->as_array()[0];
  }
  return v;
}

// Parents nested beyond the depth the host can receive get nothing attached,
// so chained edges cannot grow the output without bound.
TEST(MergeFederated, AttachesOnlyWithinTheDepthLimit) {
  struct Case {
    const char* what;
    bool in_arrays;
    int steps;
    size_t found;
  } cases[] = {
      {"members, deepest allowed level", false, kMaxDepth - 1, 1},
      {"members, one level too deep", false, kMaxDepth, 0},
      {"arrays count as a level", true, (kMaxDepth - 1) / 2, 1},
      {"arrays, too deep", true, (kMaxDepth - 1) / 2 + 1, 0},
  };
  for (const Case& c : cases) {
    Array path(static_cast<size_t>(c.steps), Value("a"));
    Value edge(Object{{"cardinality", Value("one")}, {"key", Value("u")}, {"path", Value(std::move(path))},
                      {"rel", Value("x")}});
    Value plan(Object{{"join", Value(Object{{"edges", Value(Array{std::move(edge)})}})},
                      {"sources", Value(Array{Value(Object{{"key", Value("r")}}), Value(Object{{"key", Value("u")}})})}});
    Result<Value> out = merge_federated(
        plan, Value(Array{Value(Array{chain(kMaxDepth + 2, c.in_arrays)}), Value(Array{Value(Object{})})}));
    ASSERT_TRUE(out.ok()) << c.what;
    const Value* parent = walk(out.value().as_array()[0], c.steps);
    ASSERT_NE(parent, nullptr) << c.what;
    EXPECT_EQ(parent->get("x") ? 1u : 0u, c.found) << c.what;
  }
}

TEST(MergeFederated, ChainedEdgesKeepTheOutputBounded) {
  // Every edge attaches a deep copy at the deepest parent the previous one
  // created; without a bound the output would nest ten times deeper.
  const int levels = kMaxDepth - 10;
  Array edges;
  for (int i = 0; i < 10; ++i) {
    Array path(static_cast<size_t>(levels + i * levels), Value("a"));
    edges.emplace_back(Object{{"cardinality", Value("one")}, {"key", Value("u")}, {"path", Value(std::move(path))},
                              {"rel", Value("a")}});
  }
  Value plan(Object{{"join", Value(Object{{"edges", Value(std::move(edges))}})},
                    {"sources", Value(Array{Value(Object{{"key", Value("r")}}), Value(Object{{"key", Value("u")}})})}});
  Result<Value> out = merge_federated(plan, Value(Array{Value(Array{chain(levels, false)}),
                                                        Value(Array{chain(levels, false)})}));
  ASSERT_TRUE(out.ok());
  int depth = 0;
  for (const Value* v = &out.value().as_array()[0]; v && v->is_object(); v = v->get("a")) ++depth;
  EXPECT_LE(depth, 2 * kMaxDepth + 1);
}

}  // namespace
}  // namespace quorvel
