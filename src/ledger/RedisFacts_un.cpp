// The Redis ledger's facts: its start, cover and key fingerprint, its
// recorders' marks and gaps, and what stats reports of it.
#include "ledger/RedisLedger_un.h"

#include "ledger/LedgerGaps_un.h"
#include "rtl/Numbers_un.h"

#include <algorithm>
#include <limits>

namespace bw {

// A number from INFO's "NAME:VALUE" lines; 0 when it is not there.
static std::uint64_t InfoNumber(std::string_view AInfo, std::string_view AName) {
  std::string Wanted(1, '\n'), Lines(1, '\n');
  Wanted.append(AName).append(":");
  const std::size_t At = Lines.append(AInfo).find(Wanted);
  if (At == std::string::npos)
    return 0;
  const std::string_view Rest = AInfo.substr(At + Wanted.size() - 1);
  return ParseDecimal<std::uint64_t>(Rest.substr(0, Rest.find_first_of("\r\n")), 0,
                                     std::numeric_limits<std::uint64_t>::max())
      .value_or(0);
}

// Every "dbN:keys=K,..." line's K, added up.
static std::uint64_t InfoKeys(std::string_view AInfo) {
  std::uint64_t Keys = 0;
  for (std::size_t At = AInfo.find(":keys="); At != std::string_view::npos; At = AInfo.find(":keys=", At + 1)) {
    const std::string_view Rest = AInfo.substr(At + 6);
    Keys += ParseDecimal<std::uint64_t>(Rest.substr(0, Rest.find_first_not_of("0123456789")), 0,
                                        std::numeric_limits<std::uint64_t>::max())
                .value_or(0);
  }
  return Keys;
}

std::optional<TLedgerTime> TRedisStore::StartTime() {
  const auto Now = std::chrono::steady_clock::now();
  {
    const std::lock_guard<std::mutex> Lock(FFactsLock);
    if (FStart && Now - FStartReadAt < StartTimeRefresh)
      return FStart;
    FStartReadAt = Now;  // one refresh at a time; the others take what is known
  }
  ReadFacts();
  const std::lock_guard<std::mutex> Lock(FFactsLock);
  return FStart;
}

std::optional<std::string> TRedisStore::ReadFacts() {
  std::optional<std::string> Fingerprint;
  Run(gRead, [&](TRedisLink &ALink, TDeadline ADeadline) {
    const TRedisReplyPtr Reply = ALink.Exchange({"MGET", StartKey, FingerprintKey}, ADeadline);
    if (Reply->type != REDIS_REPLY_ARRAY || Reply->elements != 2)
      return;
    NoticeFacts(*Reply->element[0], *Reply->element[1]);
    if (Reply->element[1]->type == REDIS_REPLY_STRING)
      Fingerprint = ReplyText(*Reply->element[1]);
  });
  return Fingerprint;
}

std::optional<TLedgerTime> TRedisStore::CoverSince() {
  const TRedisReplyPtr Reply = Ask(gRead, {"GET", CoverKey});
  return Reply ? TimeOf(*Reply) : std::nullopt;
}

TRecordResult TRedisStore::SetCoverSince(TLedgerTime ASince) {
  return Written(Ask(gWrite, {"SET", CoverKey, SecondsText(ASince)}));
}

std::optional<std::string> TRedisStore::Fingerprint() { return ReadFacts(); }

TRecordResult TRedisStore::SetFingerprint(std::string_view AFingerprint) {
  const TRecordResult Result = Written(Ask(gWrite, {"SET", FingerprintKey, AFingerprint, "NX"}));
  if (Result == rrAccepted)
    ReadFacts();  // what it holds now is what this process goes by
  return Result;
}

TRecordResult TRedisStore::Heartbeat(std::string_view ARecorder, TLedgerTime ANow) {
  const std::string Name = StoredRecorderName(ARecorder);
  if (Name.empty())
    return rrUnavailable;
  return Written(Ask(gWrite, {"HSET", BeatsKey, Name, SecondsText(ANow)}));
}

std::optional<TLedgerTime> TRedisStore::LastHeartbeat(std::string_view ARecorder) {
  const TRedisReplyPtr Reply = Ask(gRead, {"HGET", BeatsKey, StoredRecorderName(ARecorder)});
  return Reply ? TimeOf(*Reply) : std::nullopt;
}

std::optional<std::vector<TLedgerHeartbeat>> TRedisStore::Heartbeats() {
  const TRedisReplyPtr Reply = Ask(gRead, {"HGETALL", BeatsKey});
  if (!Reply || Reply->type != REDIS_REPLY_ARRAY)
    return std::nullopt;
  std::vector<TLedgerHeartbeat> Result;
  for (std::size_t I = 0; I + 1 < Reply->elements; I += 2)
    if (const std::optional<TLedgerTime> Time = TimeOf(*Reply->element[I + 1]))
      Result.push_back({std::string(ReplyText(*Reply->element[I])), *Time});
  std::sort(Result.begin(), Result.end(),
            [](const TLedgerHeartbeat &A, const TLedgerHeartbeat &B) { return A.Recorder < B.Recorder; });
  return Result;
}

TRecordResult TRedisStore::RetireRecorder(std::string_view ARecorder) {
  return Written(Ask(gWrite, {"HDEL", BeatsKey, StoredRecorderName(ARecorder)}));
}

TRecordResult TRedisStore::RecordGap(const TLedgerGap &AGap) {
  TLedgerGap Gap = AGap;
  Gap.Recorder = StoredRecorderName(AGap.Recorder);
  if (Gap.Recorder.empty())
    return rrUnavailable;
  const TLedgerTime Cutoff = RetentionCutoff(LedgerNow(), FOptions.Retention);
  if (std::max(Gap.From, Gap.To) < Cutoff)
    return rrExpired;
  TRecordResult Result = rrUnavailable;
  Run(gWrite, [&](TRedisLink &ALink, TDeadline ADeadline) {
    // Another host may merge a gap of the same recorder at once: the field
    // is written only if it did not change since it was read.
    for (int Attempt = 0; Attempt < GapWriteAttempts; ++Attempt) {
      const std::vector<TRedisCommand> Read{{"WATCH", GapsKey}, {"HGET", GapsKey, Gap.Recorder}};
      const std::vector<TRedisReplyPtr> Known = ALink.Exchange(Read, ADeadline);
      const std::string Text = GapsText(
          MergeGap(ParseGapsText(Gap.Recorder, Known[1]->type == REDIS_REPLY_STRING ? ReplyText(*Known[1]) : ""), Gap,
                   Cutoff));
      const std::vector<TRedisCommand> Write{{"MULTI"}, {"HSET", GapsKey, Gap.Recorder, Text}, {"EXEC"}};
      const std::vector<TRedisReplyPtr> Done = ALink.Exchange(Write, ADeadline);
      if (Done[2]->type == REDIS_REPLY_ARRAY) {
        Result = rrAccepted;
        return;
      }
      if (Done[2]->type == REDIS_REPLY_ERROR) {  // EXECABORT: the HSET was refused (OOM)
        Result = Written(Done[1]);
        return;
      }
    }
  });
  return Result;
}

std::optional<std::vector<TLedgerGap>> TRedisStore::Gaps(TLedgerTime ASince) {
  const TRedisReplyPtr Reply = Ask(gRead, {"HGETALL", GapsKey});
  if (!Reply || Reply->type != REDIS_REPLY_ARRAY)
    return std::nullopt;
  std::vector<TLedgerGap> Result;
  for (std::size_t I = 0; I + 1 < Reply->elements; I += 2)
    for (TLedgerGap &Gap : ParseGapsText(ReplyText(*Reply->element[I]), ReplyText(*Reply->element[I + 1])))
      if (Gap.To >= ASince)
        Result.push_back(std::move(Gap));
  std::stable_sort(Result.begin(), Result.end(), [](const TLedgerGap &A, const TLedgerGap &B) { return A.From < B.From; });
  return Result;
}

TLedgerStats TRedisStore::Stats() {
  TLedgerStats Result;
  std::string Error;
  // Each exchange has its own deadline: reading every entry is one exchange
  // per page of SCAN.
  const bool Read = Run(
      gRead,
      [&](TRedisLink &ALink, TDeadline) {
        Result = {};
        std::string Cursor = "0";
        do {
          const TRedisReplyPtr Page =
              ALink.Exchange({"SCAN", Cursor, "MATCH", KeyPattern, "COUNT", "1000"}, Deadline());
          if (Page->type != REDIS_REPLY_ARRAY || Page->elements != 2 || Page->element[0]->type != REDIS_REPLY_STRING ||
              Page->element[1]->type != REDIS_REPLY_ARRAY)
            throw ERedisError("unexpected reply to SCAN: " + std::string(ReplyText(*Page)));
          Cursor = ReplyText(*Page->element[0]);
          const redisReply &Keys = *Page->element[1];
          if (Keys.elements == 0)
            continue;
          TRedisCommand Mget{"MGET"};
          for (std::size_t I = 0; I < Keys.elements; ++I)
            Mget.push_back(ReplyText(*Keys.element[I]));
          const TRedisReplyPtr Values = ALink.Exchange(Mget, Deadline());
          for (std::size_t I = 0; Values->type == REDIS_REPLY_ARRAY && I < Values->elements; ++I)
            // A key that expired since SCAN listed it reads as nil, and is not counted.
            if (const std::optional<TLedgerTime> Time = TimeOf(*Values->element[I])) {
              ++Result.Entries;
              Result.Oldest = std::min(Result.Oldest.value_or(*Time), *Time);
              Result.Newest = std::max(Result.Newest.value_or(*Time), *Time);
            }
        } while (Cursor != "0");
        const std::vector<TRedisCommand> Facts{
            {"MGET", StartKey, CoverKey, FingerprintKey}, {"INFO", "memory"}, {"INFO", "keyspace"}};
        const std::vector<TRedisReplyPtr> Replies = ALink.Exchange(Facts, Deadline());
        if (Replies[0]->type == REDIS_REPLY_ARRAY && Replies[0]->elements == 3) {
          Result.StartTime = TimeOf(*Replies[0]->element[0]);
          Result.CoverSince = TimeOf(*Replies[0]->element[1]);
          if (Replies[0]->element[2]->type == REDIS_REPLY_STRING)
            Result.Fingerprint = std::string(ReplyText(*Replies[0]->element[2]));
        }
        // What the server holds above its empty state, shared out over all
        // its keys: the hash tables and expiry of each entry included.
        const std::string_view Memory = ReplyText(*Replies[1]);
        const std::uint64_t Used = InfoNumber(Memory, "used_memory");
        const std::uint64_t Empty = InfoNumber(Memory, "used_memory_startup");
        const std::uint64_t Keys = InfoKeys(ReplyText(*Replies[2]));
        if (Keys > 0 && Used > Empty)
          Result.BytesUsed = static_cast<std::uint64_t>(static_cast<double>(Used - Empty) *
                                                        static_cast<double>(Result.Entries) / static_cast<double>(Keys));
        if (const std::uint64_t Most = InfoNumber(Memory, "maxmemory"); Most > 0)
          Result.Fullness = static_cast<double>(Used) / static_cast<double>(Most);
      },
      Error, Deadline());
  if (!Read)
    throw ELedgerError("Cannot read the ledger \"" + FOptions.Uri + "\": " + Error);
  return Result;
}

} // namespace bw
