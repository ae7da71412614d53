// The compute callbacks of a Registry: their table and the bridge through
// which the core calls them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "computes/registry.h"
#include "registry_object.h"

namespace quorvel::py {

// Lives for one post-processing call, over a table that the caller's shared
// borrow keeps unchanged meanwhile.
class PyFnBridge final : public FnRegistry {
 public:
  explicit PyFnBridge(const RegistryState& state) : fns_(state.fns) {}
  ~PyFnBridge();
  PyFnBridge(const PyFnBridge&) = delete;
  PyFnBridge& operator=(const PyFnBridge&) = delete;

  Result<Value> call_sync(std::string_view fn_ref, const Value& document) override;
  Result<Value> call_async(std::string_view fn_ref) override;

  // Raises the error that ended a call made with this bridge. An interrupt
  // (KeyboardInterrupt, SystemExit) that ended a callback is raised as it was,
  // so that the host still sees it as an interrupt.
  PyObject* raise(const CoreError& error);

 private:
  // Takes the pending exception and returns its text, "Type: message" when
  // `with_type`; an interrupt is kept for raise().
  std::string take_exception(bool with_type);

  const decltype(RegistryState::fns)& fns_;
  PyObject* interrupt_[3] = {nullptr, nullptr, nullptr};
};

// References taken out of the table, dropped when this goes out of scope.
// Declare it before the borrow: dropping a callback may run arbitrary code
// (a __del__), which must find the Registry free again.
class ReleasedFns {
 public:
  ReleasedFns() = default;
  ReleasedFns(const ReleasedFns&) = delete;
  ReleasedFns& operator=(const ReleasedFns&) = delete;
  ~ReleasedFns();
  void add(PyObject* ref) {
    if (ref) refs_.push_back(ref);
  }

 private:
  std::vector<PyObject*> refs_;
};

// Stores a new reference to `callback` under `fn_ref`; the replaced one goes to `released`.
void store_fn(RegistryState& state, std::string fn_ref, PyObject* callback, ReleasedFns& released);
// Empties the table into `released`.
void clear_fn_table(RegistryState& state, ReleasedFns& released);

}  // namespace quorvel::py
