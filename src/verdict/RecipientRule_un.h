// Whether a bounce is ours, decided at RCPT time from its envelope alone,
// before any of its data: the signed envelope sender (BATV) it comes back
// to, the one recipient a bounce has, and the site's lists of addresses
// that never lose a report or never take a bounce.
//
// As in Verdict_un.h, the gathering (parsing the recipient, checking its
// tag, looking it up in the lists) is apart from the decision, a pure
// function of the evidence.
#pragma once

#include "verdict/AddressList_un.h"
#include "verdict/BatvTag_un.h"
#include "verdict/Verdict_un.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// Which of the rules are on.
struct TRecipientRules {
  bool BatvVerify = false;
  // An untagged bounce to a signed domain is refused (except to exempt
  // addresses and from the site's own clients).
  bool BatvRequire = false;
  // A null sender's second recipient is refused for now (except from the
  // site's own clients).
  bool OneRecipient = false;
};

// What is known of one recipient when its RCPT comes.
struct TRecipientEvidence {
  bool BounceSender = false;  // the sender is empty, or holds MAILER-DAEMON@ or postmaster@
  bool NullSender = false;    // the sender is empty
  TBatvCheck Tag = bcAbsent;  // the recipient's tag; bcAbsent while verifying is off
  bool SignedDomain = false;  // the untagged recipient's domain is one that signing covers
  bool Exempt = false;        // listed in --batv-exempt
  bool NeverRefuse = false;   // listed in --never-refuse
  bool NoBounces = false;     // listed in --no-bounces-to
  std::size_t EarlierRecipients = 0;  // of this message, accepted before this one
  bool OwnClient = false;     // the message comes from one of --record-from's origins
};

enum TRecipientVerdict : std::uint8_t {
  rvUndecided,     // nothing decided here: the message is judged at its end, as without these rules
  rvGenuine,       // a genuine bounce: accepted, and its message is not judged by its content
  rvNeverRefused,  // accepted, and its message is never refused
  rvRefused,       // refused at RCPT (5xx)
  rvOneAtATime     // refused at RCPT for now (4xx), so that a real sender sends it alone
};

struct TRecipientDecision {
  TRecipientVerdict Verdict = rvUndecided;
  TDecidingRule Rule = drNone;
  TBatvCheck Tag = bcAbsent;  // rule batv: what the recipient's tag was
  std::string_view Note;      // what the rule saw ("valid tag", "expired tag", ...); empty otherwise
};

// In order: a --never-refuse recipient is accepted, whatever the rest; a
// sender that is no bounce's is left to the end of the message; then, for a
// bounce, a --no-bounces-to recipient is refused; an invalid or expired tag
// is refused; a second recipient of a null sender waits (--bounce-one-recipient);
// a valid tag is a genuine bounce; an untagged recipient of a signed domain
// is refused under --batv-require unless exempt. Whatever is left is judged
// at the end of the message, as before. The site's own clients are spared
// the rules that a missing tag or a second recipient would trip.
TRecipientDecision DecideRecipient(const TRecipientRules &ARules, const TRecipientEvidence &AEvidence);

// The recipient rules with what they consult. Read-only once made:
// thread-safe.
class TRecipientJudge {
public:
  struct TSetup {
    TRecipientRules Rules;
    bool Sign = false;
    TBatvKeys Keys;          // by key number: the current one, and the previous during a rotation
    unsigned KeyNumber = 0;  // the one new tags are made with
    unsigned LifetimeDays = 0;
    std::vector<std::string> Domains;  // lower case; empty: every domain
    TAddressList Exempt, NeverRefuse, NoBouncesTo;
  };
  explicit TRecipientJudge(TSetup ASetup) : FSetup(std::move(ASetup)) {}

  // The evidence about ARecipient (as RCPT TO gave it, without angle
  // brackets) of a message from ASender, and the decision on it.
  TRecipientDecision Judge(std::string_view ASender, std::string_view ARecipient, std::size_t AEarlierRecipients,
                           bool AOwnClient, std::int64_t AToday) const;

  // ASender tagged for a message that expires ALifetimeDays after AToday;
  // nothing when it is not to be signed: the null sender, a sender tagged
  // already, one outside the signed domains or listed as exempt.
  std::optional<std::string> SignedSender(std::string_view ASender, std::int64_t AToday) const;
  // Mail to AAddress is not signed (--batv-exempt).
  bool IsExempt(std::string_view AAddress) const { return FSetup.Exempt.Contains(AAddress); }

  const TRecipientRules &Rules() const noexcept { return FSetup.Rules; }
  bool Signs() const noexcept { return FSetup.Sign; }

private:
  bool IsSignedDomain(std::string_view AAddress) const;

  const TSetup FSetup;
};

} // namespace bw
