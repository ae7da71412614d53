#include "args.h"

#include <cmath>
#include <cstring>

namespace quorvel::py {

namespace {

const char* expected_text(ArgType type) {
  switch (type) {
    case ArgType::Str: return "str";
    case ArgType::Int64: return "int";
    case ArgType::Bool: return "bool";
    case ArgType::OptBool: return "bool or None";
    case ArgType::OptNumber: return "float, int or None";
    case ArgType::Any: break;
  }
  return "any";
}

bool type_matches(ArgType type, PyObject* v) {
  switch (type) {
    case ArgType::Any: return true;
    case ArgType::Str: return PyUnicode_Check(v);
    case ArgType::Int64: return PyLong_Check(v) && !PyBool_Check(v);
    case ArgType::Bool: return PyBool_Check(v);
    case ArgType::OptBool: return v == Py_None || PyBool_Check(v);
    case ArgType::OptNumber: return v == Py_None || PyFloat_Check(v) || (PyLong_Check(v) && !PyBool_Check(v));
  }
  return false;
}

bool check_type(const char* fname, const Param& p, PyObject* v) {
  if (!type_matches(p.type, v)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.100s", fname, p.name,
                 expected_text(p.type), Py_TYPE(v)->tp_name);
    return false;
  }
  if (p.type == ArgType::Int64) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an int within signed 64 bits", fname, p.name);
      return false;
    }
  }
  return true;
}

// Position of the keyword among the parameters, or -1.
Py_ssize_t param_index(std::span<const Param> params, PyObject* key) {
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(key, &size);
  if (!name) {
    PyErr_Clear();
    return -1;
  }
  for (size_t i = 0; i < params.size(); ++i)
    if (std::strlen(params[i].name) == static_cast<size_t>(size) && std::memcmp(params[i].name, name, size) == 0)
      return static_cast<Py_ssize_t>(i);
  return -1;
}

}  // namespace

bool bind_args(const char* fname, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) {
  auto count = static_cast<Py_ssize_t>(params.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", fname, count,
                 count == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t i = param_index(params, key);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, params[i].name);
      return false;
    }
    out[i] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Param& p = params[static_cast<size_t>(i)];
    if (!out[i]) {
      if (p.required) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, p.name, i + 1);
        return false;
      }
      continue;
    }
    if (!check_type(fname, p, out[i])) return false;
  }
  return true;
}

bool str_arg(PyObject* arg, std::string_view fallback, std::string_view& out) {
  if (!arg) {
    out = fallback;
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

int64_t int64_arg(PyObject* arg, int64_t fallback) { return arg ? PyLong_AsLongLong(arg) : fallback; }

std::optional<bool> opt_bool_arg(PyObject* arg) {
  if (!arg || arg == Py_None) return std::nullopt;
  return arg == Py_True;
}

std::optional<double> opt_number_arg(PyObject* arg) {
  if (!arg || arg == Py_None) return std::nullopt;
  if (PyFloat_Check(arg)) return PyFloat_AS_DOUBLE(arg);
  double d = PyLong_AsDouble(arg);
  if (d == -1.0 && PyErr_Occurred()) {
    // An int beyond the float range still compares as what it is: an
    // infinity of its sign, rather than -1 with a stray exception set.
    PyErr_Clear();
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(arg, &overflow);
    return overflow < 0 ? -HUGE_VAL : HUGE_VAL;
  }
  return d;
}

}  // namespace quorvel::py
