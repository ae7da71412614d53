// Construction-time state of a Registry: the require-context switch.
#include "args.h"
#include "methods/methods.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

PyObject* require_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args("require_context", {}, args, nargs, kwnames, nullptr)) return nullptr;
  Borrow b = Borrow::shared(self);
  if (!b.ok()) return nullptr;
  return PyBool_FromLong(b.core().require_context());
}

constexpr Param kSetRequireContext[] = {{"require", ArgType::Bool, true}};

PyObject* set_require_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!bind_args("set_require_context", kSetRequireContext, args, nargs, kwnames, a)) return nullptr;
  Borrow b = Borrow::exclusive(self);
  if (!b.ok()) return nullptr;
  b.core().set_require_context(a[0] == Py_True);
  Py_RETURN_NONE;
}

const PyMethodDef kMethods[] = {
    QV_METHOD("require_context", require_context,
              "require_context($self)\n--\n\n"
              "返回 require-context 开关：为 True 时，规划调用缺少 ctx 会被拒绝（fail-secure）。"),
    QV_METHOD("set_require_context", set_require_context,
              "set_require_context($self, require)\n--\n\n"
              "设置 require-context 开关；require 必须是 bool，下一次调用起生效。"),
};

}  // namespace

MethodArea frame_methods() { return kMethods; }

}  // namespace quorvel::py
