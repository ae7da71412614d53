// The tail every planning method shares: raise the core's error, or apply the
// caller's route override to the whole result and hand it to Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error.h"
#include "json/value.h"

namespace quorvel::py {

// `route_override` is the converted argument; null (None or not given) leaves
// the result as planned.
PyObject* plan_to_py(Result<Value>&& planned, const Value& route_override);

}  // namespace quorvel::py
