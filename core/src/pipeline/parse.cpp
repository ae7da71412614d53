#include "pipeline/parse.h"

namespace quorvel {

namespace {

constexpr std::string_view kPipelineRemoved =
    "$pipeline 直通已移除：请改用标准 GQL（$condition/$sort/$skip/$limit + 关系字段）";

std::string expectation(TokenKind kind, std::optional<char> expected) {
  std::string s = "期望 ";
  s += token_kind_name(kind);
  s += '(';
  if (expected) s += *expected;
  else s += "undefined";
  s += ')';
  return s;
}

}  // namespace

bool Parser::at(std::string_view value) const {
  const Token* t = current();
  return t && t->value == value;
}

bool Parser::at_punct(char c) const {
  const Token* t = current();
  return t && t->kind == TokenKind::Punct && t->value.size() == 1 && t->value[0] == c;
}

Result<std::string> Parser::consume(TokenKind kind, std::optional<char> expected) {
  Token* t = pos_ < tokens_.size() ? &tokens_[pos_] : nullptr;
  if (!t) return Err(expectation(kind, expected) + " 但已到达末尾");
  bool value_ok = !expected || (t->value.size() == 1 && t->value[0] == *expected);
  if (t->kind != kind || !value_ok) {
    return Err(expectation(kind, expected) + " 实际 " + std::string(token_kind_name(t->kind)) + "(" + t->value +
               ") 位置 " + std::to_string(pos_));
  }
  ++pos_;
  // Each token is consumed at most once, so its text can be handed over.
  return std::move(t->value);
}

Result<DirectiveMap> Parser::parse_params() {
  DirectiveMap params;
  if (!at_punct('(')) return params;
  if (auto r = consume(TokenKind::Punct, '('); !r) return r.err();
  while (true) {
    if (at(")")) {
      ++pos_;
      break;
    }
    Result<std::string> key = consume(TokenKind::Ident);
    if (!key) return key.err();
    std::string_view name = *key;
    name.remove_prefix(std::min(name.find_first_not_of('$'), name.size()));
    if (name == "pipeline") return Err(std::string(kPipelineRemoved));
    std::string directive(name);
    if (auto r = consume(TokenKind::Punct, ':'); !r) return r.err();
    // The value slot is taken whatever it holds; punctuation gives no entry.
    if (pos_ < tokens_.size() && tokens_[pos_].kind != TokenKind::Punct)
      params[std::move(directive)] = std::move(tokens_[pos_].value);
    ++pos_;
    if (at(",")) ++pos_;
  }
  return params;
}

Status Parser::parse_body(std::vector<std::string>& fields, RelationList& relations, int depth) {
  if (!at_punct('{')) return ok();
  if (depth >= kMaxSelectionDepth)
    return Err("选择集嵌套超过 " + std::to_string(kMaxSelectionDepth) + " 层 位置 " + std::to_string(pos_));
  if (auto r = consume(TokenKind::Punct, '{'); !r) return r.err();
  while (current()) {
    if (at(",")) {
      ++pos_;
      continue;
    }
    if (at("}")) break;
    Result<std::string> name = consume(TokenKind::Ident);
    if (!name) return name.err();
    bool has_params = at_punct('(');
    Result<DirectiveMap> params = parse_params();
    if (!params) return params.err();
    bool has_body = at_punct('{');
    if (!has_params && !has_body) {
      fields.push_back(std::move(name).value());
    } else {
      RelAst sub;
      sub.params = std::move(params).value();
      if (Status s = parse_body(sub.fields, sub.relations, depth + 1); !s) return s;
      relations.emplace_back(std::move(name).value(), std::move(sub));
    }
    if (at(",")) ++pos_;
  }
  if (auto r = consume(TokenKind::Punct, '}'); !r) return r.err();
  return ok();
}

Result<Ast> Parser::parse() {
  Ast ast;
  Result<std::string> model = consume(TokenKind::Ident);
  if (!model) return model.err();
  ast.model = std::move(model).value();
  Result<DirectiveMap> params = parse_params();
  if (!params) return params.err();
  ast.params = std::move(params).value();
  if (Status s = parse_body(ast.fields, ast.relations); !s) return s.err();
  return ast;
}

Result<Ast> parse(std::vector<Token> tokens) { return Parser(std::move(tokens)).parse(); }

Result<Ast> parse_gql(std::string_view text) { return parse(tokenize(text)); }

}  // namespace quorvel
