// Tokens of the query language. Tokenizing never fails: characters that
// cannot start a token are skipped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace quorvel {

enum class TokenKind : unsigned char {
  Punct,  // "p": one of (){},:
  Ident,  // "id": identifiers, dotted paths and $-names
  Ref,    // "ref": "@" and the parameter name after it
};

struct Token {
  std::string value;
  TokenKind kind;
};

// The kind as it appears in tokens' JSON form and in parse messages.
std::string_view token_kind_name(TokenKind kind);

std::vector<Token> tokenize(std::string_view text);

// {"t": kind, "v": value}
Value token_to_value(const Token& token);
Value tokens_to_value(const std::vector<Token>& tokens);

}  // namespace quorvel
