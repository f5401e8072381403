// The connections libmilter serves, as the milter sees them: when each last
// heard from its MTA and where it is in a message, so that a silent or
// dawdling peer is closed. libmilter bounds only a read inside a packet: it
// waits for the next packet for ever, so a peer that goes quiet, or sends a
// packet a byte at a time, would hold a thread and a descriptor for good.
//
// Nothing here knows libmilter: the daemon reports the sockets, the steps
// and the closes, and shuts a connection down through a function it hands
// in. Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace bw {

// Where a connection is, as its last finished step left it.
enum TConnectionPhase : std::uint8_t {
  cpNotNegotiated,    // accepted, no step finished yet
  cpBetweenMessages,  // negotiated, no transaction open
  cpEnvelope,         // MAIL FROM came, the content not yet: the MTA waits for its client's data
  cpContent           // the headers or the body are coming
};

// How long a connection may go without a finished step, and a transaction
// in all.
struct TWatchBounds {
  std::chrono::seconds Silence;      // --timeout: between steps, outside the envelope
  std::chrono::seconds Transaction;  // --message-timeout: a whole transaction, and its envelope's wait
};

class TConnectionWatch {
public:
  using TClock = std::chrono::steady_clock;
  // A connection's socket: its descriptor, and its inode, since a closed
  // descriptor's number is soon reused.
  struct TSocket {
    int Fd;
    std::uint64_t Inode;
  };
  // Shuts the connection's socket down (never closes it: libmilter owns it)
  // when it is still that socket; false when it is not.
  using TShutDown = std::function<bool(const TSocket &ASocket)>;

  // A callback of the connection on AFd begins: never closed while it runs
  // (a check may wait for a worker).
  void Enter(int AFd, TClock::time_point ANow);
  // It ended, leaving the connection in APhase.
  void Leave(int AFd, TConnectionPhase APhase, TClock::time_point ANow);
  // libmilter is about to close AFd: it is forgotten before its number can
  // be reused.
  void Closed(int AFd);
  // The connections' sockets open now (the daemon looks them up): one not
  // known yet is watched from ANow on, as not negotiated.
  void Seen(std::span<const TSocket> ASockets, TClock::time_point ANow);

  // Shuts down each connection past ABounds through AShutDown, once, and
  // returns a line for each: "connection closed: silent for N s between
  // commands (--timeout)" and the like.
  std::vector<std::string> Expire(TClock::time_point ANow, const TWatchBounds &ABounds, const TShutDown &AShutDown);

  // The connections watched: the open-connections gauge.
  std::size_t Count() const;

private:
  struct TEntry {
    std::uint64_t Inode = 0;  // 0: known from its steps only
    TConnectionPhase Phase = cpNotNegotiated;
    TClock::time_point LastHeard;
    TClock::time_point TransactionStart;
    unsigned InCallback = 0;
    bool ShutDown = false;
  };
  mutable std::mutex FMutex;
  std::map<int, TEntry> FEntries;  // by descriptor
};

} // namespace bw
