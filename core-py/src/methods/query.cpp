// Read-path planning methods: list queries, paging, counts, existence checks
// and the finalize protocol around fetched documents.
#include "args.h"
#include "command/count.h"
#include "command/query.h"
#include "context.h"
#include "convert.h"
#include "methods/methods.h"
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
  return to_py(Value(Object{{"items", Value(std::move(ordered))}}));
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
    QV_METHOD("sorts_by_relation", sorts_by_relation,
              "sorts_by_relation($self, sort=None)\n--\n\n"
              "sort 为 {\"$sort\": {...}} 阶段且其中有含 \".\" 的键（按关联字段排序）时返回 True。"),
    QV_METHOD("restore_sort_order", restore_sort_order,
              "restore_sort_order($self, items, ids, sort=None)\n--\n\n"
              "两阶段查询后按第一阶段返回的 _id 顺序重排 items（按 id_key 匹配，未知 _id 保持原序排在最后）；"
              "sort 为 None 或 ids 少于两个时原样返回。返回 {\"items\": [...]}。"),
    QV_METHOD("plan_count", plan_count,
              "plan_count($self, model, filter=None, ctx=None, route_override=None)\n--\n\n"
              "规划一条 countDocuments 命令：校验 filter，拒绝关系聚合谓词，按 ctx 合并 owner 条件；"
              "不检查读权限与 require-context。"),
    QV_METHOD("plan_exists", plan_exists,
              "plan_exists($self, model, condition=None, route_override=None)\n--\n\n"
              "规划一条只取 _id 的 findOne 命令，用于判断是否存在匹配文档；不接受 ctx，拒绝关系聚合谓词。"),
};

}  // namespace

MethodArea query_methods() { return kMethods; }

}  // namespace quorvel::py
