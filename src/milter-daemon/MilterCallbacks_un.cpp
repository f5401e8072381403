// libmilter's callbacks: each fetches the connection's session, forwards,
// and turns the answer into libmilter's; no exception crosses into C.
#include "milter-daemon/MilterCallbacks_un.h"

#include "milter-daemon/MilterConnections_un.h"
#include "milter/MilterSession_un.h"
#include "rtl/SysUtils_un.h"

#include <libmilter/mfapi.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
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
  bool ChangeSender(const std::string &AAddress) override {
    std::string Address = AAddress;
    return smfi_chgfrom(FCtx, Address.data(), nullptr) == MI_SUCCESS;
  }

private:
  SMFICTX *FCtx;
};

// Counts the callback as running for the orderly stop, which waits until
// every answer has gone out, and tells the watch over silent peers that
// the connection was heard from (and is busy until the callback returns).
class TCallbackScope {
public:
  explicit TCallbackScope(SMFICTX *ACtx) noexcept : FCtx(ACtx), FSocket(ConnectionSocket(ACtx)) {
    Context->EnterCallback();
    Context->Connections().Enter(FSocket, std::chrono::steady_clock::now());
  }
  ~TCallbackScope() {
    if (FClosing) {
      Context->Connections().Closed(FSocket);
    } else {
      const auto *Session = static_cast<const TMilterSession *>(smfi_getpriv(FCtx));
      Context->Connections().Leave(FSocket, Session ? Session->Phase() : cpNotNegotiated,
                                   std::chrono::steady_clock::now());
    }
    Context->LeaveCallback();
  }
  TCallbackScope(const TCallbackScope &) = delete;
  TCallbackScope &operator=(const TCallbackScope &) = delete;
  // The close callback: libmilter closes the socket as it returns.
  void Closing() noexcept { FClosing = true; }

private:
  SMFICTX *FCtx;
  int FSocket;
  bool FClosing = false;
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
  return Context->Settings()->Options.OnError == epTempfail ? SMFIS_TEMPFAIL : SMFIS_ACCEPT;
}

