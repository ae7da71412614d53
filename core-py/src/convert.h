// Conversion between Python objects and core values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <string>
#include <vector>

#include "json/value.h"

namespace quorvel::py {

// Name of the value model, as it appears in conversion errors.
inline constexpr const char* kJsonLibrary = "quorvel_json";

// Converts `obj` into `out`. Returns false with a Python exception set; `out`
// is then unspecified and must not reach the core.
bool py_to_json(PyObject* obj, Value& out);
// A new reference, or null with a Python exception set.
PyObject* json_to_py(const Value& v);
// As json_to_py, for a value the caller gives up (freed as soon as converted).
PyObject* to_py(Value&& v);

// A new list of `size` items, item i made by `make(i)` (a new reference, or
// null with a Python error set, which fails the whole list).
template <class Make>
PyObject* new_list(size_t size, Make&& make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (!list) return nullptr;
  for (size_t i = 0; i < size; ++i) {
    PyObject* item = make(i);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// An absent set of names gives null, a present one its names in byte order.
template <class Names>
Value sorted_set(const Names* names) {
  if (!names) return Value();
  std::vector<std::string> sorted(names->begin(), names->end());
  std::sort(sorted.begin(), sorted.end());
  Array out;
  out.reserve(sorted.size());
  for (std::string& n : sorted) out.emplace_back(std::move(n));
  return Value(std::move(out));
}

}  // namespace quorvel::py

namespace quorvel::py {

// A value argument: absent or None gives null.
inline bool value_arg(PyObject* arg, Value& out) {
  if (!arg || arg == Py_None) {
    out = Value();
    return true;
  }
  return py_to_json(arg, out);
}

}  // namespace quorvel::py
