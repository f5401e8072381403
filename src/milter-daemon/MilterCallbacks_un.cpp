// libmilter's callbacks: each fetches the connection's session, forwards,
// and turns the answer into libmilter's; no exception crosses into C.
#include "milter-daemon/MilterCallbacks_un.h"

#include "milter/MilterSession_un.h"
#include "rtl/SysUtils_un.h"

#include <libmilter/mfapi.h>

#include <exception>
#include <memory>
#include <new>
#include <string>

namespace bw {

// Set once by RegisterMilter, before libmilter starts its threads; the
// context itself lives as long as the process.
static TMilterContext *Context = nullptr;

namespace {
// The reply interface over libmilter's context of one connection.
class TLibMilterReply final : public TMilterReply {
public:
  explicit TLibMilterReply(SMFICTX *ACtx) : FCtx(ACtx) {}

  bool SetReply(const std::string &ACode, const std::string &AStatus, const std::string &AText) override {
    std::string Code = ACode, Status = AStatus, Text = AText;  // libmilter takes char *
    return smfi_setreply(FCtx, Code.data(), Status.data(), Text.data()) == MI_SUCCESS;
  }
  bool Quarantine(const std::string &AReason) override {
    std::string Reason = AReason;
    return smfi_quarantine(FCtx, Reason.data()) == MI_SUCCESS;
  }
  bool AddHeader(const std::string &AName, const std::string &AValue) override {
    std::string Name = AName, Value = AValue;
    return smfi_addheader(FCtx, Name.data(), Value.data()) == MI_SUCCESS;
  }
  bool RemoveHeader(const std::string &AName, unsigned AIndex) override {
    std::string Name = AName;
    return smfi_chgheader(FCtx, Name.data(), static_cast<int>(AIndex), nullptr) == MI_SUCCESS;
  }
  std::string MacroValue(const std::string &AName) override {
    std::string Name = AName;
    const char *Value = smfi_getsymval(FCtx, Name.data());
    return Value ? Value : "";
  }

private:
  SMFICTX *FCtx;
};

// Counts the callback as running for the orderly stop, which waits until
// every answer has gone out.
class TCallbackScope {
public:
  TCallbackScope() noexcept { Context->EnterCallback(); }
  ~TCallbackScope() { Context->LeaveCallback(); }
  TCallbackScope(const TCallbackScope &) = delete;
  TCallbackScope &operator=(const TCallbackScope &) = delete;
};
} // namespace

static sfsistat ToStatus(TMilterStatus AStatus) {
  switch (AStatus) {
  case msContinue:
    return SMFIS_CONTINUE;
  case msAccept:
    return SMFIS_ACCEPT;
  case msReject:
    return SMFIS_REJECT;
  case msDiscard:
    return SMFIS_DISCARD;
  case msTempfail:
    return SMFIS_TEMPFAIL;
  case msNoReply:
    return SMFIS_NOREPLY;
  case msSkip:
    return SMFIS_SKIP;
  }
  return SMFIS_TEMPFAIL;
}

static sfsistat FailureStatus() {
  return Context->Options().OnError == epTempfail ? SMFIS_TEMPFAIL : SMFIS_ACCEPT;
}

template <class TCall> static sfsistat Forward(SMFICTX *ACtx, TCall &&ACall) noexcept {
  const TCallbackScope Scope;
  TLibMilterReply Reply(ACtx);
  auto *Session = static_cast<TMilterSession *>(smfi_getpriv(ACtx));
  if (!Session) {
    // No session: negotiation was skipped (an MTA reusing the connection
    // after "quit, new connection") or could not make one.
    Context->Log().Message(Reply.MacroValue("i"), "internal error: a step without a negotiated connection");
    return FailureStatus();
  }
  // libmilter is C: an exception must end here whatever its type, or it
  // would unwind through libmilter's frames and end the process.
  try {
    return ToStatus(ACall(*Session, Reply));
  } catch (const Exception &E) {
    return ToStatus(Session->OnInternalError(Reply, std::string(E.ClassName()) + " \"" + E.Message() + "\""));
  } catch (const std::bad_alloc &) {
    return ToStatus(Session->OnInternalError(Reply, "out of memory"));
  } catch (const std::exception &E) {
    return ToStatus(Session->OnInternalError(Reply, std::string("\"") + E.what() + "\""));
  } catch (...) {
    return ToStatus(Session->OnInternalError(Reply, "of unknown type"));
  }
}

static unsigned long ActionFlags() {
  switch (Context->Options().Action) {
  case maTag:
    return SMFIF_ADDHDRS | SMFIF_CHGHDRS;
  case maQuarantine:
    return SMFIF_QUARANTINE;
  default:
    return SMFIF_NONE;
  }
}

static sfsistat OnNegotiate(SMFICTX *ACtx, unsigned long AActions, unsigned long ASteps, unsigned long,
                            unsigned long, unsigned long *AWantedActions, unsigned long *AWantedSteps,
                            unsigned long *AReserved2, unsigned long *AReserved3) {
  const TCallbackScope Scope;
  std::unique_ptr<TMilterSession> Previous(static_cast<TMilterSession *>(smfi_getpriv(ACtx)));
  smfi_setpriv(ACtx, nullptr);
  Previous.reset();
  const unsigned long Actions = ActionFlags();
  if ((AActions & Actions) != Actions) {
    // Rejecting negotiation closes the connection; the MTA then treats the
    // milter as unavailable.
    Context->Log().Daemon("the MTA does not offer what --action=" + std::string(ActionName(Context->Options().Action)) +
                          " needs: connection closed, the MTA's default action for an unavailable milter "
                          "(Postfix: milter_default_action) applies to its mail");
    return SMFIS_REJECT;
  }
  // Skip every step without a callback, keep header values as received,
  // send headers without a reply each, skip unwanted body chunks.
  static constexpr unsigned long Steps = SMFIP_NOCONNECT | SMFIP_NOHELO | SMFIP_NORCPT | SMFIP_NOUNKNOWN |
                                         SMFIP_NODATA | SMFIP_HDR_LEADSPC | SMFIP_NR_HDR | SMFIP_SKIP;
  *AWantedActions = Actions;
  *AWantedSteps = ASteps & Steps;
  *AReserved2 = 0;
  *AReserved3 = 0;
  TNegotiated Negotiated;
  Negotiated.Form = (*AWantedSteps & SMFIP_HDR_LEADSPC) ? hvAsReceived : hvLeadingSpaceStripped;
  Negotiated.HeaderReplies = (*AWantedSteps & SMFIP_NR_HDR) == 0;
  Negotiated.CanSkipBody = (*AWantedSteps & SMFIP_SKIP) != 0;
  try {
    smfi_setpriv(ACtx, std::make_unique<TMilterSession>(*Context, Negotiated).release());
  } catch (const std::bad_alloc &) {
    Context->Log().Daemon("out of memory for a new connection: closed, the MTA's default action applies");
    return SMFIS_REJECT;
  }
  return SMFIS_CONTINUE;
}

static sfsistat OnEnvFrom(SMFICTX *ACtx, char **AArgv) {
  return Forward(ACtx, [&](TMilterSession &S, TMilterReply &R) {
    return S.OnEnvFrom(R, AArgv && AArgv[0] ? AArgv[0] : "");
  });
}

static sfsistat OnHeader(SMFICTX *ACtx, char *AName, char *AValue) {
  return Forward(ACtx, [&](TMilterSession &S, TMilterReply &) {
    return S.OnHeader(AName ? AName : "", AValue ? AValue : "");
  });
}

static sfsistat OnEndOfHeaders(SMFICTX *ACtx) {
  return Forward(ACtx, [](TMilterSession &S, TMilterReply &R) { return S.OnEndOfHeaders(R); });
}

static sfsistat OnBody(SMFICTX *ACtx, unsigned char *AChunk, size_t ASize) {
  return Forward(ACtx, [&](TMilterSession &S, TMilterReply &R) {
    return S.OnBody(R, std::string_view(reinterpret_cast<const char *>(AChunk), AChunk ? ASize : 0));
  });
}

static sfsistat OnEndOfMessage(SMFICTX *ACtx) {
  return Forward(ACtx, [](TMilterSession &S, TMilterReply &R) { return S.OnEndOfMessage(R); });
}

static sfsistat OnAbort(SMFICTX *ACtx) {
  return Forward(ACtx, [](TMilterSession &S, TMilterReply &) { return S.OnAbort(); });
}

static sfsistat OnClose(SMFICTX *ACtx) {
  // libmilter calls this at the end of every connection, after an abort or a
  // dropped connection too: the session, and any transaction it still had,
  // end here.
  const TCallbackScope Scope;
  std::unique_ptr<TMilterSession> Owned(static_cast<TMilterSession *>(smfi_getpriv(ACtx)));
  smfi_setpriv(ACtx, nullptr);
  return SMFIS_CONTINUE;
}

bool RegisterMilter(TMilterContext &AContext) {
  Context = &AContext;
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
