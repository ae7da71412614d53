// SQL translation methods: commands to SQL, and flat rows back to documents.
#include <cmath>
#include <vector>

#include "args.h"
#include "convert.h"
#include "dialect/row.h"
#include "dialect/translate.h"
#include "methods/methods.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

constexpr Param kDialectTranslate[] = {{"backend", ArgType::Str, true}, {"cmd", ArgType::Any, true}};

PyObject* dialect_translate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("dialect_translate", kDialectTranslate, args, nargs, kwnames, a)) return nullptr;
  std::string_view backend_name;
  Value cmd;
  if (!str_arg(a[0], "", backend_name) || !value_arg(a[1], cmd)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<Backend> backend = Backend::parse(backend_name);
  if (!backend) return raise_core_error(backend.error());
  Result<Value> out = quorvel::translate(*backend, cmd, b.core());
  if (!out) return raise_core_error(out.error());
  return to_py(std::move(out).value());
}

// The host's rows seen through the shape's columns. Each cell is held by a
// strong reference, so nothing the restoration reads can go away under it,
// and the restored documents reuse these objects instead of rebuilding them.
class PyRows : public RowSource {
 public:
  ~PyRows() override {
    for (PyObject* c : cells_) Py_XDECREF(c);
  }

  // False with a Python error set.
  bool collect(PyObject* rows, const RowShape& shape) {
    std::vector<PyObject*> aliases;
    for (const RowCol& c : shape.columns) aliases.push_back(make_key(c.alias));
    if (shape.present) aliases.push_back(make_key(*shape.present));
    bool good = std::all_of(aliases.begin(), aliases.end(), [](PyObject* k) { return k != nullptr; }) &&
                collect_rows(rows, aliases);
    for (PyObject* k : aliases) Py_XDECREF(k);
    return good;
  }

  size_t size() const override { return objects_.size(); }
  bool is_object(size_t row) const override { return objects_[row]; }
  Cell cell(size_t row, size_t col) const override {
    PyObject* c = at(row, col);
    if (!c) return Cell::Missing;
    return c == Py_None ? Cell::Null : Cell::Present;
  }
  bool value(size_t row, size_t col, Value& out) const override {
    PyObject* c = at(row, col);
    if (!c) {
      out = Value();
      return true;
    }
    return py_to_json(c, out);
  }
  PyObject* at(size_t row, size_t col) const { return cells_[row * width_ + col]; }

 private:
  static PyObject* make_key(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }

  bool collect_rows(PyObject* rows, const std::vector<PyObject*>& aliases) {
    width_ = aliases.size();
    Py_ssize_t n = PySequence_Fast_GET_SIZE(rows);
    objects_.reserve(static_cast<size_t>(n));
    cells_.reserve(static_cast<size_t>(n) * width_);
    // Re-read the size each round: a key's __eq__ may run code that shrinks the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows); ++i) {
      PyObject* row = PySequence_Fast_GET_ITEM(rows, i);
      Py_INCREF(row);
      bool good = collect_row(row, aliases);
      Py_DECREF(row);
      if (!good) return false;
    }
    return true;
  }

  bool collect_row(PyObject* row, const std::vector<PyObject*>& aliases) {
    bool is_dict = PyDict_Check(row);
    if (!is_dict) {
      // Not a document, but it must still be a value the host could pass.
      Value ignored;
      if (!py_to_json(row, ignored)) return false;
    }
    objects_.push_back(is_dict);
    for (PyObject* alias : aliases) {
      PyObject* c = nullptr;
      if (is_dict) {
        c = PyDict_GetItemWithError(row, alias);
        if (!c && PyErr_Occurred()) return false;
        Py_XINCREF(c);
      }
      cells_.push_back(c);
    }
    return true;
  }

  size_t width_ = 0;
  std::vector<bool> objects_;
  std::vector<PyObject*> cells_;
};

// A cell as the result holds it: the host's own object when converting it
// would give back an equal object, else the converted copy.
PyObject* cell_to_py(PyObject* c) {
  if (c == Py_None || PyBool_Check(c)) return Py_NewRef(c);
  if (PyLong_CheckExact(c)) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(c, &overflow);
    if (overflow == 0) return Py_NewRef(c);
  } else if (PyFloat_CheckExact(c)) {
    if (std::isfinite(PyFloat_AS_DOUBLE(c))) return Py_NewRef(c);
    Py_RETURN_NONE;
  } else if (PyUnicode_CheckExact(c)) {
    if (PyUnicode_IS_ASCII(c) || PyUnicode_AsUTF8AndSize(c, nullptr)) return Py_NewRef(c);
    return nullptr;
  }
  Value v;
  if (!py_to_json(c, v)) return nullptr;
  return to_py(std::move(v));
}

