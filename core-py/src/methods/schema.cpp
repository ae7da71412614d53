// Schema registration and lookup methods.
#include "args.h"
#include "convert.h"
#include "methods/methods.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

constexpr Param kRegister[] = {{"defn", ArgType::Any, true}};

PyObject* register_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_args("register", kRegister, args, nargs, kwnames, a)) return nullptr;
  Value defn;
  if (!value_arg(a[0], defn)) return nullptr;
  Borrow b = Borrow::exclusive(self);
  if (!b.ok()) return nullptr;
  if (Status s = b.core().register_schema(defn); !s) return raise_core_error(s.error());
  Py_RETURN_NONE;
}

constexpr Param kHas[] = {{"name", ArgType::Str, true}};

PyObject* has(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_args("has", kHas, args, nargs, kwnames, a)) return nullptr;
  std::string_view name;
  if (!str_arg(a[0], "", name)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  return PyBool_FromLong(b.core().has(name));
}

PyObject* list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args("list", {}, args, nargs, kwnames, nullptr)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  const std::vector<std::string>& names = b.core().list();
  return new_list(names.size(), [&](size_t i) {
    return PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "replace");
  });
}

const PyMethodDef kMethods[] = {
    QV_METHOD("register", register_schema,
              "register($self, defn)\n--\n\n"
              "规范化并注册 schema 定义，同时派生并注册归档 schema <Name>Deleted（集合 <collection>_deleted）；"
              "定位三元组 (source, namespace, collection) 不得与其他 schema 冲突。"),
    QV_METHOD("has", has,
              "has($self, name)\n--\n\n"
              "返回是否已注册该名称的 schema。"),
    QV_METHOD("list", list,
              "list($self)\n--\n\n"
              "按注册顺序返回 schema 名称列表（含派生的归档 schema；重复注册的名称出现多次）。"),
};

}  // namespace

MethodArea schema_methods() { return kMethods; }

}  // namespace quorvel::py
