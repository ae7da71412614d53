// The host-driven finalize protocol around fetched documents: post-process
// them and name the asynchronous computes the host must run (prepare), then
// remove what was fetched only to feed those computes (strip).
#pragma once

#include "computes/registry.h"
#include "error.h"
#include "json/value.h"
#include "permission.h"
#include "schema/registry.h"

namespace quorvel {

// `postprocess` is a query plan's "postprocess" member; `items` not an array
// counts as no items. Returns {"fnRefs": [...], "items": [...]}.
Result<Value> prepare_query(const Value& postprocess, Value items, const Registry& registry, const Context* ctx,
                            FnRegistry* fns);

// Never fails: without an injection record the items come back unchanged.
Array strip_query(const Value& postprocess, Value items);

}  // namespace quorvel
