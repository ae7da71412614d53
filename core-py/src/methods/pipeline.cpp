// The diagnostic view of query planning: tokens, tree, pipeline, projection.
#include "args.h"
#include "context.h"
#include "convert.h"
#include "methods/methods.h"
#include "pipeline/build.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

constexpr Param kBuildPipeline[] = {{"gql", ArgType::Str, true}, {"params", ArgType::Any}, {"ctx", ArgType::Any}};

PyObject* build_pipeline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_args("build_pipeline", kBuildPipeline, args, nargs, kwnames, a)) return nullptr;
  std::string_view gql;
  Value params;
  std::optional<Context> ctx;
  if (!str_arg(a[0], "", gql) || !value_arg(a[1], params) || !ctx_from(a[2], ctx)) return nullptr;
  // Anything but an object counts as no parameters.
  static const Object kNoParams;
  const Object& param_map = params.is_object() ? params.as_object() : kNoParams;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<Value> view = quorvel::build_pipeline_view(gql, param_map, b.core(), ctx_ptr(ctx));
  if (!view) return raise_core_error(view.error());
  return to_py(std::move(view).value());
}

const PyMethodDef kMethods[] = {
    QV_METHOD("build_pipeline", build_pipeline,
              "build_pipeline($self, gql, params=None, ctx=None)\n--\n\n"
              "解析 GQL 并构建聚合管道的诊断视图：返回 tokens（词法单元）、ast（解析所得查询树，"
              "对象字段展开之前）、pipeline（阶段列表）与 projection（投影，无则为 None）。"
              "不注入 owner 条件与计算列依赖，也不决定执行模式。"),
};

}  // namespace

MethodArea pipeline_methods() { return kMethods; }

}  // namespace quorvel::py
