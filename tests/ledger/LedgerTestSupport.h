// Helpers of the ledger's tests: a scratch folder, a log that keeps its
// lines, and keys made from numbers.
#pragma once

#include "ledger/LedgerStore_un.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace bwtest {

// A fresh folder under the temporary folder, removed with everything in it.
class TScratchFolder {
public:
  TScratchFolder() {
    std::string Template = (std::filesystem::temp_directory_path() / "bwledger-XXXXXX").string();
    if (!::mkdtemp(Template.data()))
      throw std::runtime_error("mkdtemp failed");
    FPath = Template;
  }
  ~TScratchFolder() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TScratchFolder(const TScratchFolder &) = delete;
  TScratchFolder &operator=(const TScratchFolder &) = delete;
  std::string operator/(const std::string &AName) const { return (FPath / AName).string(); }

private:
  std::filesystem::path FPath;
};

// The lines a store logged, from any thread.
class TLogLines {
public:
  bw::TLedgerLog Sink() {
    return [this](const std::string &ALine) {
      const std::lock_guard<std::mutex> Lock(FLock);
      FLines.push_back(ALine);
    };
  }
  std::vector<std::string> Lines() {
    const std::lock_guard<std::mutex> Lock(FLock);
    return FLines;
  }

private:
  std::mutex FLock;
  std::vector<std::string> FLines;
};

inline bw::TLedgerKey NumberedKey(std::uint64_t ANumber) {
  bw::TLedgerKey Key{};
  std::memcpy(Key.data(), &ANumber, sizeof ANumber);
  Key[15] = 0xA5;  // never all zero
  return Key;
}

} // namespace bwtest
