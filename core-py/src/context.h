// Reading the `ctx` argument every permission-aware method takes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "permission.h"

namespace quorvel::py {

// Absent or None gives no context; anything else is converted and read by
// context_from_value, so a non-dict also reads as no context. Returns false
// with a Python exception set when the value cannot be converted.
bool ctx_from(PyObject* arg, std::optional<Context>& out);

// The context as the core takes it: null when there is none.
inline const Context* ctx_ptr(const std::optional<Context>& ctx) { return ctx ? &*ctx : nullptr; }

}  // namespace quorvel::py
