#include "command/page.h"

#include <algorithm>
#include <cmath>

#include "command/cmd.h"
#include "types.h"

namespace quorvel {

namespace {

constexpr double kMaxPageSize = 5000;
constexpr double kDefaultPageSize = 50;
constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53

bool given(const Value* v) { return v && !v->is_null(); }

}  // namespace

Value page_number(double d) {
  if (!std::isfinite(d)) return Value(0u);
  if (std::trunc(d) == d && std::fabs(d) <= kMaxExactInteger) return Value(static_cast<long long>(d));
  return Value(d);
}

Value Page::to_value() const {
  return Value(Object{{"page", page_number(page)}, {"pageSize", page_number(page_size)}});
}

std::string_view param_name(std::string_view reference) {
  if (reference.empty()) return reference;
  if (static_cast<unsigned char>(reference[0]) >= 0x80) return {};
  return reference.substr(1);
}

std::string param_reference(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 1);
  out.push_back('@');
  out.append(name);
  return out;
}

Page page_from_params(const Object& params) {
  const Value* page = params.find("page");
  const Value* size = params.find("pageSize");
  Page out;
  out.page = given(page) ? std::floor(std::max(to_number(page), 0.0)) : 0.0;
  out.page_size = given(size) ? std::min(to_number(size), kMaxPageSize) : kDefaultPageSize;
  return out;
}

Page page_from_directives(const Value* skip, const Value* limit) {
  Page out;
  if (given(skip) && limit && is_truthy(*limit)) out.page = std::floor(to_number(skip) / to_number(limit));
  out.page_size = given(limit) ? std::min(to_number(limit), kMaxPageSize) : kDefaultPageSize;
  return out;
}

}  // namespace quorvel
