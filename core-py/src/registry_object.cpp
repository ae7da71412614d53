#include "registry_object.h"

namespace quorvel::py {

namespace {
constexpr int kMaxSharedBorrows = 500;
RegistryState* state_of(PyObject* self) { return reinterpret_cast<RegistryObject*>(self)->state; }
}  // namespace

Borrow Borrow::shared(PyObject* self) {
  RegistryState* state = state_of(self);
  int current = state->borrow.load(std::memory_order_acquire);
  do {
    if (current < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return Borrow(nullptr, false);
    }
    if (current >= kMaxSharedBorrows) {
      // Callbacks that call back into the same Registry nest C frames; stop
      // before the C stack does, whatever the interpreter's limit says.
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in nested Registry calls");
      return Borrow(nullptr, false);
    }
  } while (!state->borrow.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel));
  return Borrow(state, false);
}

Borrow Borrow::exclusive(PyObject* self) {
  RegistryState* state = state_of(self);
  int expected = 0;
  if (!state->borrow.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Borrow(nullptr, true);
  }
  return Borrow(state, true);
}

Borrow::~Borrow() {
  if (!state_) return;
  if (exclusive_) state_->borrow.store(0, std::memory_order_release);
  else state_->borrow.fetch_sub(1, std::memory_order_acq_rel);
}

PyObject* raise_core_error(const CoreError& error) {
  const std::string& m = error.message();
  PyObject* text = PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace");
  if (text) {
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

}  // namespace quorvel::py
