// Computed fields: the callback table, write-path defaults, read
// post-processing and the dependencies of asynchronous computes.
#include "args.h"
#include "computes/defaults.h"
#include "computes/inject.h"
#include "computes/run/async.h"
#include "context.h"
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

constexpr Param kStripDepInjected[] = {{"inject_info", ArgType::Any, true}, {"items", ArgType::Any, true}};

PyObject* strip_dep_injected(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("strip_dep_injected", kStripDepInjected, args, nargs, kwnames, a)) return nullptr;
  Value info, items;
  if (!value_arg(a[0], info) || !value_arg(a[1], items)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Array list = items.is_array() ? std::move(items.as_array()) : Array{};
  quorvel::strip_dep_injected(list, InjectInfo::from_value(info));
  return to_py(Value(Object{{"items", Value(std::move(list))}}));
}

constexpr Param kApplyWriteDefaults[] = {{"model", ArgType::Str, true}, {"doc", ArgType::Any, true}};

PyObject* apply_write_defaults(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("apply_write_defaults", kApplyWriteDefaults, args, nargs, kwnames, a)) return nullptr;
  std::string_view model;
  Value doc;
  if (!str_arg(a[0], "", model) || !value_arg(a[1], doc)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<SchemaPtr> schema = b.core().get(model);
  if (!schema) return raise_core_error(schema.error());
  PyFnBridge fns(b.state());
  Result<Value> done = apply_defaults_and_computes(std::move(doc), **schema, ensure_cache(**schema), &fns);
  if (!done) return fns.raise(done.error());
  return to_py(std::move(done).value());
}

constexpr Param kAsyncFnRefs[] = {{"model", ArgType::Str, true}, {"ctx", ArgType::Any}};

PyObject* async_fn_refs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("async_fn_refs", kAsyncFnRefs, args, nargs, kwnames, a)) return nullptr;
  std::string_view model;
  std::optional<Context> ctx;
  if (!str_arg(a[0], "", model) || !ctx_from(a[1], ctx)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<SchemaPtr> schema = b.core().get(model);
  if (!schema) return raise_core_error(schema.error());
  Array refs;
  for (ComputeEntry& e : select_async_fns(**schema, ctx_ptr(ctx))) refs.emplace_back(std::move(e.fn_ref));
  return to_py(Value(std::move(refs)));
}

const PyMethodDef kMethods[] = {
    QV_METHOD("set_fn", set_fn,
              "set_fn($self, fn_ref, callback)\n--\n\n"
              "以 fn_ref 登记同步计算列的回调（替换同名旧回调）；后处理时以当前文档为唯一参数调用。"),
    QV_METHOD("clear_fns", clear_fns,
              "clear_fns($self)\n--\n\n"
              "移除全部计算列回调。"),
    QV_METHOD("apply_write_defaults", apply_write_defaults,
              "apply_write_defaults($self, model, doc)\n--\n\n"
              "按写入路径补全文档：缺失或为 null 的字段取显式默认值、否则取类型默认值（对象字段逐层补全），"
              "再按计算顺序调用同步计算列回调；用于补全 findOneAndUpdate 返回的文档。非对象原样返回。"),
    QV_METHOD("async_fn_refs", async_fn_refs,
              "async_fn_refs($self, model, ctx=None)\n--\n\n"
              "按计算顺序返回 Host 需自行计算的异步计算列的 fn_ref；ctx 无权读取的计算列不列出。"),
    QV_METHOD("strip_dep_injected", strip_dep_injected,
              "strip_dep_injected($self, inject_info, items)\n--\n\n"
              "按注入记录（{\"inject\": {...}} 或其内层对象）从各文档移除为异步计算列额外取回的字段与关系；"
              "返回 {\"items\": [...]}。"),
};

}  // namespace

MethodArea compute_methods() { return kMethods; }

}  // namespace quorvel::py
