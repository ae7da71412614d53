// Read-path planning methods: list queries, paging, counts, existence checks
// and the finalize protocol around fetched documents.
#include "args.h"
#include "command/count.h"
#include "command/finalize.h"
#include "command/query.h"
#include "context.h"
#include "convert.h"
#include "fns.h"
#include "methods/methods.h"
#include "pipeline/parse.h"
#include "pipeline/util.h"
#include "registry_object.h"
#include "route.h"

namespace quorvel::py {

namespace {

// Null for None or a missing argument, so that "not given" reads as absent.
const Value* present(const Value& v) { return v.is_null() ? nullptr : &v; }

Array take_array(Value&& v) {
  if (Array* a = v.if_array()) return std::move(*a);
  return {};
}

// Parameters are used only when they form an object; anything else is none.
Object take_params(Value&& v) {
  if (Object* o = v.if_object()) return std::move(*o);
  return {};
}

constexpr Param kPlanQuery[] = {{"gql", ArgType::Str, true}, {"params"}, {"ctx"}, {"route_override"}};

using PlanFn = Result<QueryPlan> (*)(std::string_view, Object, const quorvel::Registry&, const Context*);

PyObject* plan_list(const char* fname, PlanFn plan, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  PyObject* a[4];
  if (!bind_args(fname, kPlanQuery, args, nargs, kwnames, a)) return nullptr;
  std::string_view gql;
  Value params, route;
  std::optional<Context> ctx;
  if (!str_arg(a[0], "", gql) || !value_arg(a[1], params) || !ctx_from(a[2], ctx) || !value_arg(a[3], route))
    return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<QueryPlan> planned = plan(gql, take_params(std::move(params)), b.core(), ctx_ptr(ctx));
  if (!planned) return raise_core_error(planned.error());
  return plan_to_py(std::move(planned).value().to_value(), route);
}

PyObject* plan_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return plan_list("plan_query", quorvel::plan_query, self, args, nargs, kwnames);
}

PyObject* plan_query_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return plan_list("plan_query_one", quorvel::plan_query_one, self, args, nargs, kwnames);
}

constexpr Param kResolvePage[] = {{"gql", ArgType::Str, true}, {"params"}};

PyObject* resolve_page(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("resolve_page", kResolvePage, args, nargs, kwnames, a)) return nullptr;
  std::string_view gql;
  Value params;
  if (!str_arg(a[0], "", gql) || !value_arg(a[1], params)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<Ast> tree = parse_gql(gql);
  if (!tree) return raise_core_error(tree.error());
  return to_py(quorvel::resolve_page(*tree, take_params(std::move(params))).to_value());
}

constexpr Param kPlanQueryWithCount[] = {
    {"gql", ArgType::Str, true}, {"params"}, {"ctx"}, {"total", ArgType::OptNumber}, {"route_override"}};

PyObject* plan_query_with_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  if (!bind_args("plan_query_with_count", kPlanQueryWithCount, args, nargs, kwnames, a)) return nullptr;
  std::string_view gql;
  Value params, route;
  std::optional<Context> ctx;
  if (!str_arg(a[0], "", gql) || !value_arg(a[1], params) || !ctx_from(a[2], ctx) || !value_arg(a[4], route))
    return nullptr;
  // An int beyond the float range reads as an infinity of its sign.
  const double total = opt_number_arg(a[3]).value_or(0.0);
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<CountQueryPlan> planned =
      quorvel::plan_query_with_count(gql, take_params(std::move(params)), b.core(), ctx_ptr(ctx));
  if (!planned) return raise_core_error(planned.error());
  const Page page = planned->page;
  Value out = std::move(planned).value().to_value();
  out.as_object().set("hasMore", Value(total > (page.page + 1) * page.page_size));
  return plan_to_py(std::move(out), route);
}

constexpr Param kPrepareQuery[] = {{"postprocess", ArgType::Any, true}, {"items", ArgType::Any, true}, {"ctx"}};

PyObject* prepare_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_args("prepare_query", kPrepareQuery, args, nargs, kwnames, a)) return nullptr;
  Value postprocess, items;
  std::optional<Context> ctx;
  if (!value_arg(a[0], postprocess) || !value_arg(a[1], items) || !ctx_from(a[2], ctx)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  PyFnBridge fns(b.state());
  Result<Value> done = quorvel::prepare_query(postprocess, std::move(items), b.core(), ctx_ptr(ctx), &fns);
  if (!done) return fns.raise(done.error());
  return to_py(std::move(done).value());
}

constexpr Param kStripQuery[] = {{"postprocess", ArgType::Any, true}, {"items", ArgType::Any, true}};

PyObject* strip_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("strip_query", kStripQuery, args, nargs, kwnames, a)) return nullptr;
  Value postprocess, items;
  if (!value_arg(a[0], postprocess) || !value_arg(a[1], items)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Array stripped = quorvel::strip_query(postprocess, std::move(items));
  return to_py(one_member("items", Value(std::move(stripped))));
}

constexpr Param kSortsByRelation[] = {{"sort"}};

PyObject* sorts_by_relation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_args("sorts_by_relation", kSortsByRelation, args, nargs, kwnames, a)) return nullptr;
  Value sort;
  if (!value_arg(a[0], sort)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  return PyBool_FromLong(quorvel::sorts_by_relation(present(sort)));
}

