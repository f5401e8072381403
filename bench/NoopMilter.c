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
 * With "sign", it does that and what signing needs around the tag: it asks
 * for the right to change the sender, takes every ordinary message on to
 * its end (skipping the body) and sets a fixed tagged sender there, the
 * floor of bouncewarden-milter --record-from --batv-sign without the ledger
 * and the HMAC.
 *
 *   noop_milter unix:/path/to/socket [record|sign]
 */
#include <libmilter/mfapi.h>

#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>

static int Record;
static int Sign;

/* One connection's state. */
struct TConnection {
  int NullSender;
  char *MessageId;
  char *Sender;  /* sign: the tagged sender to set at end of message */
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
  free(State->Sender);
  State->Sender = NULL;
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
  *WantedActions = Sign ? SMFIF_CHGFROM : 0;
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
  if (Sign && !State->NullSender && Argv[0]) {
    const size_t Size = strlen(Argv[0]) + sizeof "<prvs=0000000000=";
    State->Sender = malloc(Size);
    if (State->Sender)
      snprintf(State->Sender, Size, "<prvs=0000000000=%s", Argv[0] + (Argv[0][0] == '<'));
  }
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
  if (State->NullSender || State->Sender)
    return SMFIS_CONTINUE;
  ForgetMessage(State);
  return SMFIS_ACCEPT;
}

static sfsistat Body(SMFICTX *Ctx, unsigned char *Chunk, size_t Size) {
  struct TConnection *State = Connection(Ctx);
  (void)Chunk, (void)Size;
  return State->Sender ? SMFIS_SKIP : SMFIS_CONTINUE;
}

static sfsistat EndOfMessage(SMFICTX *Ctx) {
  struct TConnection *State = Connection(Ctx);
  if (State->Sender) {
    /* The sender arrived with its closing bracket: the tagged form keeps it. */
    smfi_chgfrom(Ctx, State->Sender, NULL);
    ForgetMessage(State);
    return SMFIS_ACCEPT;
  }
  ForgetMessage(State);
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
  if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "record") != 0 && strcmp(argv[2], "sign") != 0)) {
    fprintf(stderr, "usage: noop_milter unix:/path/to/socket [record|sign]\n");
    return 64;
  }
  Record = argc == 3;
  Sign = argc == 3 && strcmp(argv[2], "sign") == 0;
  Description.xxfi_flags = Sign ? SMFIF_CHGFROM : 0;
  umask(0); /* a bench's scratch socket: whoever reaches the folder may connect */
  if (smfi_setconn(argv[1]) != MI_SUCCESS || smfi_register(Description) != MI_SUCCESS ||
      smfi_opensocket(1) != MI_SUCCESS) {
    fprintf(stderr, "noop_milter: cannot listen on %s\n", argv[1]);
    return 71;
  }
  return smfi_main() == MI_SUCCESS ? 0 : 70;
}
