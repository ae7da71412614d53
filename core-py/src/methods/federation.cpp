// Federated query methods.
#include "args.h"
#include "convert.h"
#include "federation/merge.h"
#include "methods/methods.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

constexpr Param kMergeFederated[] = {{"plan", ArgType::Any, true}, {"results", ArgType::Any, true}};

PyObject* merge_federated(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args("merge_federated", kMergeFederated, args, nargs, kwnames, a)) return nullptr;
  Value plan, results;
  if (!value_arg(a[0], plan) || !value_arg(a[1], results)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  Result<Value> merged = quorvel::merge_federated(plan, std::move(results));
  if (!merged) return raise_core_error(merged.error());
  return to_py(std::move(merged).value());
}

const PyMethodDef kMethods[] = {
    QV_METHOD("merge_federated", merge_federated,
              "merge_federated($self, plan, results)\n--\n\n"
              "按联邦计划的 join 边把各取数单元的结果（按 sources 顺序，每单元一个数组）在内存中"
              "拼接为嵌套文档；单元结果上限 100000 行。"),
};

}  // namespace

MethodArea federation_methods() { return kMethods; }

}  // namespace quorvel::py