template <class TCall> static sfsistat Forward(SMFICTX *ACtx, TCall &&ACall) noexcept {
  const TCallbackScope Scope(ACtx);
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

// What the MTA must allow, or the milter cannot do its work under AOptions.
static unsigned long ActionFlags(const TMilterOptions &AOptions) {
  unsigned long Flags = SMFIF_NONE;
  switch (AOptions.Action) {
  case maTag:
    Flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS;
    break;
  case maQuarantine:
    Flags = SMFIF_QUARANTINE;
    break;
  default:
    break;
  }
  if (AOptions.AddMessageId)
    Flags |= SMFIF_ADDHDRS;
  if (AOptions.Batv.Sign)
    Flags |= SMFIF_CHGFROM;
  return Flags;
}

// What a reload may come to need of a connection opened before it: asked
// for where the MTA offers it, required only when the settings need it.
// The RCPT step is not among them: it costs a round trip per recipient, so a
// connection asks for it only when its settings have recipient rules, and
// one opened before a reload that adds them goes on without.
static constexpr unsigned long ReloadableActions = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE | SMFIF_CHGFROM;

// Recording "auth" needs the client's login at MAIL FROM. An MTA sends
// {auth_authen} there by default (Postfix's milter_mail_macros, Sendmail's
// Milter.macros.envfrom); asking for it keeps a trimmed list from losing it.
// The list replaces the MTA's for that step, and the milter reads nothing
// else there.
static bool WantsMacroList(const TMilterOptions &AOptions) { return AOptions.RecordFrom.Auth; }
static char AuthMacroList[] = "{auth_authen}";

static sfsistat OnNegotiate(SMFICTX *ACtx, unsigned long AActions, unsigned long ASteps, unsigned long,
                            unsigned long, unsigned long *AWantedActions, unsigned long *AWantedSteps,
                            unsigned long *AReserved2, unsigned long *AReserved3) {
  const TCallbackScope Scope(ACtx);
  std::unique_ptr<TMilterSession> Previous(static_cast<TMilterSession *>(smfi_getpriv(ACtx)));
  smfi_setpriv(ACtx, nullptr);
  Previous.reset();
  // A connection is negotiated under the settings current when it opens.
  const TMilterSettingsPtr Settings = Context->Settings();
  const TMilterOptions &Options = Settings->Options;
  const unsigned long Actions = ActionFlags(Options);
  if ((AActions & Actions) != Actions) {
    // Rejecting negotiation closes the connection; the MTA then treats the
    // milter as unavailable.
    std::string Needs = "--action=" + std::string(ActionName(Options.Action));
    if (Options.AddMessageId)
      Needs += " and --add-message-id";
    if (Options.Batv.Sign)
      Needs += " and --batv-sign";
    Context->Log().Daemon("the MTA does not offer adding or changing headers, the quarantine, or changing the "
                          "sender, as " + Needs + (Needs.find(" and ") == std::string::npos ? " needs" : " need") +
                          ": connection closed, the MTA's default action for an unavailable milter "
                          "(Postfix: milter_default_action) applies to its mail");
    return SMFIS_REJECT;
  }
  // Skip every step without a callback, keep header values as received,
  // send headers without a reply each, skip unwanted body chunks. Recording
  // by the client's address needs the connect step, which then goes
  // without a reply too.
  unsigned long Steps = SMFIP_NOCONNECT | SMFIP_NOHELO | SMFIP_NORCPT | SMFIP_NOUNKNOWN | SMFIP_NODATA |
                        SMFIP_HDR_LEADSPC | SMFIP_NR_HDR | SMFIP_SKIP;
  if (Options.RecordFrom.NeedsClient())
    Steps = (Steps & ~SMFIP_NOCONNECT) | SMFIP_NR_CONN;
  if (Options.Batv.UsesRecipients())
    Steps &= ~SMFIP_NORCPT;
  *AWantedActions = Actions | (AActions & ReloadableActions);
  *AWantedSteps = ASteps & Steps;
  *AReserved2 = 0;
  *AReserved3 = 0;
  if (WantsMacroList(Options) && (AActions & SMFIF_SETSYMLIST) != 0 &&
      smfi_setsymlist(ACtx, SMFIM_ENVFROM, AuthMacroList) == MI_SUCCESS)
    *AWantedActions |= SMFIF_SETSYMLIST;
  TNegotiated Negotiated;
  Negotiated.Form = (*AWantedSteps & SMFIP_HDR_LEADSPC) ? hvAsReceived : hvLeadingSpaceStripped;
  Negotiated.HeaderReplies = (*AWantedSteps & SMFIP_NR_HDR) == 0;
  Negotiated.CanSkipBody = (*AWantedSteps & SMFIP_SKIP) != 0;
  Negotiated.ConnectReplies = (*AWantedSteps & SMFIP_NR_CONN) == 0;
  try {
    smfi_setpriv(ACtx, std::make_unique<TMilterSession>(*Context, Negotiated).release());
  } catch (const std::bad_alloc &) {
    Context->Log().Daemon("out of memory for a new connection: closed, the MTA's default action applies");
    return SMFIS_REJECT;
  }
  return SMFIS_CONTINUE;
}

// The client's address as libmilter hands it over: none when the MTA sent
// family "unknown" (a null pointer).
static TClientAddress ClientAddressOf(const sockaddr *AAddress) {
  TClientAddress Client;
  if (!AAddress)
    return Client;
  switch (AAddress->sa_family) {
  case AF_INET: {
    sockaddr_in Inet{};
    std::memcpy(&Inet, AAddress, sizeof Inet);
    Client.Kind = TClientAddress::caInet4;
    std::memcpy(Client.Bytes.data(), &Inet.sin_addr, 4);
    Client.Port = ntohs(Inet.sin_port);
    break;
  }
  case AF_INET6: {
    sockaddr_in6 Inet6{};
    std::memcpy(&Inet6, AAddress, sizeof Inet6);
    Client.Kind = TClientAddress::caInet6;
    std::memcpy(Client.Bytes.data(), &Inet6.sin6_addr, 16);
    Client.Port = ntohs(Inet6.sin6_port);
    break;
  }
  case AF_UNIX:
    Client.Kind = TClientAddress::caUnix;
    break;
  default:
    break;
  }
  return Client;
}

static sfsistat OnConnect(SMFICTX *ACtx, char *, _SOCK_ADDR *AAddress) {
  return Forward(ACtx, [&](TMilterSession &S, TMilterReply &) { return S.OnConnect(ClientAddressOf(AAddress)); });
}

static sfsistat OnEnvFrom(SMFICTX *ACtx, char **AArgv) {
  return Forward(ACtx, [&](TMilterSession &S, TMilterReply &R) {
    return S.OnEnvFrom(R, AArgv && AArgv[0] ? AArgv[0] : "");
  });
}

static sfsistat OnEnvRcpt(SMFICTX *ACtx, char **AArgv) {
  return Forward(ACtx, [&](TMilterSession &S, TMilterReply &R) {
    return S.OnEnvRcpt(R, AArgv && AArgv[0] ? AArgv[0] : "");
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
  // dropped connection too (and without a negotiation): the session, and
  // any transaction it still had, end here.
  TCallbackScope Scope(ACtx);
  Scope.Closing();
  std::unique_ptr<TMilterSession> Owned(static_cast<TMilterSession *>(smfi_getpriv(ACtx)));
  smfi_setpriv(ACtx, nullptr);
  return SMFIS_CONTINUE;
}

bool RegisterMilter(TMilterContext &AContext) {
  Context = &AContext;
  smfiDesc Description{};
  Description.xxfi_name = const_cast<char *>("bouncewarden-milter");
  Description.xxfi_version = SMFI_VERSION;
  const TMilterOptions &Options = AContext.Settings()->Options;
  Description.xxfi_flags = ActionFlags(Options) | (WantsMacroList(Options) ? SMFIF_SETSYMLIST : 0);
  // Negotiation asks for the connect step only when a setting needs the
  // client (a reload may come to).
  Description.xxfi_connect = OnConnect;
  Description.xxfi_envfrom = OnEnvFrom;
  // Negotiation asks for RCPT only when the connection's settings have
  // recipient rules.
  Description.xxfi_envrcpt = OnEnvRcpt;
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
