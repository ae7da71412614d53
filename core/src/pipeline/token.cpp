#include "pipeline/token.h"

namespace quorvel {

namespace {

// Every token character is ASCII, so walking bytes is the same as walking
// code points: the bytes of a multi-byte character never belong to a token.
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char c) { return is_letter(c) || c == '_' || c == '$'; }
bool is_ident_part(char c) { return is_ident_start(c) || is_digit(c) || c == '.'; }
bool is_ref_part(char c) { return is_letter(c) || is_digit(c) || c == '_'; }
bool is_punct(char c) { return std::string_view("(){},:").find(c) != std::string_view::npos; }

// End of the run of characters from `pos` that satisfy `part`.
template <class Pred>
size_t scan(std::string_view text, size_t pos, Pred part) {
  while (pos < text.size() && part(text[pos])) ++pos;
  return pos;
}

}  // namespace

std::string_view token_kind_name(TokenKind kind) {
  switch (kind) {
    case TokenKind::Punct: return "p";
    case TokenKind::Ident: return "id";
    case TokenKind::Ref: return "ref";
  }
  return "p";
}

std::vector<Token> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (is_punct(c)) {
      tokens.push_back({std::string(1, c), TokenKind::Punct});
      ++i;
    } else if (is_ident_start(c)) {
      size_t end = scan(text, i + 1, is_ident_part);
      tokens.push_back({std::string(text.substr(i, end - i)), TokenKind::Ident});
      i = end;
    } else if (c == '@') {
      size_t end = scan(text, i + 1, is_ref_part);
      tokens.push_back({std::string(text.substr(i, end - i)), TokenKind::Ref});
      i = end;
    } else {
      ++i;
    }
  }
  return tokens;
}

Value token_to_value(const Token& token) {
  Object o;
  o.reserve(2);
  o.push_back_sorted("t", Value(token_kind_name(token.kind)));
  o.push_back_sorted("v", Value(token.value));
  return Value(std::move(o));
}

Value tokens_to_value(const std::vector<Token>& tokens) {
  Array out;
  out.reserve(tokens.size());
  for (const Token& t : tokens) out.push_back(token_to_value(t));
  return Value(std::move(out));
}

}  // namespace quorvel
