#include "methods/methods.h"

namespace quorvel::py {

std::vector<MethodArea> method_areas() {
  return {
      frame_methods(),
      federation_methods(),
      query_methods(),
      compute_methods(),
      pipeline_methods(),
      schema_methods(),
      datasource_methods(),
      perm_methods(),
  };
}

}  // namespace quorvel::py
