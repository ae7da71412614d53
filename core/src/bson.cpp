#include "bson.h"

#include "json/write.h"

namespace quorvel {

std::string dump(const Value& v) {
  std::string out;
  write_json(v, out);
  return out;
}

std::string id_key(const Value& v) {
  if (const std::string* s = v.if_string()) return *s;
  if (const Value* oid = v.get("$oid"); oid && oid->is_string()) return oid->as_string();
  return dump(v);
}

}  // namespace quorvel
