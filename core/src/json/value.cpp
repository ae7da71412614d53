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

namespace {

bool member_less(const Object::Member& a, const Object::Member& b) { return a.first < b.first; }

// The first eight bytes of a key as a big-endian integer: comparing these
// orders most keys without a byte-wise compare.
uint64_t key_prefix(const std::string& key) {
  uint64_t p = 0;
  size_t n = std::min<size_t>(key.size(), 8);
  for (size_t i = 0; i < n; ++i) p |= static_cast<uint64_t>(static_cast<unsigned char>(key[i])) << (56 - 8 * i);
  return p;
}

struct SortKey {
  uint64_t prefix;
  uint32_t index;
};

}  // namespace

Object Object::from_entries(std::vector<Member>&& entries) {
  Object out;
  if (std::is_sorted(entries.begin(), entries.end(), member_less) &&
      std::adjacent_find(entries.begin(), entries.end(),
                         [](const Member& a, const Member& b) { return a.first == b.first; }) == entries.end()) {
    out.members_ = std::move(entries);
    return out;
  }
  std::vector<SortKey> order(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) order[i] = {key_prefix(entries[i].first), static_cast<uint32_t>(i)};
  // Ties on the key fall back to the entry's position, which makes the sort
  // stable: of repeated keys the later entry sorts last.
  std::sort(order.begin(), order.end(), [&](const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    int c = entries[a.index].first.compare(entries[b.index].first);
    return c != 0 ? c < 0 : a.index < b.index;
  });
  out.members_.reserve(entries.size());
  for (size_t i = 0; i < order.size(); ++i) {
    Member& m = entries[order[i].index];
    bool repeated_later = i + 1 < order.size() && order[i + 1].prefix == order[i].prefix &&
                          entries[order[i + 1].index].first == m.first;
    if (!repeated_later) out.members_.push_back(std::move(m));
  }
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

namespace {

// Nesting destroyed by plain recursion; anything deeper is unwound with a
// heap stack instead of the call stack.
constexpr int kRecursiveDestroyDepth = 512;
thread_local int destroy_depth = 0;

bool is_nonempty_container(const Value& v) {
  if (const Array* a = v.if_array()) return !a->empty();
  if (const Object* o = v.if_object()) return !o->empty();
  return false;
}

// Moves the non-empty containers directly below `v` onto `pending`.
void detach_nested(Value& v, std::vector<Value>& pending) {
  if (Array* a = v.if_array()) {
    for (Value& e : *a)
      if (is_nonempty_container(e)) pending.push_back(std::move(e));
  } else if (Object* o = v.if_object()) {
    for (auto& member : *o)
      if (is_nonempty_container(member.second)) pending.push_back(std::move(member.second));
  }
}

}  // namespace

Value::~Value() {
  if (!is_array() && !is_object()) return;
  if (destroy_depth < kRecursiveDestroyDepth) {
    ++destroy_depth;
    data_ = std::monostate{};
    --destroy_depth;
  } else {
    destroy_iteratively();
  }
}

void Value::destroy_iteratively() noexcept {
  std::vector<Value> pending;
  detach_nested(*this, pending);
  while (!pending.empty()) {
    Value v = std::move(pending.back());
    pending.pop_back();
    detach_nested(v, pending);
  }
  data_ = std::monostate{};
}

}  // namespace quorvel
