// Which asynchronous computed fields the host must compute for a context.
#pragma once

#include <vector>

#include "computes/cache.h"
#include "permission.h"
#include "schema/definition.h"

namespace quorvel {

// The asynchronous entries in compute order, without those whose own read
// rules deny the context.
std::vector<ComputeEntry> select_async_fns(const Schema& schema, const Context* ctx);

}  // namespace quorvel
