// Identity keys and the compact text of values.
#pragma once

#include <string>

#include "json/value.h"

namespace quorvel {

// Compact JSON text of a value.
std::string dump(const Value& v);
// The key by which documents are matched by identity: strings as they are,
// {"$oid": s} as s, numbers and other scalars in their text form, containers
// as their compact text.
std::string id_key(const Value& v);

}  // namespace quorvel
