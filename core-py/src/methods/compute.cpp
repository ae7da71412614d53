// Computed fields: the callback table, write-path defaults, read
// post-processing and the dependencies of asynchronous computes.
#include <optional>

#include "args.h"
#include "computes/defaults.h"
#include "computes/inject.h"
#include "computes/run/async.h"
#include "computes/run/sync.h"
#include "context.h"
#include "convert.h"
#include "fns.h"
#include "methods/methods.h"
#include "pipeline/parse.h"
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

// A parsed query with its model's schema, and the shared borrow under which
// both stay valid.
struct QueryOnSchema {
  Borrow borrow;
  Ast ast;
  SchemaPtr schema;
};

// Parses the query, then looks up its model; empty with the Python error set.
std::optional<QueryOnSchema> parse_on_schema(PyObject* self, PyObject* gql_arg) {
  std::string_view gql;
  if (!str_arg(gql_arg, "", gql)) return std::nullopt;
  Result<Ast> ast = parse_gql(gql);
  if (!ast) {
    raise_core_error(ast.error());
    return std::nullopt;
  }
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return std::nullopt;
  Result<SchemaPtr> schema = b.core().get(ast->model);
  if (!schema) {
    raise_core_error(schema.error());
    return std::nullopt;
  }
  return QueryOnSchema{std::move(b), std::move(ast).value(), std::move(schema).value()};
}

constexpr Param kProcessNode[] = {{"gql", ArgType::Str, true}, {"doc", ArgType::Any, true}, {"ctx", ArgType::Any}};

PyObject* process_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_args("process_node", kProcessNode, args, nargs, kwnames, a)) return nullptr;
  std::optional<QueryOnSchema> q = parse_on_schema(self, a[0]);
  if (!q) return nullptr;
  std::optional<Context> ctx;
  Value doc;
  if (!ctx_from(a[2], ctx) || !value_arg(a[1], doc)) return nullptr;
  PyFnBridge fns(q->borrow.state());
  ReadPlan plan(std::move(q->ast.fields), std::move(q->ast.relations), *q->schema, q->borrow.core(), ctx_ptr(ctx));
  if (Status s = plan.apply(doc, &fns); !s) return fns.raise(s.error());
  return to_py(Value(Object{{"doc", std::move(doc)}}));
}

constexpr Param kInjectDepends[] = {{"gql", ArgType::Str, true}};

PyObject* inject_depends(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_args("inject_depends", kInjectDepends, args, nargs, kwnames, a)) return nullptr;
  std::optional<QueryOnSchema> q = parse_on_schema(self, a[0]);
  if (!q) return nullptr;
  Result<std::vector<RelDep>> deps = collect_rel_deps(*q->schema);
  if (!deps) return raise_core_error(deps.error());
  // Without asynchronous computes there are no dependencies, so injecting
  // the ones just collected is the whole merge.
  InjectInfo record = inject_into_ast(q->ast.relations, *deps);
  Array rel_deps;
  rel_deps.reserve(deps->size());
  for (const RelDep& d : *deps) rel_deps.push_back(d.to_value());
  return to_py(Value(Object{{"ast", q->ast.to_value()},
                            {"injectInfo", record.to_value()},
                            {"relDeps", Value(std::move(rel_deps))}}));
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
    QV_METHOD("process_node", process_node,
              "process_node($self, gql, doc, ctx=None)\n--\n\n"
              "按 gql 的选择集后处理一个已取回的文档：补默认值、调用同步计算列回调、递归处理所选关系、"
              "按 ctx 逐文档裁剪无权读取的字段，并去掉未选择的成员；返回 {\"doc\": ...}。"),
    QV_METHOD("inject_depends", inject_depends,
              "inject_depends($self, gql)\n--\n\n"
              "解析 gql，把异步计算列依赖的关系及其字段注入查询树；返回注入后的 \"ast\"、"
              "注入记录 \"injectInfo\" 与依赖列表 \"relDeps\"。"),
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
