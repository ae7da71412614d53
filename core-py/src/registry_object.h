// The Python Registry object: the core registry it owns, the compute
// callbacks and the borrow flag that tells re-entrant changes apart.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <string>
#include <unordered_map>

#include "error.h"
#include "schema/registry.h"

namespace quorvel::py {

struct RegistryState {
  quorvel::Registry core;
  // Compute callbacks by fn_ref, each a strong reference.
  std::unordered_map<std::string, PyObject*> fns;
  // 0: free; >0: that many shared borrows; -1: borrowed exclusively.
  std::atomic<int> borrow{0};
};

struct RegistryObject {
  PyObject_HEAD
  RegistryState* state;
  PyObject* weakrefs;
};

// RAII borrow of a Registry object. Check `ok()` right after construction:
// a failed borrow has set the Python RuntimeError.
class Borrow {
 public:
  static Borrow shared(PyObject* self);
  static Borrow exclusive(PyObject* self);
  Borrow(Borrow&& other) noexcept : state_(other.state_), exclusive_(other.exclusive_) { other.state_ = nullptr; }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow();

  bool ok() const { return state_ != nullptr; }
  RegistryState& state() const { return *state_; }
  quorvel::Registry& core() const { return state_->core; }

 private:
  Borrow(RegistryState* state, bool exclusive) : state_(state), exclusive_(exclusive) {}
  RegistryState* state_;
  bool exclusive_;
};

// Raises the core error as RuntimeError carrying its message unchanged.
PyObject* raise_core_error(const CoreError& error);

}  // namespace quorvel::py
