// The watch over the connections' silence.
#include "milter/MilterWatch_un.h"

namespace bw {

void TConnectionWatch::Enter(int AFd, TClock::time_point ANow) {
  if (AFd < 0)
    return;
  const std::lock_guard Lock(FMutex);
  TEntry &Entry = FEntries[AFd];
  ++Entry.InCallback;
  Entry.LastHeard = ANow;
}

void TConnectionWatch::Leave(int AFd, TConnectionPhase APhase, TClock::time_point ANow) {
  if (AFd < 0)
    return;
  const std::lock_guard Lock(FMutex);
  TEntry &Entry = FEntries[AFd];
  Entry.InCallback -= Entry.InCallback > 0 ? 1 : 0;
  if (APhase == cpEnvelope && Entry.Phase != cpEnvelope)
    Entry.TransactionStart = Entry.LastHeard;  // MAIL FROM's arrival
  Entry.Phase = APhase;
  Entry.LastHeard = ANow;
}

void TConnectionWatch::Closed(int AFd) {
  const std::lock_guard Lock(FMutex);
  FEntries.erase(AFd);
}

void TConnectionWatch::Seen(std::span<const TSocket> ASockets, TClock::time_point ANow) {
  std::map<int, std::uint64_t> Open;
  for (const TSocket &Socket : ASockets)
    Open[Socket.Fd] = Socket.Inode;
  const std::lock_guard Lock(FMutex);
  // Gone without a close reported (a connection whose steps could not be
  // told apart): forgotten. One known only from its steps stays: it may
  // have begun after the sockets were looked up.
  std::erase_if(FEntries, [&Open](const auto &AEntry) { return AEntry.second.Inode != 0 && !Open.contains(AEntry.first); });
  for (const auto &[Fd, Inode] : Open) {
    auto [Found, New] = FEntries.try_emplace(Fd);
    TEntry &Entry = Found->second;
    if (!New && Entry.Inode != 0 && Entry.Inode != Inode) {
      Entry = TEntry{};  // the number now names another connection
      New = true;
    }
    if (New)
      Entry.LastHeard = ANow;
    Entry.Inode = Inode;
  }
}

// Why a connection is past its bounds, or nothing.
static std::string Overdue(const TConnectionPhase APhase, TConnectionWatch::TClock::duration ASilent,
                           TConnectionWatch::TClock::duration AInTransaction, const TWatchBounds &ABounds) {
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  const auto Silent = std::to_string(duration_cast<seconds>(ASilent).count());
  if (APhase == cpEnvelope || APhase == cpContent) {
    if (AInTransaction > ABounds.Transaction)
      return "its message not finished within " + std::to_string(ABounds.Transaction.count()) +
             " s (--message-timeout)";
    if (APhase == cpEnvelope)
      return {};  // the MTA may wait that long for its client's data
  }
  if (ASilent <= ABounds.Silence)
    return {};
  switch (APhase) {
  case cpNotNegotiated:
    return "silent for " + Silent + " s before its first command was complete (--timeout)";
  case cpBetweenMessages:
    return "silent for " + Silent + " s between commands (--timeout)";
  default:
    return "silent for " + Silent + " s in the middle of a message (--timeout)";
  }
}

std::vector<std::string> TConnectionWatch::Expire(TClock::time_point ANow, const TWatchBounds &ABounds,
                                                  const TShutDown &AShutDown) {
  std::vector<std::string> Lines;
  const std::lock_guard Lock(FMutex);
  for (auto &[Fd, Entry] : FEntries) {
    if (Entry.ShutDown || Entry.InCallback > 0 || Entry.Inode == 0)
      continue;
    const std::string Why = Overdue(Entry.Phase, ANow - Entry.LastHeard, ANow - Entry.TransactionStart, ABounds);
    if (Why.empty())
      continue;
    // Under the lock: a connection cannot be forgotten (and its number
    // reused) between the decision and the shutdown.
    Entry.ShutDown = true;
    if (AShutDown({Fd, Entry.Inode}))
      Lines.push_back("connection closed: " + Why);
  }
  return Lines;
}

std::size_t TConnectionWatch::Count() const {
  const std::lock_guard Lock(FMutex);
  return FEntries.size();
}

} // namespace bw
