// Sessions and callbacks for libmilter.
#include "milter/MilterSession_un.h"

#include "milter/MilterLog_un.h"
#include "rtl/SysUtils_un.h"

#include <libmilter/mfapi.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>

namespace bw {

static const char *const QuarantineReason = "bouncewarden: backscatter";
static const char *const TagHeaderName = "X-Bouncewarden";
// The MTA writes an added value as given when header values keep their
// leading space, and puts a space before it otherwise.
static const char *const TagHeaderValue = " backscatter";

// Set once by RegisterMilter before libmilter starts its threads, then only read.
static const TMilterOptions *Options = nullptr;
static TCheckGate *Gate = nullptr;

static const char *const TooLargeVerdict = "not examined (512000 bytes or more)";

// The configured answer for a message whose check or handling failed.
static sfsistat FailureStatus() { return Options->OnError == epTempfail ? SMFIS_TEMPFAIL : SMFIS_ACCEPT; }

static std::string_view QueueID(SMFICTX *ACtx) {
  const char *ID = smfi_getsymval(ACtx, const_cast<char *>("i"));
  return ID ? std::string_view(ID) : std::string_view();
}

sfsistat TMilterSession::OnEnvFrom(std::string_view AMailFrom) {
  FMessage.Start(AMailFrom);
  FHeaderLost = false;
  return SMFIS_CONTINUE;
}

sfsistat TMilterSession::OnHeader(std::string_view AName, std::string_view AValue) {
  // Without header replies the MTA reads no answer here, so a failure can
  // only be remembered and answered at end of headers.
  try {
    FMessage.AddHeader(AName, AValue);
  } catch (const std::bad_alloc &) {
    FHeaderLost = true;
  }
  return FHeaderReplies ? SMFIS_CONTINUE : SMFIS_NOREPLY;
}

sfsistat TMilterSession::OnEndOfHeaders(SMFICTX *ACtx) {
  if (FHeaderLost) {
    std::string ActionTaken;
    const sfsistat Status = ErrorStatus(ActionTaken);
    LogMessage(ACtx, "error: out of memory while collecting the headers", 0, ActionTaken, {});
    FMessage.Reset();
    return Status;
  }
  switch (FMessage.EndOfHeaders()) {
  case ehWantBody:
    return SMFIS_CONTINUE;
  case ehTooLarge:
    LogMessage(ACtx, TooLargeVerdict, 0, "accept", {});
    break;
  case ehNotDSN:
    break;
  }
  // Accepting here tells the MTA that this filter needs nothing more of the
  // message, its body included.
  FMessage.Reset();
  return SMFIS_ACCEPT;
}

sfsistat TMilterSession::OnBody(SMFICTX *ACtx, std::string_view AChunk) {
  if (FMessage.AddBody(AChunk))
    return SMFIS_CONTINUE;
  LogMessage(ACtx, TooLargeVerdict, 0, "accept", {});
  FMessage.Reset();
  return SMFIS_ACCEPT;
}

sfsistat TMilterSession::OnEndOfMessage(SMFICTX *ACtx) {
  const TCheckOutcome Outcome = RunCheck(FGate, FMessage.Sender(), FMessage.TakeContent(), FOptions.Pattern);
  std::string ActionTaken = "accept";
  sfsistat Status = SMFIS_ACCEPT;
  if (Outcome.Verdict == cvBackscatter)
    Status = ActOnBackscatter(ACtx, ActionTaken);
  else if (Outcome.Verdict != cvNotBackscatter)
    Status = ErrorStatus(ActionTaken);
  LogMessage(ACtx, VerdictText(Outcome), Outcome.MessageIDCount, ActionTaken, Outcome.Elapsed);
  FMessage.Reset();
  return Status;
}

sfsistat TMilterSession::OnAbort() {
  FMessage.Reset();
  return SMFIS_CONTINUE;
}

sfsistat TMilterSession::ActOnBackscatter(SMFICTX *ACtx, std::string &AActionTaken) {
  AActionTaken = ActionName(FOptions.Action);
  switch (FOptions.Action) {
  case maReject: {
    std::string Code = FOptions.ReplyCode, Status = FOptions.ReplyStatus, Text = FOptions.ReplyText;
    if (smfi_setreply(ACtx, Code.data(), Status.data(), Text.data()) != MI_SUCCESS)
      AActionTaken += " (the MTA's own reply: setting ours failed)";
    return SMFIS_REJECT;
  }
  case maDiscard:
    return SMFIS_DISCARD;
  case maQuarantine:
    if (smfi_quarantine(ACtx, const_cast<char *>(QuarantineReason)) != MI_SUCCESS)
      AActionTaken += " failed, accepted";
    return SMFIS_ACCEPT;
  case maTag: {
    const char *Value = FMessage.Form() == hvAsReceived ? TagHeaderValue : TagHeaderValue + 1;
    if (smfi_addheader(ACtx, const_cast<char *>(TagHeaderName), const_cast<char *>(Value)) != MI_SUCCESS)
      AActionTaken += " failed, accepted";
    return SMFIS_ACCEPT;
  }
  case maLog:
    AActionTaken = "accept (log only, would " + std::string(ActionName(maReject)) + ")";
    return SMFIS_ACCEPT;
  }
  return SMFIS_ACCEPT;
}

sfsistat TMilterSession::ErrorStatus(std::string &AActionTaken) const {
  AActionTaken = FOptions.OnError == epTempfail ? "tempfail" : "accept";
  return FailureStatus();
}

void TMilterSession::LogMessage(SMFICTX *ACtx, std::string_view AVerdict, std::size_t AMessageIDCount,
                                std::string_view AActionTaken, std::chrono::microseconds AElapsed) const {
  // Milliseconds with three decimals: a typical check takes well under one.
  char Milliseconds[32];
  std::snprintf(Milliseconds, sizeof Milliseconds, "%.3f ms", static_cast<double>(AElapsed.count()) / 1000);
  std::string Text = "sender=<" + FMessage.Sender() + ">, verdict=";
  Text.append(AVerdict)
      .append(", message-ids=")
      .append(std::to_string(AMessageIDCount))
      .append(", action=")
      .append(AActionTaken)
      .append(", ")
      .append(Milliseconds);
  MilterLog(QueueID(ACtx), Text);
}

// --- The callbacks: fetch the session, forward, let no exception through.

// The session of the connection. It is made at negotiation, which tells how
// header values arrive; a connection that starts without one (an MTA reusing
// it after "quit, new connection") gets one that assumes stripped values:
// a kept leading space then only doubles, which parses the same.
static TMilterSession &Session(SMFICTX *ACtx) {
  if (auto *Existing = static_cast<TMilterSession *>(smfi_getpriv(ACtx)))
    return *Existing;
  auto Created = std::make_unique<TMilterSession>(*Options, *Gate, hvLeadingSpaceStripped);
  smfi_setpriv(ACtx, Created.get());
  return *Created.release();  // owned by the connection until the close callback
}

template <class TCall> static sfsistat Forward(SMFICTX *ACtx, TCall &&ACall) noexcept {
  // libmilter is C: an exception must end here whatever its type, or it
  // would unwind through libmilter's frames and end the process.
  try {
    return ACall(Session(ACtx));
  } catch (const Exception &E) {
    MilterLog(QueueID(ACtx), std::string("internal error ") + E.ClassName() + " \"" + E.Message() + "\"");
  } catch (const std::exception &E) {
    MilterLog(QueueID(ACtx), std::string("internal error \"") + E.what() + "\"");
  } catch (...) {
    MilterLog(QueueID(ACtx), "internal error of unknown type");
  }
  return FailureStatus();
}

static unsigned long ActionFlags() {
  switch (Options->Action) {
  case maTag:
    return SMFIF_ADDHDRS;
  case maQuarantine:
    return SMFIF_QUARANTINE;
  default:
    return SMFIF_NONE;
  }
}

static sfsistat OnNegotiate(SMFICTX *ACtx, unsigned long AActions, unsigned long ASteps, unsigned long,
                            unsigned long, unsigned long *AWantedActions, unsigned long *AWantedSteps,
                            unsigned long *AReserved2, unsigned long *AReserved3) {
  std::unique_ptr<TMilterSession> Previous(static_cast<TMilterSession *>(smfi_getpriv(ACtx)));
  smfi_setpriv(ACtx, nullptr);
  const unsigned long Actions = ActionFlags();
  if ((AActions & Actions) != Actions) {
    MilterLog({}, "the MTA does not offer what this --action needs: this connection goes unfiltered");
    return SMFIS_REJECT;
  }
  // Skip every step without a callback, and keep header values as received.
  static constexpr unsigned long Steps = SMFIP_NOCONNECT | SMFIP_NOHELO | SMFIP_NORCPT | SMFIP_NOUNKNOWN |
                                         SMFIP_NODATA | SMFIP_HDR_LEADSPC | SMFIP_NR_HDR;
  *AWantedActions = Actions;
  *AWantedSteps = ASteps & Steps;
  *AReserved2 = 0;
  *AReserved3 = 0;
  try {
    const THeaderValueForm Form = (*AWantedSteps & SMFIP_HDR_LEADSPC) ? hvAsReceived : hvLeadingSpaceStripped;
    const bool HeaderReplies = (*AWantedSteps & SMFIP_NR_HDR) == 0;
    smfi_setpriv(ACtx, std::make_unique<TMilterSession>(*Options, *Gate, Form, HeaderReplies).release());
  } catch (const std::bad_alloc &) {
    // No session yet: Session() makes one at MAIL FROM.
  }
  return SMFIS_CONTINUE;
}

static sfsistat OnEnvFrom(SMFICTX *ACtx, char **AArgv) {
  return Forward(ACtx, [&](TMilterSession &S) { return S.OnEnvFrom(AArgv && AArgv[0] ? AArgv[0] : ""); });
}

static sfsistat OnHeader(SMFICTX *ACtx, char *AName, char *AValue) {
  return Forward(ACtx, [&](TMilterSession &S) { return S.OnHeader(AName ? AName : "", AValue ? AValue : ""); });
}

static sfsistat OnEndOfHeaders(SMFICTX *ACtx) {
  return Forward(ACtx, [&](TMilterSession &S) { return S.OnEndOfHeaders(ACtx); });
}

static sfsistat OnBody(SMFICTX *ACtx, unsigned char *AChunk, size_t ASize) {
  return Forward(ACtx, [&](TMilterSession &S) {
    return S.OnBody(ACtx, std::string_view(reinterpret_cast<const char *>(AChunk), AChunk ? ASize : 0));
  });
}

static sfsistat OnEndOfMessage(SMFICTX *ACtx) {
  return Forward(ACtx, [&](TMilterSession &S) { return S.OnEndOfMessage(ACtx); });
}

static sfsistat OnAbort(SMFICTX *ACtx) {
  return Forward(ACtx, [](TMilterSession &S) { return S.OnAbort(); });
}

static sfsistat OnClose(SMFICTX *ACtx) {
  // libmilter calls this at the end of every connection, after an abort or a
  // dropped connection too: the session and any message it holds go here.
  std::unique_ptr<TMilterSession> Owned(static_cast<TMilterSession *>(smfi_getpriv(ACtx)));
  smfi_setpriv(ACtx, nullptr);
  return SMFIS_CONTINUE;
}

bool RegisterMilter(const TMilterOptions &AOptions, TCheckGate &AGate) {
  Options = &AOptions;
  Gate = &AGate;
  smfiDesc Description{};
  Description.xxfi_name = const_cast<char *>("bouncewarden-milter");
  Description.xxfi_version = SMFI_VERSION;
  Description.xxfi_flags = ActionFlags();
  Description.xxfi_envfrom = OnEnvFrom;
  Description.xxfi_header = OnHeader;
  Description.xxfi_eoh = OnEndOfHeaders;
  Description.xxfi_body = OnBody;
  Description.xxfi_eom = OnEndOfMessage;
  Description.xxfi_abort = OnAbort;
  Description.xxfi_close = OnClose;
  Description.xxfi_negotiate = OnNegotiate;
  return smfi_register(Description) == MI_SUCCESS;
}

} // namespace bw
