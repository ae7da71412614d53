// Paging numbers: the page and page size a list query runs with, and how
// such numbers are written back as JSON.
#pragma once

#include <string>
#include <string_view>

#include "json/value.h"

namespace quorvel {

struct Page {
  double page = 0;
  double page_size = 50;

  Value to_value() const;
};

// An integral finite number up to 2^53 in magnitude as an integer, another
// finite one as a float, a non-finite one as the integer 0.
Value page_number(double d);

// The parameter a directive reference names: the text without its first
// character (an empty name when that character is not ASCII).
std::string_view param_name(std::string_view reference);
// "@" + name: the directive text that refers to a parameter.
std::string param_reference(std::string_view name);

// The paging arithmetic over the parameters and the values the query's
// "skip" and "limit" directives refer to (null pointers when a directive or
// its parameter is missing).
Page page_from_params(const Object& params);
Page page_from_directives(const Value* skip, const Value* limit);

}  // namespace quorvel
