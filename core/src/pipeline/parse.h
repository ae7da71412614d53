// The query language parser: model name, optional directives in parentheses,
// optional selection in braces. Fails with position-bearing messages.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "pipeline/ast.h"
#include "pipeline/token.h"

namespace quorvel {

// Deepest selection nesting the parser accepts; deeper text would make every
// later walk of the tree recurse without bound.
inline constexpr int kMaxSelectionDepth = 3000;

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  Result<Ast> parse();

  // The current token's value when it has `kind` (and, when given, exactly the
  // one-character value `expected`); the position then advances.
  Result<std::string> consume(TokenKind kind, std::optional<char> expected = std::nullopt);
  // "(" key: value, ... ")" — nothing is consumed without a "(".
  Result<DirectiveMap> parse_params();
  // "{" fields and relations "}" — nothing is consumed without a "{".
  Status parse_body(std::vector<std::string>& fields, RelationList& relations, int depth = 0);

 private:
  const Token* current() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  bool at(std::string_view value) const;
  bool at_punct(char c) const;

  std::vector<Token> tokens_;
  size_t pos_ = 0;
};

Result<Ast> parse(std::vector<Token> tokens);
// tokenize, then parse.
Result<Ast> parse_gql(std::string_view text);

}  // namespace quorvel
