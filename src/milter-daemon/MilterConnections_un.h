// The sockets behind libmilter's back: its listening socket, which the
// orderly stop closes itself, and each connection's, which the watch over
// silent peers shuts down. libmilter hands out neither.
#pragma once

#include "milter/MilterWatch_un.h"

#include <libmilter/mfapi.h>

#include <string>
#include <vector>

namespace bw {

// Finds the socket smfi_opensocket made (the process's one listening
// socket at that point) and remembers it. False when there is none.
bool FindListener();

// Replaces the listening socket with one nobody can reach, so that no new
// connection is accepted while libmilter's listener, which would stop
// every session about a second after smfi_stop, runs on. The socket file
// of a unix socket goes too. True when done.
bool CloseListener();

// The descriptor of the connection of ACtx, or -1 while it cannot be told:
// libmilter keeps it right after the thread's ID at the start of its
// context (struct smfi_str: ctx_id, ctx_sd), in every version to date; the
// first connection checks that it is a socket of the listener's, and if it
// is not, no connection's is ever read (ConnectionsKnown turns false).
int ConnectionSocket(SMFICTX *ACtx);
bool ConnectionsKnown();
// True once the first connection showed that its socket cannot be told.
bool ConnectionsUntellable();

// The connections' sockets open now: every socket of the process accepted
// from the listener.
std::vector<TConnectionWatch::TSocket> ConnectionSockets();

// Shuts ASocket down when it is still that connection's (its inode).
bool ShutDownConnection(const TConnectionWatch::TSocket &ASocket);

} // namespace bw
