// Joins the per-unit results of a federated plan into nested documents.
#pragma once

#include <vector>

#include "error.h"
#include "federation/merge_join.h"
#include "json/value.h"

namespace quorvel {

// `results` holds one array per unit of plan["sources"], in unit order.
Result<Value> merge_federated(const Value& plan, Value results);

}  // namespace quorvel
