// Permission queries: what a context may read and write on one model.
#include "args.h"
#include "context.h"
#include "convert.h"
#include "methods/methods.h"
#include "permission.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

constexpr Param kModelCtx[] = {{"model", ArgType::Str, true}, {"ctx", ArgType::Any}};
constexpr Param kModelCtxData[] = {{"model", ArgType::Str, true}, {"ctx", ArgType::Any}, {"data", ArgType::Any}};
constexpr Param kModelCtxCondition[] = {
    {"model", ArgType::Str, true}, {"ctx", ArgType::Any}, {"condition", ArgType::Any}};

// Binds (model, ctx[, value]), looks the model up under a shared borrow and
// hands the schema, the context and the value to `body`.
template <class Body>
PyObject* with_model(const char* fname, std::span<const Param> params, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  PyObject* a[3] = {};
  if (!bind_args(fname, params, args, nargs, kwnames, a)) return nullptr;
  std::string_view model;
  std::optional<Context> ctx;
  Value value;
  if (!str_arg(a[0], "", model) || !ctx_from(a[1], ctx) || !value_arg(a[2], value)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<SchemaPtr> schema = b.core().get(model);
  if (!schema) return raise_core_error(schema.error());
  return body(**schema, ctx_ptr(ctx), std::move(value));
}

PyObject* names(const std::optional<NameSet>& set) { return to_py(sorted_set(set ? &*set : nullptr)); }

PyObject* can_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_model("can_read", kModelCtx, self, args, nargs, kwnames, [](const Schema& s, const Context* c, Value) {
    return PyBool_FromLong(can_read_schema(s, c));
  });
}

PyObject* can_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_model("can_write", kModelCtx, self, args, nargs, kwnames, [](const Schema& s, const Context* c, Value) {
    return PyBool_FromLong(can_write_schema(s, c));
  });
}

PyObject* readable_fields(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_model("readable_fields", kModelCtx, self, args, nargs, kwnames,
                    [](const Schema& s, const Context* c, Value) { return names(get_readable_fields(s, c)); });
}

PyObject* writable_fields(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_model("writable_fields", kModelCtx, self, args, nargs, kwnames,
                    [](const Schema& s, const Context* c, Value) { return names(get_writable_fields(s, c)); });
}

PyObject* readable_relations(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_model("readable_relations", kModelCtx, self, args, nargs, kwnames,
                    [](const Schema& s, const Context* c, Value) { return names(get_readable_relations(s, c)); });
}

PyObject* should_inject_owner(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_model("should_inject_owner", kModelCtx, self, args, nargs, kwnames,
                    [](const Schema& s, const Context* c, Value) {
                      return PyBool_FromLong(should_inject_owner_condition(s, c));
                    });
}

PyObject* filter_writable_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_model("filter_writable_data", kModelCtxData, self, args, nargs, kwnames,
                    [](const Schema& s, const Context* c, Value data) {
                      return to_py(quorvel::filter_writable_data(s, c, std::move(data)));
                    });
}

PyObject* merge_owner_condition(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_model("merge_owner_condition", kModelCtxCondition, self, args, nargs, kwnames,
                    [](const Schema& s, const Context* c, Value condition) {
                      return to_py(quorvel::merge_owner_condition(s, c, std::move(condition)));
                    });
}

const PyMethodDef kMethods[] = {
    QV_METHOD("can_read", can_read,
              "can_read($self, model, ctx=None)\n--\n\n"
              "按 schema 的 read 规则判断上下文能否读取该模型；无上下文或内部上下文一律放行。"),
    QV_METHOD("can_write", can_write,
              "can_write($self, model, ctx=None)\n--\n\n"
              "按 schema 的 write 规则判断上下文能否写入该模型；guest 永远不可写，"
              "write 为空列表时仅管理员与内部上下文可写。"),
    QV_METHOD("readable_fields", readable_fields,
              "readable_fields($self, model, ctx=None)\n--\n\n"
              "返回上下文可读的字段名（升序）；无上下文时返回 None（不受限）。"),
    QV_METHOD("writable_fields", writable_fields,
              "writable_fields($self, model, ctx=None)\n--\n\n"
              "返回上下文可写的字段名（升序）；未声明 write 的字段继承 schema 的写权限；无上下文时返回 None。"),
    QV_METHOD("readable_relations", readable_relations,
              "readable_relations($self, model, ctx=None)\n--\n\n"
              "返回上下文可跟随的关系名（升序）；无上下文时返回 None。"),
    QV_METHOD("should_inject_owner", should_inject_owner,
              "should_inject_owner($self, model, ctx=None)\n--\n\n"
              "返回查询是否须限定为调用者本人创建的文档（read 规则含 creator 且未按角色放行）。"),
    QV_METHOD("filter_writable_data", filter_writable_data,
              "filter_writable_data($self, model, ctx=None, data=None)\n--\n\n"
              "去掉写入数据中上下文无权写入的成员（保留 _id；a.b 按根字段 a 判断）；无上下文时原样返回。"),
    QV_METHOD("merge_owner_condition", merge_owner_condition,
              "merge_owner_condition($self, model, ctx=None, condition=None)\n--\n\n"
              "需要时把所有者条件 {\"createdBy\": userId} 并入查询条件（$and）；"
              "条件为空或假值时只返回所有者条件；无上下文时原样返回。"),
};

}  // namespace

MethodArea perm_methods() { return kMethods; }

}  // namespace quorvel::py
