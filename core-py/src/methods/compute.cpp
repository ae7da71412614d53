// Computed fields: the callback table, write-path defaults, read
// post-processing and the dependencies of asynchronous computes.
#include "args.h"
#include "convert.h"
#include "fns.h"
#include "methods/methods.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

constexpr Param kSetFn[] = {{"fn_ref", ArgType::Str, true}, {"callback", ArgType::Any, true}};

PyObject* set_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("set_fn", kSetFn, args, nargs, kwnames, a)) return nullptr;
  std::string_view fn_ref;
  if (!str_arg(a[0], "", fn_ref)) return nullptr;
  ReleasedFns released;
  Borrow b = Borrow::exclusive(self);
  if (!b.ok()) return nullptr;
  store_fn(b.state(), std::string(fn_ref), a[1], released);
  Py_RETURN_NONE;
}

PyObject* clear_fns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args("clear_fns", {}, args, nargs, kwnames, nullptr)) return nullptr;
  ReleasedFns released;
  Borrow b = Borrow::exclusive(self);
  if (!b.ok()) return nullptr;
  clear_fn_table(b.state(), released);
  Py_RETURN_NONE;
}

const PyMethodDef kMethods[] = {
    QV_METHOD("set_fn", set_fn,
              "set_fn($self, fn_ref, callback)\n--\n\n"
              "以 fn_ref 登记同步计算列的回调（替换同名旧回调）；后处理时以当前文档为唯一参数调用。"),
    QV_METHOD("clear_fns", clear_fns,
              "clear_fns($self)\n--\n\n"
              "移除全部计算列回调。"),
};

}  // namespace

MethodArea compute_methods() { return kMethods; }

}  // namespace quorvel::py
