// A value, or the message that says why there is none.
//
// Shaped like C++23's std::expected<T, std::string> (has_value, value,
// error, operator*, operator->), so that it can give way to it once the
// compiler has it; until then it is the one form every parser and opener
// here returns instead of a pair of optional value and message.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace bw {

// The "why not" of a result, as std::unexpected carries it.
struct TFailure {
  std::string Message;
};

inline TFailure Failure(std::string AMessage) { return TFailure{std::move(AMessage)}; }

template <class T> class TResult {
public:
  TResult(T AValue) : FState(std::in_place_index<0>, std::move(AValue)) {}  // NOLINT: implicit, as std::expected
  TResult(TFailure AFailure) : FState(std::in_place_index<1>, std::move(AFailure)) {}  // NOLINT

  bool has_value() const noexcept { return FState.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // The value; asking a failed result for it is a programming error.
  T &value() & { return std::get<0>(FState); }  // std::get raises on a failed result
  const T &value() const & { return std::get<0>(FState); }
  T &&value() && { return std::get<0>(std::move(FState)); }
  T &operator*() & { return value(); }
  const T &operator*() const & { return value(); }
  T &&operator*() && { return std::move(*this).value(); }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }

  // Why there is no value; empty when there is one.
  const std::string &error() const noexcept {
    static const std::string None;
    const TFailure *Failed = std::get_if<1>(&FState);
    return Failed ? Failed->Message : None;
  }

private:
  std::variant<T, TFailure> FState;
};

// A step that yields nothing but may fail.
template <> class TResult<void> {
public:
  TResult() = default;
  TResult(TFailure AFailure) : FFailure(std::move(AFailure.Message)) {}  // NOLINT: implicit, as std::expected

  bool has_value() const noexcept { return !FFailure; }
  explicit operator bool() const noexcept { return has_value(); }
  const std::string &error() const noexcept {
    static const std::string None;
    return FFailure ? *FFailure : None;
  }

private:
  std::optional<std::string> FFailure;
};

} // namespace bw
