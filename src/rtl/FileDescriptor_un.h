// The owner of one POSIX file descriptor.
#pragma once

#include <utility>

namespace bw {

// Move-only; closes what it holds when destroyed and ignores the result
// (Close() is there for a caller that must see it). -1 holds nothing.
class TFileDescriptor {
public:
  TFileDescriptor() noexcept = default;
  explicit TFileDescriptor(int AFd) noexcept : FFd(AFd) {}
  ~TFileDescriptor() { Close(); }
  TFileDescriptor(TFileDescriptor &&AOther) noexcept : FFd(AOther.Release()) {}
  TFileDescriptor &operator=(TFileDescriptor &&AOther) noexcept {
    if (this != &AOther)
      Reset(AOther.Release());
    return *this;
  }
  TFileDescriptor(const TFileDescriptor &) = delete;
  TFileDescriptor &operator=(const TFileDescriptor &) = delete;

  int Get() const noexcept { return FFd; }
  bool IsValid() const noexcept { return FFd >= 0; }
  // Hands the descriptor over; this owner holds nothing after.
  int Release() noexcept { return std::exchange(FFd, -1); }
  void Reset(int AFd = -1) noexcept;
  // Closes now and returns close()'s result (0 when nothing was held), so
  // that a failing close (a full disk on NFS) is seen.
  int Close() noexcept;

private:
  int FFd = -1;
};

} // namespace bw
