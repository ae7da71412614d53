// The depth guard of every walk that builds or reads Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "depth_limit.h"

namespace quorvel::py {

inline constexpr const char* kToJsonWhere = " while converting a Python object";
inline constexpr const char* kToPyWhere = " while building a Python object";

// Holds both the interpreter's recursion guard and the module's own depth
// cap, so deep input raises RecursionError even under a raised Python limit.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth, const char* where) : depth_(depth) {
    if (++depth_ > kMaxDepth) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
      return;
    }
    entered_ = Py_EnterRecursiveCall(where) == 0;
  }
  ~DepthGuard() {
    --depth_;
    if (entered_) Py_LeaveRecursiveCall();
  }
  bool ok() const { return entered_; }

 private:
  int& depth_;
  bool entered_ = false;
};

}  // namespace quorvel::py
