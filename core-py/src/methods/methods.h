// The Registry method table, assembled from one list per area.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <vector>

namespace quorvel::py {

using MethodArea = std::span<const PyMethodDef>;

// Every area's methods, in table order.
std::vector<MethodArea> method_areas();

// One line per area (kept one per line so that areas merge cleanly).
MethodArea frame_methods();
MethodArea federation_methods();
MethodArea query_methods();
MethodArea compute_methods();
MethodArea pipeline_methods();
MethodArea schema_methods();
MethodArea datasource_methods();
MethodArea perm_methods();

}  // namespace quorvel::py
