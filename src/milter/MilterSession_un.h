// The libmilter side of the milter: one session per MTA connection, the
// callbacks that forward to it, and the registration with libmilter.
#pragma once

#include "milter/MilterCheck_un.h"
#include "milter/MilterMessage_un.h"
#include "milter/MilterOptions_un.h"

#include <libmilter/mfapi.h>

#include <chrono>
#include <cstddef>
#include <string_view>

namespace bw {

// The state of one MTA connection. Each callback of a message forwards to a
// member; the message's state is reset at MAIL FROM, at end of message and
// on abort, so one connection can carry any number of messages.
class TMilterSession {
public:
  // AHeaderReplies is false when the MTA agreed to send headers without
  // waiting for an answer to each (SMFIP_NR_HDR), which saves a round trip
  // per header of every message.
  TMilterSession(const TMilterOptions &AOptions, TCheckGate &AGate, THeaderValueForm AForm, bool AHeaderReplies = true)
      : FOptions(AOptions), FGate(AGate), FMessage(AForm), FHeaderReplies(AHeaderReplies) {}

  sfsistat OnEnvFrom(std::string_view AMailFrom);
  sfsistat OnHeader(std::string_view AName, std::string_view AValue);
  sfsistat OnEndOfHeaders(SMFICTX *ACtx);
  sfsistat OnBody(SMFICTX *ACtx, std::string_view AChunk);
  sfsistat OnEndOfMessage(SMFICTX *ACtx);
  sfsistat OnAbort();

private:
  sfsistat ActOnBackscatter(SMFICTX *ACtx, std::string &AActionTaken);
  sfsistat ErrorStatus(std::string &AActionTaken) const;
  void LogMessage(SMFICTX *ACtx, std::string_view AVerdict, std::size_t AMessageIDCount,
                  std::string_view AActionTaken, std::chrono::microseconds AElapsed) const;

  const TMilterOptions &FOptions;
  TCheckGate &FGate;
  TMilterMessage FMessage;
  bool FHeaderReplies;
  // A header could not be kept: the message is incomplete, and end of
  // headers answers as for a failed check.
  bool FHeaderLost = false;
};

// Registers the callbacks with libmilter. AOptions and AGate must outlive
// smfi_main; they are read, never changed, from libmilter's threads.
bool RegisterMilter(const TMilterOptions &AOptions, TCheckGate &AGate);

} // namespace bw
