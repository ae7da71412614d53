#include "json/value.h"

#include <algorithm>

namespace quorvel {

namespace {
bool key_less(const Object::Member& m, std::string_view key) { return std::string_view(m.first) < key; }
}  // namespace

Object::Object(std::initializer_list<Member> members) {
  members_.reserve(members.size());
  for (const auto& m : members) set(m.first, m.second);
}

Object Object::from_entries(std::vector<Member>&& entries) {
  Object out;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Member& a, const Member& b) { return a.first < b.first; });
  // Of a run of equal keys keep the last one (the later entry wins).
  size_t write = 0;
  for (size_t read = 0; read < entries.size(); ++read) {
    if (read + 1 < entries.size() && entries[read + 1].first == entries[read].first) continue;
    if (write != read) entries[write] = std::move(entries[read]);
    ++write;
  }
  entries.resize(write);
  out.members_ = std::move(entries);
  return out;
}

Object::const_iterator Object::lower_bound(std::string_view key) const {
  return std::lower_bound(members_.begin(), members_.end(), key, key_less);
}

Object::iterator Object::lower_bound(std::string_view key) {
  return std::lower_bound(members_.begin(), members_.end(), key, key_less);
}

const Value* Object::find(std::string_view key) const {
  auto it = lower_bound(key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

Value* Object::find(std::string_view key) {
  auto it = lower_bound(key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

Value& Object::set(std::string key, Value value) {
  if (members_.empty() || members_.back().first < key) {
    members_.emplace_back(std::move(key), std::move(value));
    return members_.back().second;
  }
  auto it = lower_bound(key);
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
    return it->second;
  }
  return members_.emplace(it, std::move(key), std::move(value))->second;
}

Value& Object::operator[](std::string_view key) {
  auto it = lower_bound(key);
  if (it != members_.end() && it->first == key) return it->second;
  return members_.emplace(it, std::string(key), Value())->second;
}

bool Object::erase(std::string_view key) {
  auto it = lower_bound(key);
  if (it == members_.end() || it->first != key) return false;
  members_.erase(it);
  return true;
}

void Object::push_back_sorted(std::string key, Value value) {
  members_.emplace_back(std::move(key), std::move(value));
}

bool Object::operator==(const Object& other) const { return members_ == other.members_; }

double Value::to_double() const {
  switch (kind()) {
    case Kind::UInt: return static_cast<double>(as_uint());
    case Kind::Int: return static_cast<double>(as_int());
    case Kind::Double: return as_double();
    default: return 0.0;
  }
}

bool Value::get_int64(int64_t& out) const {
  if (is_int()) {
    out = as_int();
    return true;
  }
  if (is_uint() && as_uint() <= static_cast<uint64_t>(INT64_MAX)) {
    out = static_cast<int64_t>(as_uint());
    return true;
  }
  return false;
}

const Value* Value::get(std::string_view key) const {
  const Object* o = if_object();
  return o ? o->find(key) : nullptr;
}

Value* Value::get(std::string_view key) {
  Object* o = if_object();
  return o ? o->find(key) : nullptr;
}

bool Value::operator==(const Value& other) const { return data_ == other.data_; }

}  // namespace quorvel
