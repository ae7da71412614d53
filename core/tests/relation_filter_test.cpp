// The SQL translator recovers a relation-filter lookup's relation from its
// output name; nothing reaches this from Python.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "pipeline/relation_filter.h"

namespace quorvel {
namespace {

TEST(RelNameFromAs, TakesTheTextAfterTheFirstSeparator) {
  struct Case {
    const char* as;
    std::optional<std::string> relation;
  } cases[] = {
      {"__rp0__posts", "posts"},
      {"__rp12__a__b", "a__b"},
      {"__rp0___x", "_x"},
      {"__rp0__", ""},
      {"__rp__x", "x"},
      {"__rp", std::nullopt},
      {"__rp0posts", std::nullopt},
      {"__r", std::nullopt},
      {"posts", std::nullopt},
      {"x__rp0__posts", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(relation_filter::rel_name_from_as(c.as), c.relation) << c.as;
}

}  // namespace
}  // namespace quorvel
