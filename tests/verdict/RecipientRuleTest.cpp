// The decision over one recipient at RCPT time, rule by rule, from evidence
// alone; and the judge that gathers that evidence and signs senders.
#include "verdict/RecipientRule_un.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace bw;

TRecipientEvidence Bounce(TBatvCheck ATag) {
  TRecipientEvidence Evidence;
  Evidence.BounceSender = Evidence.NullSender = true;
  Evidence.Tag = ATag;
  Evidence.SignedDomain = true;
  return Evidence;
}

template <class TChange> TRecipientEvidence With(TRecipientEvidence AEvidence, TChange AChange) {
  AChange(AEvidence);
  return AEvidence;
}

// Show each rule and its order: which verdict, by which rule, with which note.
TEST(RecipientRuleTest, EachRuleDecidesFromItsEvidence) {
  const TRecipientRules Verify{true, false, false}, Require{true, true, false}, OneRecipient{false, false, true},
      All{true, true, true}, None{};
  const auto Second = [](TRecipientEvidence &E) { E.EarlierRecipients = 1; };
  const auto Ours = [](TRecipientEvidence &E) { E.OwnClient = true; };
  struct TCase {
    const char *Name;
    TRecipientRules Rules;
    TRecipientEvidence Evidence;
    TRecipientVerdict Verdict;
    TDecidingRule Rule;
    std::string Note;
  };
  const TCase Cases[] = {
      {"NothingOn", None, Bounce(bcAbsent), rvUndecided, drNone, ""},
      {"ValidTag", Verify, Bounce(bcValid), rvGenuine, drBatv, "valid tag"},
      {"InvalidTag", Verify, Bounce(bcInvalid), rvRefused, drBatv, "invalid tag"},
      {"ExpiredTag", Verify, Bounce(bcExpired), rvRefused, drBatv, "expired tag"},
      {"InvalidTagUnverified", None, Bounce(bcInvalid), rvUndecided, drNone, ""},
      {"UntaggedJudgedAsBefore", Verify, Bounce(bcAbsent), rvUndecided, drNone, ""},
      {"UntaggedRequired", Require, Bounce(bcAbsent), rvRefused, drBatv, "no tag"},
      {"UntaggedRequiredExempt", Require, With(Bounce(bcAbsent), [](auto &E) { E.Exempt = true; }), rvUndecided,
       drNone, ""},
      {"UntaggedRequiredUnsignedDomain", Require, With(Bounce(bcAbsent), [](auto &E) { E.SignedDomain = false; }),
       rvUndecided, drNone, ""},
      {"UntaggedRequiredOwnClient", Require, With(Bounce(bcAbsent), Ours), rvUndecided, drNone, ""},
      {"InvalidTagOwnClient", Verify, With(Bounce(bcInvalid), Ours), rvRefused, drBatv, "invalid tag"},
      {"OrdinarySenderUntagged", Require, With(Bounce(bcAbsent), [](auto &E) { E.BounceSender = E.NullSender = false; }),
       rvUndecided, drNone, ""},
      {"MailerDaemonSenderRequired", Require, With(Bounce(bcAbsent), [](auto &E) { E.NullSender = false; }),
       rvRefused, drBatv, "no tag"},
      {"FirstRecipient", OneRecipient, Bounce(bcAbsent), rvUndecided, drNone, ""},
      {"SecondRecipient", OneRecipient, With(Bounce(bcAbsent), Second), rvOneAtATime, drOneRecipient, ""},
      {"SecondRecipientOwnClient", OneRecipient, With(With(Bounce(bcAbsent), Second), Ours), rvUndecided, drNone,
       ""},
      {"SecondRecipientMailerDaemon", OneRecipient,
       With(With(Bounce(bcAbsent), Second), [](auto &E) { E.NullSender = false; }), rvUndecided, drNone, ""},
      {"SecondRecipientValidTag", All, With(Bounce(bcValid), Second), rvOneAtATime, drOneRecipient, ""},
      {"SecondRecipientInvalidTag", All, With(Bounce(bcInvalid), Second), rvRefused, drBatv, "invalid tag"},
      {"NoBouncesTo", None, With(Bounce(bcValid), [](auto &E) { E.NoBounces = true; }), rvRefused, drNoBouncesTo,
       ""},
      {"NoBouncesToOrdinarySender",
       None, With(Bounce(bcAbsent), [](auto &E) { E.NoBounces = true, E.BounceSender = E.NullSender = false; }),
       rvUndecided, drNone, ""},
      {"NeverRefuseWinsOverAll", All,
       With(With(Bounce(bcInvalid), Second), [](auto &E) { E.NeverRefuse = E.NoBounces = true; }), rvNeverRefused,
       drNeverRefuse, ""},
      {"NeverRefuseOrdinarySender", None,
       With(Bounce(bcAbsent), [](auto &E) { E.NeverRefuse = true, E.BounceSender = E.NullSender = false; }),
       rvNeverRefused, drNeverRefuse, ""},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const TRecipientDecision Decision = DecideRecipient(Case.Rules, Case.Evidence);
    EXPECT_EQ(Decision.Verdict, Case.Verdict);
    EXPECT_EQ(Decision.Rule, Case.Rule);
    EXPECT_EQ(Decision.Note, Case.Note);
  }
}

TRecipientJudge::TSetup SigningSetup() {
  TRecipientJudge::TSetup Setup;
  Setup.Rules = {true, true, false};
  Setup.Sign = true;
  Setup.Keys[2] = TBatvKey("0123456789abcdef0123456789abcdef");
  Setup.KeyNumber = 2;
  Setup.LifetimeDays = 7;
  Setup.Domains = {"example.com"};
  Setup.Exempt = TAddressList::FromText("@lists.example.org\nrelay@example.com\n", "exempt");
  Setup.NeverRefuse = TAddressList::FromText("postmaster@\n", "never");
  return Setup;
}

// Show what the judge signs, and that what it signs comes back genuine to
// the judge, with the lists read from the untagged address.
TEST(RecipientRuleTest, TheJudgeSignsWhatItLaterTakesForGenuine) {
  const TRecipientJudge Judge(SigningSetup());
  const std::int64_t Today = 20428;
  const std::optional<std::string> Signed = Judge.SignedSender("alice@Example.COM", Today);
  ASSERT_TRUE(Signed);
  EXPECT_EQ(Signed->substr(0, 9), "prvs=2435");  // key 2, day 20435
  EXPECT_EQ(UntaggedAddress(*Signed), "alice@Example.COM");
  for (const char *Unsigned : {"", "relay@example.com", "bob@example.org", "nodomain", Signed->c_str()})
    EXPECT_FALSE(Judge.SignedSender(Unsigned, Today)) << Unsigned;
  EXPECT_TRUE(Judge.IsExempt("list@LISTS.example.org"));

  EXPECT_EQ(Judge.Judge("", *Signed, 0, false, Today + 7).Verdict, rvGenuine);
  EXPECT_EQ(Judge.Judge("", *Signed, 0, false, Today + 8).Note, "expired tag");
  EXPECT_EQ(Judge.Judge("", "alice@example.com", 0, false, Today).Note, "no tag");
  EXPECT_EQ(Judge.Judge("", "alice@example.org", 0, false, Today).Verdict, rvUndecided);  // not a signed domain
  EXPECT_EQ(Judge.Judge("", "relay@example.com", 0, false, Today).Verdict, rvUndecided);  // exempt
  // A report to postmaster, however it is addressed.
  EXPECT_EQ(Judge.Judge("", "prvs=0000000000=postmaster@example.com", 0, false, Today).Verdict, rvNeverRefused);
}

} // namespace
