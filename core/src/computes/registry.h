// The one way the core reaches host callbacks for computed fields.
#pragma once

#include <string_view>

#include "error.h"
#include "json/value.h"

namespace quorvel {

class FnRegistry {
 public:
  // Computes one synchronous computed field from the whole current document.
  virtual Result<Value> call_sync(std::string_view fn_ref, const Value& document) = 0;
  // Asynchronous computes run on the host outside the core; kept for hosts
  // whose bridge can answer them.
  virtual Result<Value> call_async(std::string_view fn_ref) = 0;

 protected:
  ~FnRegistry() = default;
};

}  // namespace quorvel
