#include "route.h"

#include "command/cmd.h"
#include "convert.h"
#include "registry_object.h"

namespace quorvel::py {

PyObject* plan_to_py(Result<Value>&& planned, const Value& route_override) {
  if (!planned) return raise_core_error(planned.error());
  Value result = std::move(planned).value();
  if (!route_override.is_null()) apply_route_override(result, route_override);
  return to_py(std::move(result));
}

}  // namespace quorvel::py
