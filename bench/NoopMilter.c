/* The floor of any milter for bench/load.sh: a libmilter filter that does
 * what bouncewarden-milter does around its check and nothing else. It asks
 * the MTA to skip the same steps, accepts a message whose envelope has a
 * sender at end of headers, and takes a null sender's body and discards the
 * message at its end (bouncewarden-milter --action=discard without the check).
 *
 *   noop_milter unix:/path/to/socket
 */
#include <libmilter/mfapi.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

/* The connection's private pointer: NULL, or NULL_SENDER for a message from <>. */
#define NULL_SENDER ((void *)(uintptr_t)1)

static sfsistat Negotiate(SMFICTX *Ctx, unsigned long Actions, unsigned long Steps, unsigned long Unused0,
                          unsigned long Unused1, unsigned long *WantedActions, unsigned long *WantedSteps,
                          unsigned long *Reserved2, unsigned long *Reserved3) {
  (void)Ctx, (void)Actions, (void)Unused0, (void)Unused1;
  *WantedActions = 0;
  *WantedSteps = Steps & (SMFIP_NOCONNECT | SMFIP_NOHELO | SMFIP_NORCPT | SMFIP_NOUNKNOWN | SMFIP_NODATA |
                          SMFIP_HDR_LEADSPC | SMFIP_NR_HDR | SMFIP_SKIP);
  *Reserved2 = *Reserved3 = 0;
  return SMFIS_CONTINUE;
}

static sfsistat EnvFrom(SMFICTX *Ctx, char **Argv) {
  smfi_setpriv(Ctx, Argv[0] && strcmp(Argv[0], "<>") == 0 ? NULL_SENDER : NULL);
  return SMFIS_CONTINUE;
}

static sfsistat Header(SMFICTX *Ctx, char *Name, char *Value) {
  (void)Ctx, (void)Name, (void)Value;
  return SMFIS_NOREPLY;
}

static sfsistat EndOfHeaders(SMFICTX *Ctx) { return smfi_getpriv(Ctx) ? SMFIS_CONTINUE : SMFIS_ACCEPT; }

static sfsistat Body(SMFICTX *Ctx, unsigned char *Chunk, size_t Size) {
  (void)Ctx, (void)Chunk, (void)Size;
  return SMFIS_CONTINUE;
}

static sfsistat EndOfMessage(SMFICTX *Ctx) {
  smfi_setpriv(Ctx, NULL);
  return SMFIS_DISCARD;
}

static sfsistat Forget(SMFICTX *Ctx) {
  smfi_setpriv(Ctx, NULL);
  return SMFIS_CONTINUE;
}

int main(int argc, char **argv) {
  struct smfiDesc Description = {"noop-milter", SMFI_VERSION, 0, NULL, NULL, EnvFrom, NULL, Header, EndOfHeaders,
                                 Body, EndOfMessage, Forget, Forget, NULL, NULL, Negotiate};
  if (argc != 2) {
    fprintf(stderr, "usage: noop_milter unix:/path/to/socket\n");
    return 64;
  }
  umask(0); /* a bench's scratch socket: whoever reaches the folder may connect */
  if (smfi_setconn(argv[1]) != MI_SUCCESS || smfi_register(Description) != MI_SUCCESS ||
      smfi_opensocket(1) != MI_SUCCESS) {
    fprintf(stderr, "noop_milter: cannot listen on %s\n", argv[1]);
    return 71;
  }
  return smfi_main() == MI_SUCCESS ? 0 : 70;
}
