// The module root: the Registry type, system_context() and module set-up.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <new>
#include <vector>

#include "methods/methods.h"
#include "registry_object.h"

namespace quorvel::py {

namespace {

struct ModuleState {
  PyObject* registry_type;
};

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// ---- Registry type -------------------------------------------------------

PyObject* registry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Registry() takes no arguments");
    return nullptr;
  }
  auto* self = reinterpret_cast<RegistryObject*>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  self->state = new (std::nothrow) RegistryState();
  if (!self->state) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

int registry_traverse(PyObject* op, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<RegistryObject*>(op);
  Py_VISIT(Py_TYPE(op));
  if (self->state)
    for (auto& [name, fn] : self->state->fns) Py_VISIT(fn);
  return 0;
}

int registry_clear(PyObject* op) {
  auto* self = reinterpret_cast<RegistryObject*>(op);
  if (self->state) {
    // Move the table out first: releasing a callback may run arbitrary code.
    auto fns = std::move(self->state->fns);
    self->state->fns.clear();
    for (auto& [name, fn] : fns) Py_DECREF(fn);
  }
  return 0;
}

void registry_dealloc(PyObject* op) {
  auto* self = reinterpret_cast<RegistryObject*>(op);
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  if (self->weakrefs) PyObject_ClearWeakRefs(op);
  registry_clear(op);
  delete self->state;
  self->state = nullptr;
  type->tp_free(op);
  Py_DECREF(type);
}

std::vector<PyMethodDef>& registry_methods() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> t;
    for (auto area : method_areas()) t.insert(t.end(), area.begin(), area.end());
    t.push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table;
}

PyMemberDef registry_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RegistryObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr const char kRegistryDoc[] =
    "Registry()\n--\n\n"
    "查询与写入规划核心：注册 schema 后，按调用把请求规划为数据库命令、翻译为 SQL，"
    "并对取回的文档做后处理。自身不做任何 I/O。";

PyType_Slot registry_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(registry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(registry_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(registry_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(registry_clear)},
    {Py_tp_members, registry_members},
    {Py_tp_doc, const_cast<char*>(kRegistryDoc)},
    {Py_tp_methods, nullptr},  // filled in at module execution
    {0, nullptr},
};

PyType_Spec registry_spec = {
    "quorvel_py.Registry",
    sizeof(RegistryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    registry_slots,
};

// ---- module --------------------------------------------------------------

PyObject* system_context(PyObject*, PyObject*) {
  PyObject* ctx = PyDict_New();
  if (ctx && PyDict_SetItemString(ctx, "internal", Py_True) < 0) Py_CLEAR(ctx);
  return ctx;
}

PyMethodDef module_functions[] = {
    {"system_context", system_context, METH_NOARGS,
     "system_context()\n--\n\n返回新的系统上下文 {\"internal\": True}：宿主内部调用以它通过一切权限检查。"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
  for (PyType_Slot* slot = registry_slots; slot->slot; ++slot)
    if (slot->slot == Py_tp_methods) slot->pfunc = registry_methods().data();
  PyObject* type = PyType_FromModuleAndSpec(module, &registry_spec, nullptr);
  if (!type) return -1;
  module_state(module)->registry_type = type;
  if (PyModule_AddObjectRef(module, "Registry", type) < 0) return -1;
  // The function is added after the class so that the members keep their order.
  PyObject* name = PyModule_GetNameObject(module);
  if (!name) return -1;
  PyObject* fn = PyCFunction_NewEx(&module_functions[0], nullptr, name);
  Py_DECREF(name);
  if (!fn) return -1;
  int rc = PyModule_AddObjectRef(module, "system_context", fn);
  Py_DECREF(fn);
  return rc;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = module_state(module);
  if (st) Py_VISIT(st->registry_type);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* st = module_state(module);
  if (st) Py_CLEAR(st->registry_type);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

constexpr const char kModuleDoc[] = "数据存储的规划核心：schema、查询与写入规划、SQL 翻译、文档后处理与联邦合并。";

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvel_py",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace quorvel::py

PyMODINIT_FUNC PyInit_quorvel_py(void) { return PyModuleDef_Init(&quorvel::py::module_def); }

#if defined(PyMODEXPORT_FUNC) && defined(Py_mod_name)
// The export hook of newer interpreters: the same module described by slots.
PyMODEXPORT_FUNC PyModExport_quorvel_py(void) {
  using namespace quorvel::py;
  static PyModuleDef_Slot slots[] = {
      {Py_mod_name, const_cast<char*>("quorvel_py")},
      {Py_mod_doc, const_cast<char*>(kModuleDoc)},
      {Py_mod_state_size, reinterpret_cast<void*>(sizeof(ModuleState))},
      {Py_mod_state_traverse, reinterpret_cast<void*>(module_traverse)},
      {Py_mod_state_clear, reinterpret_cast<void*>(module_clear)},
      {Py_mod_state_free, reinterpret_cast<void*>(module_free)},
      {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
      {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
      {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
      {0, nullptr},
  };
  return slots;
}
#endif
