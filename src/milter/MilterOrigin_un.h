// Whose mail a message is: the --record-from list and the match of a
// connection's client and a message's authentication against it.
//
// A message of ours has its Message-ID recorded in the ledger, so that its
// bounce is later known to be genuine. Nothing here knows libmilter: the shim
// hands the connect step's address over as a TClientAddress.
#pragma once

#include "rtl/Result_un.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// A client's address as the MTA's connect step gave it.
struct TClientAddress {
  enum TKind : std::uint8_t { caNone, caInet4, caInet6, caUnix };
  TKind Kind = caNone;  // caNone: the MTA gave no address (family "unknown")
  std::array<std::uint8_t, 16> Bytes{};  // caInet4: the first 4
  std::uint16_t Port = 0;
};

// An IPv4 or IPv6 network, as "10.0.0.0/8" or "2001:db8::/32" (a bare
// address is one host).
struct TNetwork {
  bool IsInet6 = false;
  std::array<std::uint8_t, 16> Bytes{};
  unsigned PrefixLength = 0;
  std::string Text;  // as the administrator wrote it, for the log
};

struct TRecordOrigins {
  bool Auth = false;   // the client authenticated (the macro {auth_authen} is set)
  bool Local = false;  // submitted on this host, not over the network (see MatchOrigin)
  std::vector<TNetwork> Networks;  // the client's address is in one of them

  bool Empty() const noexcept { return !Auth && !Local && Networks.empty(); }
  // Whether the connect step (the client's address) is needed.
  bool NeedsClient() const noexcept { return Local || !Networks.empty(); }
};

// Parses "auth,local,10.0.0.0/8,2001:db8::/32" (any of them, in any order;
// blanks around an item ignored). A network with bits set beyond its prefix
// is refused, since it most likely says something other than what was meant.
TResult<TRecordOrigins> ParseRecordOrigins(std::string_view AList);

enum TOriginKind : std::uint8_t { okNone, okAuth, okLocal, okNetwork };

struct TOriginMatch {
  TOriginKind Kind = okNone;
  std::string Text;  // "auth", "local" or the matching network, for the log
};

// The first of auth, local and the networks that the message has; AClient
// is empty when no connect step came, and then only auth can match. Local
// is what Postfix reports for mail that no network client sent: its cleanup
// daemon passes mail from sendmail(1) and pickup as "localhost" 127.0.0.1
// with port 0, and so does smtpd for "sendmail -bs"; an MTA that gives no
// address at all, or a unix socket, counts as local too. An IPv4-mapped IPv6
// address matches as the IPv4 address it carries.
TOriginMatch MatchOrigin(const TRecordOrigins &AOrigins, const std::optional<TClientAddress> &AClient,
                         bool AAuthenticated);

} // namespace bw
