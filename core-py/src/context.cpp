#include "context.h"

#include "convert.h"

namespace quorvel::py {

bool ctx_from(PyObject* arg, std::optional<Context>& out) {
  out.reset();
  if (!arg || arg == Py_None) return true;
  Value v;
  if (!py_to_json(arg, v)) return false;
  out = context_from_value(v);
  return true;
}

}  // namespace quorvel::py
