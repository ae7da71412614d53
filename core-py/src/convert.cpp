#include "convert.h"

#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>

#include "depth_guard.h"

namespace quorvel::py {

namespace {


bool utf8_of(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool int_to_json(PyObject* obj, Value& out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    out = Value(v);
    return true;
  }
  if (overflow > 0) {
    unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (!PyErr_Occurred()) {
      out = Value(u);
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  }
  double d = PyLong_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, (std::string("整数超出 ") + kJsonLibrary + " 可表示范围").c_str());
    return false;
  }
  out = Value(d);
  return true;
}

bool convert(PyObject* obj, Value& out, int& depth);

bool sequence_item(PyObject* item, Array& out, int& depth) {
  out.emplace_back();
  return convert(item, out.back(), depth);
}

bool list_to_json(PyObject* obj, Value& out, int& depth) {
  Array arr;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    bool is_list = PyList_CheckExact(obj);
    const Py_ssize_t size = Py_SIZE(obj);
    arr.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
      Py_INCREF(item);
      bool good = sequence_item(item, arr, depth);
      Py_DECREF(item);
      if (!good) return false;
      // Converting an element may run Python code (str() of a dict key) that
      // resizes the list: reading on would skip, repeat or overrun elements.
      if (Py_SIZE(obj) != size) {
        PyErr_SetString(PyExc_RuntimeError, "list changed size during iteration");
        return false;
      }
    }
  } else {
    PyObject* it = PyObject_GetIter(obj);
    if (!it) return false;
    while (PyObject* item = PyIter_Next(it)) {
      bool good = sequence_item(item, arr, depth);
      Py_DECREF(item);
      if (!good) {
        Py_DECREF(it);
        return false;
      }
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return false;
  }
  out = Value(std::move(arr));
  return true;
}

bool key_to_text(PyObject* key, std::string& out) {
  if (PyUnicode_Check(key)) return utf8_of(key, out);
  PyObject* text = PyObject_Str(key);
  if (!text) return false;
  bool good = utf8_of(text, out);
  Py_DECREF(text);
  return good;
}

bool dict_to_json(PyObject* obj, Value& out, int& depth) {
  std::vector<Object::Member> entries;
  Py_ssize_t size = PyDict_GET_SIZE(obj);
  entries.reserve(static_cast<size_t>(size));
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    // Keep both alive: str() of a key may run code that mutates the dict.
    Py_INCREF(key);
    Py_INCREF(value);
    entries.emplace_back();
    bool good = key_to_text(key, entries.back().first) && convert(value, entries.back().second, depth);
    Py_DECREF(key);
    Py_DECREF(value);
    if (!good) return false;
    if (PyDict_GET_SIZE(obj) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return false;
    }
  }
  out = Value(Object::from_entries(std::move(entries)));
  return true;
}

bool convert(PyObject* obj, Value& out, int& depth) {
  if (obj == Py_None) {
    out = Value();
    return true;
  }
  if (PyBool_Check(obj)) {
    out = Value(obj == Py_True);
    return true;
  }
  if (PyLong_Check(obj)) return int_to_json(obj, out);
  if (PyFloat_Check(obj)) {
    double d = PyFloat_AS_DOUBLE(obj);
    out = std::isfinite(d) ? Value(d) : Value();
    return true;
  }
  if (PyUnicode_Check(obj)) {
    std::string s;
    if (!utf8_of(obj, s)) return false;
    out = Value(std::move(s));
    return true;
  }
  bool is_seq = PyList_Check(obj) || PyTuple_Check(obj);
  bool is_dict = !is_seq && PyDict_Check(obj);
  if (!is_seq && !is_dict) {
    PyErr_SetString(PyExc_TypeError, "不支持的 Python 类型（需为 None/bool/int/float/str/list/tuple/dict）");
    return false;
  }
  DepthGuard guard(depth, kToJsonWhere);
  if (!guard.ok()) return false;
  return is_seq ? list_to_json(obj, out, depth) : dict_to_json(obj, out, depth);
}

// Documents repeat their keys, so a small direct-mapped cache turns each
// distinct key text into one Python str per conversion; the str's cached
// hash also spares the dict a rehash.
class KeyCache {
 public:
  ~KeyCache() {
    for (Slot& slot : slots_) Py_XDECREF(slot.key);
  }
  // A new reference, or null with a Python exception set.
  PyObject* get(const std::string& text) {
    Slot& slot = slots_[slot_of(text)];
    if (slot.key && slot.text == text) {
      Py_INCREF(slot.key);
      return slot.key;
    }
    PyObject* key = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!key) return nullptr;
    Py_XDECREF(slot.key);
    slot.key = key;
    slot.text = text;
    Py_INCREF(key);
    return key;
  }

 private:
  static constexpr size_t kSlots = 512;
  struct Slot {
    std::string_view text;  // points into the value being converted, which outlives the cache
    PyObject* key = nullptr;
  };
  static size_t slot_of(std::string_view t) {
    size_t h = t.size() * 0x9E3779B1u;
    if (!t.empty()) h ^= static_cast<unsigned char>(t.front()) * 131u + static_cast<unsigned char>(t.back()) * 7u;
    if (t.size() > 2) h += static_cast<unsigned char>(t[t.size() / 2]) * 31u;
    return (h ^ (h >> 9)) % kSlots;
  }
  Slot slots_[kSlots];
};

struct BuildState {
  int depth = 0;
  KeyCache keys;
};

PyObject* build(const Value& v, BuildState& st);

PyObject* build_list(const Array& a, BuildState& st) {
  return new_list(a.size(), [&](size_t i) { return build(a[i], st); });
}

PyObject* build_dict(const Object& o, BuildState& st) {
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  for (const auto& [k, e] : o) {
    PyObject* key = st.keys.get(k);
    PyObject* item = key ? build(e, st) : nullptr;
    bool good = item && PyDict_SetItem(dict, key, item) == 0;
    Py_XDECREF(key);
    Py_XDECREF(item);
    if (!good) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

PyObject* build(const Value& v, BuildState& st) {
  switch (v.kind()) {
    case Kind::Null: Py_RETURN_NONE;
    case Kind::Bool: return PyBool_FromLong(v.as_bool());
    case Kind::UInt: return PyLong_FromUnsignedLongLong(v.as_uint());
    case Kind::Int: return PyLong_FromLongLong(v.as_int());
    case Kind::Double: return PyFloat_FromDouble(v.as_double());
    case Kind::String: {
      const std::string& s = v.as_string();
      return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    }
    case Kind::Array:
    case Kind::Object: {
      DepthGuard guard(st.depth, kToPyWhere);
      if (!guard.ok()) return nullptr;
      return v.is_array() ? build_list(v.as_array(), st) : build_dict(v.as_object(), st);
    }
  }
  Py_RETURN_NONE;
}

}  // namespace

bool py_to_json(PyObject* obj, Value& out) {
  int depth = 0;
  return convert(obj, out, depth);
}

PyObject* json_to_py(const Value& v) {
  // Building a large result allocates many containers; pausing the cyclic
  // collector meanwhile spares repeated full traversals of objects that
  // cannot form cycles yet.
  int gc_was_enabled = PyGC_Disable();
  BuildState st;
  PyObject* out = build(v, st);
  if (gc_was_enabled) PyGC_Enable();
  return out;
}

PyObject* to_py(Value&& v) {
  Value owned = std::move(v);
  return json_to_py(owned);
}

}  // namespace quorvel::py