constexpr Param kRestoreSortOrder[] = {{"items", ArgType::Any, true}, {"ids", ArgType::Any, true}, {"sort"}};

PyObject* restore_sort_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_args("restore_sort_order", kRestoreSortOrder, args, nargs, kwnames, a)) return nullptr;
  Value items, ids, sort;
  if (!value_arg(a[0], items) || !value_arg(a[1], ids) || !value_arg(a[2], sort)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  const Array no_ids;
  const Array* id_list = ids.if_array();
  Array ordered = quorvel::restore_sort_order(take_array(std::move(items)), id_list ? *id_list : no_ids,
                                              present(sort));
  return to_py(one_member("items", Value(std::move(ordered))));
}

constexpr Param kPlanCount[] = {
    {"model", ArgType::Str, true}, {"filter"}, {"ctx"}, {"route_override"}};

PyObject* plan_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!bind_args("plan_count", kPlanCount, args, nargs, kwnames, a)) return nullptr;
  std::string_view model;
  Value filter, route;
  std::optional<Context> ctx;
  if (!str_arg(a[0], "", model) || !value_arg(a[1], filter) || !ctx_from(a[2], ctx) || !value_arg(a[3], route))
    return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  return plan_to_py(quorvel::plan_count(model, std::move(filter), b.core(), ctx_ptr(ctx)), route);
}

constexpr Param kPlanExists[] = {{"model", ArgType::Str, true}, {"condition"}, {"route_override"}};

PyObject* plan_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_args("plan_exists", kPlanExists, args, nargs, kwnames, a)) return nullptr;
  std::string_view model;
  Value condition, route;
  if (!str_arg(a[0], "", model) || !value_arg(a[1], condition) || !value_arg(a[2], route)) return nullptr;
  if (condition.is_null()) condition = Value(Object{});
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  return plan_to_py(quorvel::plan_exists(model, std::move(condition), b.core()), route);
}

const PyMethodDef kMethods[] = {
    QV_METHOD("plan_query", plan_query,
              "plan_query($self, gql, params=None, ctx=None, route_override=None)\n--\n\n"
              "解析 GQL 并规划查询：读权限与 owner 条件、asyncFn 依赖注入、管道与投影，"
              "选择 find / two_phase / aggregate 模式；返回 {collection, commands, mode, postprocess, sort}。"),
    QV_METHOD("plan_query_one", plan_query_one,
              "plan_query_one($self, gql, params=None, ctx=None, route_override=None)\n--\n\n"
              "同 plan_query，但查询未写 $limit 时限定为一条（@__core_one_limit__ = 1）。"),
    QV_METHOD("resolve_page", resolve_page,
              "resolve_page($self, gql, params=None)\n--\n\n"
              "由 page/pageSize 参数（或 $skip/$limit 指令）推出页码与页大小（上限 5000，默认 50）；"
              "返回 {\"page\": ..., \"pageSize\": ...}。"),
    QV_METHOD("sorts_by_relation", sorts_by_relation,
              "sorts_by_relation($self, sort=None)\n--\n\n"
              "sort 为 {\"$sort\": {...}} 阶段且其中有含 \".\" 的键（按关联字段排序）时返回 True。"),
    QV_METHOD("restore_sort_order", restore_sort_order,
              "restore_sort_order($self, items, ids, sort=None)\n--\n\n"
              "两阶段查询后按第一阶段返回的 _id 顺序重排 items（按 id_key 匹配，未知 _id 保持原序排在最后）；"
              "sort 为 None 或 ids 少于两个时原样返回。返回 {\"items\": [...]}。"),
    QV_METHOD("plan_query_with_count", plan_query_with_count,
              "plan_query_with_count($self, gql, params=None, ctx=None, total=None, route_override=None)\n--\n\n"
              "规划列表查询及其总数命令（countCommand：仅根条件与 owner 条件）；给出 page/pageSize 时改写 "
              "skip/limit；hasMore = total > (page + 1) × pageSize（total 为 None 时按 0）。"),
    QV_METHOD("plan_count", plan_count,
              "plan_count($self, model, filter=None, ctx=None, route_override=None)\n--\n\n"
              "规划一条 countDocuments 命令：校验 filter，拒绝关系聚合谓词，按 ctx 合并 owner 条件；"
              "不检查读权限与 require-context。"),
    QV_METHOD("plan_exists", plan_exists,
              "plan_exists($self, model, condition=None, route_override=None)\n--\n\n"
              "规划一条只取 _id 的 findOne 命令，用于判断是否存在匹配文档；不接受 ctx，拒绝关系聚合谓词。"),
    QV_METHOD("prepare_query", prepare_query,
              "prepare_query($self, postprocess, items, ctx=None)\n--\n\n"
              "finalize 第一阶段：按 postprocess.ast 对每条结果做读后处理（默认值、同步计算列、关系、权限裁剪），"
              "返回 {\"fnRefs\": 需由 Host 计算的异步计算列, \"items\": [...]}。"),
    QV_METHOD("strip_query", strip_query,
              "strip_query($self, postprocess, items)\n--\n\n"
              "finalize 第三阶段：按 postprocess.inject 移除仅为异步计算列注入的依赖数据；返回 {\"items\": [...]}。"),
};

}  // namespace

MethodArea query_methods() { return kMethods; }

}  // namespace quorvel::py