class Builder {
 public:
  Builder(const PyRows& rows, const std::vector<std::string_view>& keys) : rows_(rows) {
    keys_.reserve(keys.size());
    for (std::string_view k : keys)
      keys_.push_back(PyUnicode_DecodeUTF8(k.data(), static_cast<Py_ssize_t>(k.size()), "replace"));
  }
  ~Builder() {
    for (PyObject* k : keys_) Py_XDECREF(k);
  }

  PyObject* build(RNode& node) {
    if (Value* v = std::get_if<Value>(&node.data)) return to_py(std::move(*v));
    if (CellRef* ref = std::get_if<CellRef>(&node.data)) return cell_to_py(rows_.at(ref->row, ref->col));
    if (Py_EnterRecursiveCall(" while building a Python object")) return nullptr;
    PyObject* out = std::holds_alternative<RMembers>(node.data) ? build_dict(std::get<RMembers>(node.data))
                                                                : build_list(std::get<RItems>(node.data));
    Py_LeaveRecursiveCall();
    return out;
  }

  PyObject* build_list(RItems& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
      PyObject* item = build(items[i]);
      if (!item) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  }

 private:
  PyObject* build_dict(RMembers& members) {
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    for (auto& [key, child] : members) {
      PyObject* k = keys_[key];
      PyObject* item = k ? build(child) : nullptr;
      bool good = item && PyDict_SetItem(dict, k, item) == 0;
      Py_XDECREF(item);
      if (!good) {
        Py_DECREF(dict);
        return nullptr;
      }
    }
    return dict;
  }

  const PyRows& rows_;
  std::vector<PyObject*> keys_;
};

PyObject* restore_list(PyObject* rows_arg, const RowShape& shape) {
  PyRows rows;
  if (!rows.collect(rows_arg, shape)) return nullptr;
  Result<Restored> restored = restore(shape, rows);
  if (!restored) return PyErr_Occurred() ? nullptr : raise_core_error(restored.error());
  // Pausing the cyclic collector while many containers are made spares it
  // repeated traversals of objects that cannot form cycles yet.
  int gc_was_enabled = PyGC_Disable();
  PyObject* out = Builder(rows, restored->keys).build_list(restored->documents);
  if (gc_was_enabled) PyGC_Enable();
  return out;
}

constexpr Param kRestoreRows[] = {{"shape", ArgType::Any, true}, {"rows", ArgType::Any, true}};

PyObject* restore_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("restore_rows", kRestoreRows, args, nargs, kwnames, a)) return nullptr;
  Value shape_value;
  if (!value_arg(a[0], shape_value)) return nullptr;
  bool is_list = PyList_Check(a[1]) || PyTuple_Check(a[1]);
  if (!is_list) {
    // Anything but a list of rows is no rows, once it is known to be a value.
    Value ignored;
    if (!value_arg(a[1], ignored)) return nullptr;
  }
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<RowShape> shape = RowShape::from_value(shape_value);
  if (!shape) return raise_core_error(shape.error());
  if (!is_list) return PyList_New(0);
  return restore_list(a[1], *shape);
}

const PyMethodDef kMethods[] = {
    QV_METHOD("dialect_translate", dialect_translate,
              "dialect_translate($self, backend, cmd)\n--\n\n"
              "把命令文档翻译为后端（mysql / postgres / sqlite）的 SQL：返回 backend、stmt（每条含 text、"
              "params、rowShape、isWrite、returning）、warnings 与 unsupported；无法精确表达的条件一律拒绝。"),
    QV_METHOD("restore_rows", restore_rows,
              "restore_rows($self, shape, rows)\n--\n\n"
              "按语句的 rowShape 把扁平结果行还原为嵌套文档：按 _id 分组，按 __present 区分 null 与缺失，"
              "数字布尔还原为 bool，关联行聚合为子文档或数组。"),
};

}  // namespace

MethodArea dialect_methods() { return kMethods; }

}  // namespace quorvel::py
