// A connection to the ledger's Redis: sentinels, authentication, and
// exchanges bounded by a deadline over a non-blocking socket.
#include "ledger/RedisLink_un.h"

#include "ledger/LedgerKey_un.h"

#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <tuple>

namespace bw {

static constexpr const char *ReadPasswordError = "Cannot read the ledger password file \"%s\"";

TRedisCredentials ReadRedisCredentials(const std::string &AFileName, const std::string &AUriUser) {
  TRedisCredentials Result{AUriUser, {}};
  if (AFileName.empty())
    return Result;
  const TResult<std::string> Read = ReadSecretFile(AFileName, WithOneLineName(ReadPasswordError, AFileName));
  if (!Read)
    throw ELedgerError(Read.error());
  const std::string &Line = *Read;
  if (Line.empty())
    throw ELedgerError(WithOneLineName("The ledger password file \"%s\" is empty", AFileName));
  if (Line.find('\n') != std::string::npos)
    throw ELedgerError(WithOneLineName("The ledger password file \"%s\" holds more than one line", AFileName));
  const std::size_t Blank = Line.find_first_of(" \t");
  if (Blank == std::string::npos) {
    Result.Password = Line;
    return Result;
  }
  const std::string User = Line.substr(0, Blank);
  if (!AUriUser.empty() && User != AUriUser)
    throw ELedgerError(WithOneLineName("The ledger password file \"%s\" names the user \"", AFileName) +
                       OneLineText(User) + "\", the ledger's URI \"" + OneLineText(AUriUser) + "\"");
  Result.User = User;
  Result.Password = TrimBytes(Line.substr(Blank + 1));
  return Result;
}

std::string_view ReplyText(const redisReply &AReply) {
  if (AReply.type != REDIS_REPLY_STRING && AReply.type != REDIS_REPLY_STATUS && AReply.type != REDIS_REPLY_ERROR)
    return {};
  return std::string_view(AReply.str, AReply.len);
}

bool IsErrorReply(const redisReply &AReply, std::string_view APrefix) {
  return AReply.type == REDIS_REPLY_ERROR && ReplyText(AReply).starts_with(APrefix);
}

static std::string ContextError(const redisContext &AContext) {
  return AContext.err ? std::string(AContext.errstr) : "no reply";
}

// Waits until AFd is ready for AEvents or ADeadline passes (raising then).
static void WaitReady(int AFd, short AEvents, TDeadline ADeadline) {
  for (;;) {
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(ADeadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0)
      throw ERedisError("no answer in time", /*ATimedOut=*/true);
    pollfd Poll{AFd, AEvents, 0};
    const int Ready = ::poll(&Poll, 1, static_cast<int>(Left.count()));
    if (Ready > 0)
      return;
    if (Ready < 0 && errno != EINTR)
      throw ERedisError(SystemError("cannot wait for Redis", errno));
  }
}

static timeval TimevalUntil(TDeadline ADeadline) {
  const auto Micro = std::chrono::duration_cast<std::chrono::microseconds>(ADeadline - std::chrono::steady_clock::now());
  if (Micro.count() <= 0)
    throw ERedisError("no answer in time", /*ATimedOut=*/true);
  return timeval{static_cast<time_t>(Micro.count() / 1000000), static_cast<suseconds_t>(Micro.count() % 1000000)};
}

TRedisLink::TContextPtr TRedisLink::Connect(const TLedgerLocation &ALocation, const std::string &AHost, int APort,
                                            TDeadline ADeadline) {
  const timeval Timeout = TimevalUntil(ADeadline);
  TContextPtr Context(ALocation.Kind == lkRedisUnix ? redisConnectUnixWithTimeout(ALocation.Path.c_str(), Timeout)
                                                    : redisConnectWithTimeout(AHost.c_str(), APort, Timeout));
  if (!Context)
    throw ERedisError("cannot allocate a connection");
  if (Context->err)
    throw ERedisError(ContextError(*Context));
  // From here on every exchange waits with poll() for its own deadline.
  const int Flags = ::fcntl(Context->fd, F_GETFL);
  if (Flags < 0 || ::fcntl(Context->fd, F_SETFL, Flags | O_NONBLOCK) < 0)
    throw ERedisError(SystemError("cannot make the connection non-blocking", errno));
  Context->flags &= ~REDIS_BLOCK;
  return Context;
}

std::vector<TRedisReplyPtr> TRedisLink::Exchange(redisContext *AContext, std::span<const TRedisCommand> ACommands,
                                                 TDeadline ADeadline) {
  std::vector<const char *> Argv;
  std::vector<std::size_t> Lengths;
  for (const TRedisCommand &Command : ACommands) {
    Argv.clear();
    Lengths.clear();
    for (const std::string_view Arg : Command) {
      Argv.push_back(Arg.data());
      Lengths.push_back(Arg.size());
    }
    if (redisAppendCommandArgv(AContext, static_cast<int>(Argv.size()), Argv.data(), Lengths.data()) != REDIS_OK)
      throw ERedisError(ContextError(*AContext));
  }
  for (int Done = 0; !Done;) {
    if (redisBufferWrite(AContext, &Done) != REDIS_OK)
      throw ERedisError(ContextError(*AContext));
    if (!Done)
      WaitReady(AContext->fd, POLLOUT, ADeadline);
  }
  std::vector<TRedisReplyPtr> Replies;
  Replies.reserve(ACommands.size());
  while (Replies.size() < ACommands.size()) {
    void *Reply = nullptr;
    if (redisGetReplyFromReader(AContext, &Reply) != REDIS_OK)
      throw ERedisError(ContextError(*AContext));
    if (Reply) {
      Replies.emplace_back(static_cast<redisReply *>(Reply));
      continue;
    }
    WaitReady(AContext->fd, POLLIN, ADeadline);
    if (redisBufferRead(AContext) != REDIS_OK)
      throw ERedisError(ContextError(*AContext));
  }
  return Replies;
}

std::vector<TRedisReplyPtr> TRedisLink::Exchange(std::span<const TRedisCommand> ACommands, TDeadline ADeadline) {
  return Exchange(FContext.get(), ACommands, ADeadline);
}

// The master's address as the first sentinel that knows it says.
std::pair<std::string, int> TRedisLink::AskSentinels(const TLedgerLocation &ALocation, TDeadline ADeadline) {
  std::string Why = "no sentinel was asked";
  const TRedisCommand Ask{"SENTINEL", "get-master-addr-by-name", ALocation.MasterName};
  for (const auto &[Host, Port] : ALocation.Sentinels) {
    const std::string Sentinel = Host + ":" + std::to_string(Port);
    try {
      const TContextPtr Context = Connect(ALocation, Host, Port, ADeadline);
      const std::vector<TRedisReplyPtr> Replies = Exchange(Context.get(), std::span(&Ask, 1), ADeadline);
      const redisReply &Reply = *Replies.front();
      if (Reply.type == REDIS_REPLY_ARRAY && Reply.elements == 2 && Reply.element[0]->type == REDIS_REPLY_STRING &&
          Reply.element[1]->type == REDIS_REPLY_STRING) {
        const std::string Port = std::string(ReplyText(*Reply.element[1]));
        return {std::string(ReplyText(*Reply.element[0])), std::atoi(Port.c_str())};
      }
      Why = "sentinel " + Sentinel + " knows no master \"" + ALocation.MasterName + "\"" +
            (Reply.type == REDIS_REPLY_ERROR ? ": " + std::string(ReplyText(Reply)) : "");
    } catch (const ERedisError &E) {  // this sentinel is down: ask the next
      if (E.TimedOut())
        throw;
      Why = "sentinel " + Sentinel + ": " + E.Message();
    }
  }
  throw ERedisError(Why);
}

TRedisLink::TRedisLink(const TLedgerLocation &ALocation, const TRedisCredentials &ACredentials, TDeadline ADeadline) {
  std::string Host = ALocation.Host;
  int Port = ALocation.Port;
  if (ALocation.Kind == lkRedisSentinel)
    std::tie(Host, Port) = AskSentinels(ALocation, ADeadline);
  FAddress = ALocation.Kind == lkRedisUnix ? ALocation.Path : Host + ":" + std::to_string(Port);
  FContext = Connect(ALocation, Host, Port, ADeadline);

  const std::string Database = std::to_string(ALocation.Database);
  std::vector<TRedisCommand> Setup;
  if (!ACredentials.Password.empty())
    Setup.push_back(ACredentials.User.empty() ? TRedisCommand{"AUTH", ACredentials.Password}
                                              : TRedisCommand{"AUTH", ACredentials.User, ACredentials.Password});
  if (ALocation.Database != 0)
    Setup.push_back({"SELECT", Database});
  Setup.push_back({"CONFIG", "GET", "maxmemory-policy"});
  if (ALocation.Kind == lkRedisSentinel)
    Setup.push_back({"ROLE"});
  const std::vector<TRedisReplyPtr> Replies = Exchange(Setup, ADeadline);
  std::size_t Next = 0;
  if (!ACredentials.Password.empty() && Replies[Next++]->type == REDIS_REPLY_ERROR)
    throw ERedisError(FAddress + " refused the password: " + std::string(ReplyText(*Replies[Next - 1])));
  if (ALocation.Database != 0 && Replies[Next++]->type == REDIS_REPLY_ERROR)
    throw ERedisError(std::string(ReplyText(*Replies[Next - 1])));
  const redisReply &Config = *Replies[Next++];
  if (IsErrorReply(Config, "NOAUTH") || IsErrorReply(Config, "WRONGPASS"))
    throw ERedisError(FAddress + " wants a password: " + std::string(ReplyText(Config)));
  if (Config.type == REDIS_REPLY_ARRAY && Config.elements == 2)
    FEvictionPolicy = std::string(ReplyText(*Config.element[1]));
  else
    FConfigRefusal = Config.type == REDIS_REPLY_ERROR ? ReplyText(Config) : "no answer";
  if (ALocation.Kind == lkRedisSentinel)
    NoteRole(*Replies[Next++]);
}

void TRedisLink::NoteRole(const redisReply &ARole) {
  if (ARole.type != REDIS_REPLY_ARRAY || ARole.elements < 1 || ReplyText(*ARole.element[0]) != "master")
    throw ERedisError(FAddress + " is not the master (yet): the sentinels' news is older than the failover");
  if (ARole.elements >= 3 && ARole.element[2]->type == REDIS_REPLY_ARRAY)
    FReplicas = static_cast<int>(ARole.element[2]->elements);
}

} // namespace bw
