#include "plain.h"

#include <algorithm>
#include <cmath>

#include "convert.h"
#include "depth_guard.h"

namespace quorvel::py {

namespace {

// Deeper values take the general conversion, which reports depth errors.
constexpr int kPlainDepth = 200;

std::string_view utf8_view(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  return std::string_view(data, static_cast<size_t>(size));
}

// Conversion encodes every str; one with lone surrogates fails there.
bool encodes(PyObject* str) {
  if (PyUnicode_IS_ASCII(str) || PyUnicode_AsUTF8AndSize(str, nullptr)) return true;
  PyErr_Clear();
  return false;
}

enum class IntForm { Same, Double, Error };

// How conversion holds an int: as itself within 64 bits, else as a double.
IntForm int_form(PyObject* obj) {
  int overflow = 0;
  PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) return IntForm::Same;
  if (overflow > 0) {
    PyLong_AsUnsignedLongLong(obj);
    if (!PyErr_Occurred()) return IntForm::Same;
    PyErr_Clear();
  }
  if (PyLong_AsDouble(obj) == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return IntForm::Error;
  }
  return IntForm::Double;
}

bool plain(PyObject* obj, int depth) {
  if (obj == Py_None || PyBool_Check(obj) || PyFloat_CheckExact(obj)) return true;
  if (PyLong_CheckExact(obj)) return int_form(obj) != IntForm::Error;
  if (PyUnicode_CheckExact(obj)) return encodes(obj);
  if (depth >= kPlainDepth) return false;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
      PyObject* item = PyList_CheckExact(obj) ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
      if (!plain(item, depth + 1)) return false;
    }
    return true;
  }
  if (!PyDict_CheckExact(obj)) return false;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value))
    if (!PyUnicode_CheckExact(key) || !encodes(key) || !plain(value, depth + 1)) return false;
  return true;
}

// A scalar whose conversion gives back an equal object.
bool copies_as_itself(PyObject* v) {
  if (v == Py_None || PyBool_Check(v) || PyUnicode_CheckExact(v)) return true;
  if (PyFloat_CheckExact(v)) return std::isfinite(PyFloat_AS_DOUBLE(v));
  return PyLong_CheckExact(v) && int_form(v) == IntForm::Same;
}

}  // namespace

bool is_plain(PyObject* obj) { return plain(obj, 0); }

PyObject* PlainCopier::copy(PyObject* obj) {
  if (PyLong_CheckExact(obj) && int_form(obj) == IntForm::Double) return PyFloat_FromDouble(PyLong_AsDouble(obj));
  if (PyFloat_CheckExact(obj) && !std::isfinite(PyFloat_AS_DOUBLE(obj))) Py_RETURN_NONE;
  bool is_list = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  if (!is_list && !PyDict_CheckExact(obj)) return Py_NewRef(obj);
  DepthGuard guard(depth, kToPyWhere);
  if (!guard.ok()) return nullptr;
  return is_list ? copy_list(obj) : copy_dict(obj);
}

PyObject* PlainCopier::copy_list(PyObject* seq) {
  bool is_list = PyList_CheckExact(seq);
  return new_list(static_cast<size_t>(Py_SIZE(seq)), [&](size_t i) {
    auto at = static_cast<Py_ssize_t>(i);
    return copy(is_list ? PyList_GET_ITEM(seq, at) : PyTuple_GET_ITEM(seq, at));
  });
}

// The usual document already has its keys in order and only scalars: the
// interpreter's own copy then gives the very dict conversion would build.
bool PlainCopier::copies_by_interpreter(PyObject* dict) {
  bool same = true, first = true;
  std::string_view previous;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (same && PyDict_Next(dict, &pos, &key, &value)) {
    std::string_view text = utf8_view(key);
    same = (first || previous < text) && copies_as_itself(value);
    previous = text;
    first = false;
  }
  return same;
}

PyObject* PlainCopier::flat_dict_copy(PyObject* dict) {
  return PyDict_CheckExact(dict) && copies_by_interpreter(dict) ? PyDict_Copy(dict) : nullptr;
}

PyObject* PlainCopier::copy_dict(PyObject* dict) {
  if (copies_by_interpreter(dict)) return PyDict_Copy(dict);
  static const std::vector<Extra> kNone;
  return dict_with(dict, kNone);
}

void PlainCopier::sorted_entries(PyObject* dict, std::vector<Entry>& out) {
  out.clear();
  out.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) out.push_back(Entry{utf8_view(key), key, value});
  auto less = [](const Entry& a, const Entry& b) { return a.text < b.text; };
  if (!std::is_sorted(out.begin(), out.end(), less)) std::sort(out.begin(), out.end(), less);
}

PyObject* PlainCopier::dict_with(PyObject* dict, const std::vector<Extra>& extra) {
  std::vector<Entry> entries;
  sorted_entries(dict, entries);
  PyObject* out = PyDict_New();
  if (!out) return nullptr;
  auto e = entries.begin();
  auto x = extra.begin();
  while (e != entries.end() || x != extra.end()) {
    bool take_extra = e == entries.end() || (x != extra.end() && x->name <= e->text);
    int status;
    if (take_extra) {
      if (e != entries.end() && x->name == e->text) ++e;  // replaced
      status = PyDict_SetItem(out, x->key, x->value);
      ++x;
    } else {
      PyObject* value = copy(e->value);
      status = value ? PyDict_SetItem(out, e->key, value) : -1;
      Py_XDECREF(value);
      ++e;
    }
    if (status != 0) {
      Py_DECREF(out);
      return nullptr;
    }
  }
  return out;
}

}  // namespace quorvel::py
