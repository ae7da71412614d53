// Table-driven binding of fast-call arguments: every parameter is
// positional-or-keyword, in signature order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorvel::py {

enum class ArgType : uint8_t {
  Any,        // any value; conversion happens later
  Str,        // str
  Int64,      // int within signed 64 bits (bool excluded)
  Bool,       // bool
  OptBool,    // bool or None
  OptNumber,  // float, int or None
};

struct Param {
  const char* name;
  ArgType type = ArgType::Any;
  bool required = false;
};

// Binds `args`/`kwnames` onto `params`, filling `out` (one borrowed reference
// per parameter, null when an optional one is not given) and checking the
// declared types. Returns false with a TypeError set.
bool bind_args(const char* fname, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);

// Accessors for arguments already checked by bind_args. A null `arg` yields
// the fallback; an int beyond the float range reads as an infinity. str_arg can still fail (a lone surrogate): it returns false
// with the interpreter's error set.
bool str_arg(PyObject* arg, std::string_view fallback, std::string_view& out);
int64_t int64_arg(PyObject* arg, int64_t fallback);
std::optional<bool> opt_bool_arg(PyObject* arg);
std::optional<double> opt_number_arg(PyObject* arg);

}  // namespace quorvel::py

// Declares a METH_FASTCALL|METH_KEYWORDS method entry.
#define QV_METHOD(name, fn, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, doc }
