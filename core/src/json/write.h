// The compact JSON writer: no whitespace, shortest round-trip floats.
#pragma once

#include <string>

#include "json/value.h"

namespace quorvel {

// Appends the compact text of `v` to `out`.
void write_json(const Value& v, std::string& out);
// Appends the text form of a finite double (1.0, 1e16, 1.5e-7, 0.0).
void write_double(double d, std::string& out);
// Appends `s` as a quoted, escaped JSON string.
void write_json_string(std::string_view s, std::string& out);

}  // namespace quorvel
