// The steady clock as the layers time things with it: a monotonic count
// that fits an atomic, and a stopwatch.
#pragma once

#include <chrono>
#include <cstdint>

namespace bw {

using TSteadyTime = std::chrono::steady_clock::time_point;

// Nanoseconds of the steady clock, for a time kept in a std::atomic.
inline std::int64_t SteadyNanoseconds() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Started when made.
class TStopwatch {
public:
  TStopwatch() noexcept : FStart(std::chrono::steady_clock::now()) {}
  TSteadyTime Start() const noexcept { return FStart; }
  template <class TDuration = std::chrono::microseconds> TDuration Elapsed() const noexcept {
    return std::chrono::duration_cast<TDuration>(std::chrono::steady_clock::now() - FStart);
  }

private:
  TSteadyTime FStart;
};

} // namespace bw
