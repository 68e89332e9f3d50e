#pragma once
// The outcome of an operation that can fail in a way its caller expects and handles (a refused
// parameter, a socket call the system turned down, a job with no room): a value, or an error. The
// error is whatever its callers use: a fixed text, the system's code with its text, a record.
// Faults are not results: they stay `fault`/`check`.
//
//   Result<Socket, NetError> r = listen_tcp(at);
//   if (!r) return r.error().text;
//   Socket listener = std::move(r).value();
//
// A function makes a failure with `failure(error)`; a value converts on its own. Reading the value
// of a failure (or the error of a value) throws std::bad_variant_access, which every Lua function
// and thread body catches at its top like any other exception.
//
// It lives in the lowest layer because the sockets report through it; every layer above uses it.
#include <type_traits>
#include <utility>
#include <variant>

namespace qm {

// An error on its way into a Result.
template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> failure(E&& error) {
  return Failure<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  // A default value (for results filled in later).
  Result()
    requires std::is_default_constructible_v<T>
      : state_(std::in_place_index<0>) {}
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: converts on purpose
  template <class G>
    requires std::is_constructible_v<E, G>
  Result(Failure<G> failed) : state_(std::in_place_index<1>, std::move(failed.error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

// Success without a value.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class G>
    requires std::is_constructible_v<E, G>
  Result(Failure<G> failed) : state_(std::in_place_index<1>, std::move(failed.error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<std::monostate, E> state_;
};

}  // namespace qm
