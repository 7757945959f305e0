#pragma once
// Result<T, E>: a value or an error, with the member names of C++23
// std::expected so that it can be swapped for it later.
#include <optional>
#include <utility>
#include <variant>

namespace kelvane {

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Unexpected<E> error)                                        // NOLINT: implicit by design
      : v_(std::in_place_index<1>, std::move(error).error()) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  // Only on success.
  const T& value() const& { return std::get<0>(v_); }
  T& value() & { return std::get<0>(v_); }
  const T& operator*() const& { return value(); }
  const T* operator->() const { return &value(); }
  // Only on failure.
  const E& error() const& { return std::get<1>(v_); }
  T value_or(T fallback) const& { return has_value() ? value() : std::move(fallback); }

 private:
  std::variant<T, E> v_;
};

// Success without a value, or an error: the result of a write.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Unexpected<E> error) : error_(std::move(error).error()) {}  // NOLINT: implicit by design

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  // Only on failure.
  const E& error() const& { return *error_; }

 private:
  std::optional<E> error_;
};

}  // namespace kelvane
