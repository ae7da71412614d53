// Registered schemas by name and location, with the require-context switch.
#pragma once

#include <memory>

#include "schema/definition.h"

namespace quorvel {

using SchemaPtr = std::shared_ptr<const Schema>;

class Registry {
 public:
  bool require_context() const { return require_context_; }
  void set_require_context(bool require) { require_context_ = require; }

 private:
  bool require_context_ = false;
};

}  // namespace quorvel
