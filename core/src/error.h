// The one error of the core, and the result type every core operation returns.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quorvel {

// Text of the refusal of a missing context when the require-context switch is on.
inline constexpr std::string_view kNoContextMessage =
    "ERR_NO_CONTEXT:require_context 已开启，调用必须携带用户上下文（内部调用请传 {\"internal\": true}）";
inline constexpr std::string_view kPermissionPrefix = "ERR_PERMISSION:";

class CoreError {
 public:
  enum class Kind { Permission, NoContext, Other };

  explicit CoreError(std::string message) : message_(std::move(message)), kind_(kind_of(message_)) {}

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  std::string&& take_message() && { return std::move(message_); }

  static Kind kind_of(std::string_view message) {
    if (message.starts_with(kPermissionPrefix)) return Kind::Permission;
    if (message.starts_with(kNoContextMessage)) return Kind::NoContext;
    return Kind::Other;
  }

 private:
  std::string message_;
  Kind kind_;
};

// Tag for building a failed Result from a message: `return Err("...")`.
struct Err {
  std::string message;
  explicit Err(std::string m) : message(std::move(m)) {}
};

// A value or an error; never both, never neither.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
  Result(Err e) : data_(std::in_place_index<1>, std::move(e.message)) {}
  Result(CoreError e) : data_(std::in_place_index<1>, std::move(e)) {}

  explicit operator bool() const { return data_.index() == 0; }
  bool ok() const { return data_.index() == 0; }
  T& value() & { return std::get<0>(data_); }
  const T& value() const& { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const CoreError& error() const& { return std::get<1>(data_); }
  CoreError&& error() && { return std::get<1>(std::move(data_)); }
  Err err() const { return Err(error().message()); }

 private:
  std::variant<T, CoreError> data_;
};

// Result of an operation that yields nothing but may fail.
using Status = Result<std::monostate>;
inline Status ok() { return Status(std::monostate{}); }

}  // namespace quorvel
