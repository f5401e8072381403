/* The floor of any milter for bench/load.sh: a libmilter filter that does
 * what bouncewarden-milter does around its check and nothing else. It asks
 * the MTA to skip the same steps, accepts a message whose envelope has a
 * sender at end of headers, and takes a null sender's body and discards the
 * message at its end (bouncewarden-milter --action=discard without the check).
 *
 * With "record", it also does what recording needs around the ledger: it
 * asks for the connect step (without a reply, as bouncewarden-milter
 * --record-from does) and keeps each message's Message-ID until its end of
 * headers, the floor of bouncewarden-milter --record-from without the ledger.
 *
 *   noop_milter unix:/path/to/socket [record]
 */
#include <libmilter/mfapi.h>

#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>

static int Record;

/* One connection's state. */
struct TConnection {
  int NullSender;
  char *MessageId;
};

static struct TConnection *Connection(SMFICTX *Ctx) {
  struct TConnection *State = smfi_getpriv(Ctx);
  if (!State) {
    State = calloc(1, sizeof *State);
    smfi_setpriv(Ctx, State);
  }
  return State;
}

static void ForgetMessage(struct TConnection *State) {
  if (!State)
    return;
  free(State->MessageId);
  State->MessageId = NULL;
  State->NullSender = 0;
}

static sfsistat Negotiate(SMFICTX *Ctx, unsigned long Actions, unsigned long Steps, unsigned long Unused0,
                          unsigned long Unused1, unsigned long *WantedActions, unsigned long *WantedSteps,
                          unsigned long *Reserved2, unsigned long *Reserved3) {
  unsigned long Skipped = SMFIP_NOCONNECT | SMFIP_NOHELO | SMFIP_NORCPT | SMFIP_NOUNKNOWN | SMFIP_NODATA |
                          SMFIP_HDR_LEADSPC | SMFIP_NR_HDR | SMFIP_SKIP;
  (void)Ctx, (void)Actions, (void)Unused0, (void)Unused1;
  if (Record)
    Skipped = (Skipped & ~SMFIP_NOCONNECT) | SMFIP_NR_CONN;
  *WantedActions = 0;
  *WantedSteps = Steps & Skipped;
  *Reserved2 = *Reserved3 = 0;
  return SMFIS_CONTINUE;
}

static sfsistat Connect(SMFICTX *Ctx, char *Host, _SOCK_ADDR *Address) {
  (void)Host, (void)Address;
  Connection(Ctx);
  return SMFIS_NOREPLY;
}

static sfsistat EnvFrom(SMFICTX *Ctx, char **Argv) {
  struct TConnection *State = Connection(Ctx);
  ForgetMessage(State);
  State->NullSender = Argv[0] && strcmp(Argv[0], "<>") == 0;
  return SMFIS_CONTINUE;
}

static sfsistat Header(SMFICTX *Ctx, char *Name, char *Value) {
  if (Record && strcasecmp(Name, "Message-ID") == 0) {
    struct TConnection *State = Connection(Ctx);
    if (!State->MessageId)
      State->MessageId = strdup(Value);
  }
  return SMFIS_NOREPLY;
}

static sfsistat EndOfHeaders(SMFICTX *Ctx) {
  struct TConnection *State = Connection(Ctx);
  if (State->NullSender)
    return SMFIS_CONTINUE;
  ForgetMessage(State);
  return SMFIS_ACCEPT;
}

static sfsistat Body(SMFICTX *Ctx, unsigned char *Chunk, size_t Size) {
  (void)Ctx, (void)Chunk, (void)Size;
  return SMFIS_CONTINUE;
}

static sfsistat EndOfMessage(SMFICTX *Ctx) {
  ForgetMessage(smfi_getpriv(Ctx));
  return SMFIS_DISCARD;
}

static sfsistat Abort(SMFICTX *Ctx) {
  ForgetMessage(smfi_getpriv(Ctx));
  return SMFIS_CONTINUE;
}

static sfsistat Close(SMFICTX *Ctx) {
  struct TConnection *State = smfi_getpriv(Ctx);
  ForgetMessage(State);
  free(State);
  smfi_setpriv(Ctx, NULL);
  return SMFIS_CONTINUE;
}

int main(int argc, char **argv) {
  struct smfiDesc Description = {"noop-milter", SMFI_VERSION, 0, Connect, NULL, EnvFrom, NULL, Header, EndOfHeaders,
                                 Body, EndOfMessage, Abort, Close, NULL, NULL, Negotiate};
  if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "record") != 0)) {
    fprintf(stderr, "usage: noop_milter unix:/path/to/socket [record]\n");
    return 64;
  }
  Record = argc == 3;
  umask(0); /* a bench's scratch socket: whoever reaches the folder may connect */
  if (smfi_setconn(argv[1]) != MI_SUCCESS || smfi_register(Description) != MI_SUCCESS ||
      smfi_opensocket(1) != MI_SUCCESS) {
    fprintf(stderr, "noop_milter: cannot listen on %s\n", argv[1]);
    return 71;
  }
  return smfi_main() == MI_SUCCESS ? 0 : 70;
}
