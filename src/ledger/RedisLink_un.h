// One connection to the ledger's Redis, private to the Redis store: found
// directly or through the sentinels, authenticated, its database selected,
// and every exchange of commands bounded by one deadline for the whole of
// it, however many commands and replies it carries.
//
// hiredis's own timeout bounds each read and write of the socket, so a
// reply that trickles in could take many times the timeout; here the
// socket is non-blocking and each exchange waits with poll() for what is
// left of its deadline.
#pragma once

#include "ledger/LedgerStore_un.h"
#include "ledger/LedgerUri_un.h"

#include <hiredis/hiredis.h>

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw {

// A connection failed, timed out, or Redis answered an exchange with what
// it cannot be used with. The connection it came from is not reused.
class ERedisError : public ELedgerError {
public:
  ERedisError(std::string AMessage, bool ATimedOut = false)
      : ELedgerError(std::move(AMessage)), FTimedOut(ATimedOut) {}
  const char *ClassName() const noexcept override { return "ERedisError"; }
  bool TimedOut() const noexcept { return FTimedOut; }

private:
  bool FTimedOut;
};

using TDeadline = std::chrono::steady_clock::time_point;

struct TRedisReplyFree {
  void operator()(redisReply *AReply) const noexcept { freeReplyObject(AReply); }
};
using TRedisReplyPtr = std::unique_ptr<redisReply, TRedisReplyFree>;
using TRedisCommand = std::vector<std::string_view>;

// Who the store says it is: from redis://USER@..., and the password file.
struct TRedisCredentials {
  std::string User;      // empty: the default user
  std::string Password;  // empty: no AUTH
};

// Reads TLedgerOptions::PasswordFile: the password, or "USER PASSWORD" on
// one line, with the blanks and line ends around them trimmed. Raises
// ELedgerError naming the file when it cannot be read, is empty, or names
// another user than AUriUser. An empty AFileName gives AUriUser without a
// password.
TRedisCredentials ReadRedisCredentials(const std::string &AFileName, const std::string &AUriUser);

// The text of a string, status or error reply; empty for any other.
std::string_view ReplyText(const redisReply &AReply);
bool IsErrorReply(const redisReply &AReply, std::string_view APrefix = {});

class TRedisLink {
public:
  // Connects to ALocation's server (for lkRedisSentinel, to the master the
  // first sentinel that answers names), authenticates, selects the
  // database, and asks for the eviction policy (EvictionPolicy) and, behind
  // sentinels, whether it is the master indeed. Raises ERedisError.
  TRedisLink(const TLedgerLocation &ALocation, const TRedisCredentials &ACredentials, TDeadline ADeadline);

  // Sends ACommands at once and reads their replies, error replies
  // included, before ADeadline; raises ERedisError when the connection
  // fails or the deadline passes (TimedOut()).
  std::vector<TRedisReplyPtr> Exchange(std::span<const TRedisCommand> ACommands, TDeadline ADeadline);
  TRedisReplyPtr Exchange(const TRedisCommand &ACommand, TDeadline ADeadline) {
    return std::move(Exchange(std::span<const TRedisCommand>(&ACommand, 1), ADeadline).front());
  }

  // maxmemory-policy; nothing when CONFIG GET was refused (an ACL user
  // without +config, a renamed command), with the reply in ConfigRefusal.
  const std::optional<std::string> &EvictionPolicy() const noexcept { return FEvictionPolicy; }
  const std::string &ConfigRefusal() const noexcept { return FConfigRefusal; }
  // Behind sentinels, the replicas the master had at the last ROLE: when
  // connected, or as NoteRole last read.
  int Replicas() const noexcept { return FReplicas; }
  // Reads the reply to ROLE: raises ERedisError when the server is no master
  // (the sentinels' news is older than a failover), and counts its replicas.
  void NoteRole(const redisReply &ARole);
  // Where it went, for a message ("10.0.0.5:6379", a socket's path).
  const std::string &Address() const noexcept { return FAddress; }

private:
  struct TContextFree {
    void operator()(redisContext *AContext) const noexcept { redisFree(AContext); }
  };
  using TContextPtr = std::unique_ptr<redisContext, TContextFree>;

  static TContextPtr Connect(const TLedgerLocation &ALocation, const std::string &AHost, int APort,
                             TDeadline ADeadline);
  static std::vector<TRedisReplyPtr> Exchange(redisContext *AContext, std::span<const TRedisCommand> ACommands,
                                              TDeadline ADeadline);
  static std::pair<std::string, int> AskSentinels(const TLedgerLocation &ALocation, TDeadline ADeadline);

  TContextPtr FContext;
  std::optional<std::string> FEvictionPolicy;
  std::string FConfigRefusal;
  int FReplicas = 0;
  std::string FAddress;
};

} // namespace bw
