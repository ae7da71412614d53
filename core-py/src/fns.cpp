#include "fns.h"

#include "convert.h"

namespace quorvel::py {

namespace {

// str() of an object as UTF-8; a failing str() gives a placeholder and leaves
// no exception behind.
std::string text_of(PyObject* obj) {
  PyObject* text = obj ? PyObject_Str(obj) : nullptr;
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (text) data = PyUnicode_AsUTF8AndSize(text, &size);
  std::string out = data ? std::string(data, static_cast<size_t>(size)) : std::string("<unprintable>");
  Py_XDECREF(text);
  if (!data) PyErr_Clear();
  return out;
}

std::string type_name_of(PyObject* type) {
  PyObject* name = PyObject_GetAttrString(type, "__name__");
  if (!name) {
    PyErr_Clear();
    return reinterpret_cast<PyTypeObject*>(type)->tp_name;
  }
  std::string out = text_of(name);
  Py_DECREF(name);
  return out;
}

}  // namespace

PyFnBridge::~PyFnBridge() {
  for (PyObject* ref : interrupt_) Py_XDECREF(ref);
}

std::string PyFnBridge::take_exception(bool with_type) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  std::string text = with_type && type ? type_name_of(type) + ": " + text_of(value) : text_of(value);
  bool interrupt = type && !PyErr_GivenExceptionMatches(type, PyExc_Exception);
  if (interrupt && !interrupt_[0]) {
    interrupt_[0] = type;
    interrupt_[1] = value;
    interrupt_[2] = tb;
  } else {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  return text;
}

Result<Value> PyFnBridge::call_sync(std::string_view fn_ref, const Value& document) {
  auto it = fns_.find(std::string(fn_ref));
  if (it == fns_.end()) return Err("计算列 " + std::string(fn_ref) + " 未注册同步实现");
  // The callback gets its own copy of the document: whatever it does to it
  // never reaches the core's value.
  PyObject* arg = json_to_py(document);
  if (!arg) return Err(take_exception(false));
  PyObject* callback = it->second;
  Py_INCREF(callback);
  PyObject* out = PyObject_CallOneArg(callback, arg);
  Py_DECREF(callback);
  Py_DECREF(arg);
  if (!out) return Err(take_exception(true));
  Value result;
  bool converted = py_to_json(out, result);
  Py_DECREF(out);
  if (!converted) return Err(take_exception(false));
  return result;
}

Result<Value> PyFnBridge::call_async(std::string_view fn_ref) {
  return Err("异步计算列 " + std::string(fn_ref) + " 需由 Host 执行（见 prepare_query 返回的 fn_refs）");
}

PyObject* PyFnBridge::raise(const CoreError& error) {
  if (!interrupt_[0]) return raise_core_error(error);
  PyErr_Restore(interrupt_[0], interrupt_[1], interrupt_[2]);
  interrupt_[0] = interrupt_[1] = interrupt_[2] = nullptr;
  return nullptr;
}

ReleasedFns::~ReleasedFns() {
  for (PyObject* ref : refs_) Py_DECREF(ref);
}

void store_fn(RegistryState& state, std::string fn_ref, PyObject* callback, ReleasedFns& released) {
  Py_INCREF(callback);
  auto [it, inserted] = state.fns.try_emplace(std::move(fn_ref), callback);
  if (!inserted) {
    released.add(it->second);
    it->second = callback;
  }
}

void clear_fn_table(RegistryState& state, ReleasedFns& released) {
  for (auto& [name, fn] : state.fns) released.add(fn);
  state.fns.clear();
}

}  // namespace quorvel::py
