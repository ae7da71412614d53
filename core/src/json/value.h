// The document value model: null, boolean, three number forms, string, array
// and an object kept sorted by the UTF-8 bytes of its keys.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorvel {

class Value;
using Array = std::vector<Value>;

// Sorted map of string keys. Small objects dominate (commands, conditions),
// so a sorted vector with binary search beats a node-based map.
class Object {
 public:
  using Member = std::pair<std::string, Value>;
  using iterator = std::vector<Member>::iterator;
  using const_iterator = std::vector<Member>::const_iterator;

  Object() = default;
  Object(std::initializer_list<Member> members);

  // Builds from entries in any order with one stable sort; of repeated keys
  // the later entry wins.
  static Object from_entries(std::vector<Member>&& entries);

  size_t size() const { return members_.size(); }
  bool empty() const { return members_.empty(); }
  const_iterator begin() const { return members_.begin(); }
  const_iterator end() const { return members_.end(); }
  iterator begin() { return members_.begin(); }
  iterator end() { return members_.end(); }

  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // Inserts or replaces; the key keeps its sorted place.
  Value& set(std::string key, Value value);
  // The member's value, inserted as null when missing.
  Value& operator[](std::string_view key);
  bool erase(std::string_view key);
  void reserve(size_t n) { members_.reserve(n); }
  // Appends without sorting; the caller guarantees the key sorts after every
  // present key (used when copying entries that are already in order).
  void push_back_sorted(std::string key, Value value);

  bool operator==(const Object& other) const;

 private:
  const_iterator lower_bound(std::string_view key) const;
  iterator lower_bound(std::string_view key);
  std::vector<Member> members_;
};

enum class Kind : uint8_t { Null, Bool, UInt, Int, Double, String, Array, Object };

class Value {
 public:
  Value() = default;
  Value(const Value&) = default;
  Value(Value&&) noexcept = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) noexcept = default;
  // Destroys nested containers without deep recursion, so no value, however
  // it was built, can exhaust the stack when it goes away.
  ~Value();
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  // Non-negative integers are always held unsigned, negatives signed.
  Value(int v) : Value(static_cast<long long>(v)) {}
  Value(long v) : Value(static_cast<long long>(v)) {}
  Value(long long v) {
    if (v < 0) data_ = static_cast<int64_t>(v);
    else data_ = static_cast<uint64_t>(v);
  }
  Value(unsigned v) : data_(static_cast<uint64_t>(v)) {}
  Value(unsigned long v) : data_(static_cast<uint64_t>(v)) {}
  Value(unsigned long long v) : data_(static_cast<uint64_t>(v)) {}
  Value(double d) : data_(d) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(Array a) : data_(std::move(a)) {}
  Value(Object o) : data_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_uint() const { return kind() == Kind::UInt; }
  bool is_int() const { return kind() == Kind::Int; }
  bool is_double() const { return kind() == Kind::Double; }
  bool is_integer() const { return is_uint() || is_int(); }
  bool is_number() const { return is_uint() || is_int() || is_double(); }
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }

  bool as_bool() const { return std::get<bool>(data_); }
  uint64_t as_uint() const { return std::get<uint64_t>(data_); }
  int64_t as_int() const { return std::get<int64_t>(data_); }
  double as_double() const { return std::get<double>(data_); }
  const std::string& as_string() const { return std::get<std::string>(data_); }
  std::string& as_string() { return std::get<std::string>(data_); }
  const Array& as_array() const { return std::get<Array>(data_); }
  Array& as_array() { return std::get<Array>(data_); }
  const Object& as_object() const { return std::get<Object>(data_); }
  Object& as_object() { return std::get<Object>(data_); }

  const bool* if_bool() const { return std::get_if<bool>(&data_); }
  const std::string* if_string() const { return std::get_if<std::string>(&data_); }
  const Array* if_array() const { return std::get_if<Array>(&data_); }
  Array* if_array() { return std::get_if<Array>(&data_); }
  const Object* if_object() const { return std::get_if<Object>(&data_); }
  Object* if_object() { return std::get_if<Object>(&data_); }

  // Any number as a double (integers converted).
  double to_double() const;
  // The integer value when it is an integer that fits a signed 64-bit int.
  bool get_int64(int64_t& out) const;

  // Member lookup on an object; null pointer for a missing key or a non-object.
  const Value* get(std::string_view key) const;
  Value* get(std::string_view key);

  bool operator==(const Value& other) const;

 private:
  void destroy_iteratively() noexcept;

  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> data_;
};

}  // namespace quorvel
