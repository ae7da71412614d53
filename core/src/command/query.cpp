#include "command/query.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bson.h"

namespace quorvel {

namespace {

const char* mode_name(PlanMode mode) {
  switch (mode) {
    case PlanMode::Find: return "find";
    case PlanMode::TwoPhase: return "two_phase";
    case PlanMode::Aggregate: break;
  }
  return "aggregate";
}

}  // namespace

Value QueryPlan::to_value() && {
  Object out;
  out.reserve(5);
  out.set("collection", Value(std::move(collection)));
  out.set("commands", Value(std::move(commands)));
  out.set("mode", Value(mode_name(mode)));
  out.set("postprocess", postprocess ? std::move(*postprocess) : Value());
  out.set("sort", sort ? std::move(*sort) : Value());
  return Value(std::move(out));
}

bool sorts_by_relation(const Value* stage) {
  if (!stage) return false;
  const Value* sort = stage->get("$sort");
  const Object* keys = sort ? sort->if_object() : nullptr;
  if (!keys) return false;
  return std::any_of(keys->begin(), keys->end(),
                     [](const Object::Member& m) { return m.first.find('.') != std::string::npos; });
}

Array restore_sort_order(Array items, const Array& ids, const Value* sort) {
  if (!sort || sort->is_null() || ids.size() < 2) return items;
  std::unordered_map<std::string, size_t> position;
  position.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) position.try_emplace(id_key(ids[i]), i);

  static const Value kNoId;
  std::vector<std::pair<size_t, size_t>> order;  // (position, input index)
  order.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const Value* id = items[i].get("_id");
    auto it = position.find(id_key(id ? *id : kNoId));
    order.emplace_back(it == position.end() ? ids.size() : it->second, i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  Array out;
  out.reserve(items.size());
  for (const auto& [pos, index] : order) out.push_back(std::move(items[index]));
  return out;
}

}  // namespace quorvel
