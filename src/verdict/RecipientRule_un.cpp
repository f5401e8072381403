// The decision over one recipient at RCPT time, and its evidence.
#include "verdict/RecipientRule_un.h"

#include "detector/DsnRule_un.h"

#include <algorithm>

namespace bw {

TRecipientDecision DecideRecipient(const TRecipientRules &ARules, const TRecipientEvidence &AEvidence) {
  // Reports to postmaster, abuse or a DMARC address come from ordinary
  // senders too: this goes before the sender is even looked at.
  if (AEvidence.NeverRefuse)
    return {rvNeverRefused, drNeverRefuse, bcAbsent, ""};
  if (!AEvidence.BounceSender)
    return {};
  if (AEvidence.NoBounces)
    return {rvRefused, drNoBouncesTo, bcAbsent, ""};
  if (ARules.BatvVerify && AEvidence.Tag == bcInvalid)
    return {rvRefused, drBatv, bcInvalid, "invalid tag"};
  if (ARules.BatvVerify && AEvidence.Tag == bcExpired)
    return {rvRefused, drBatv, bcExpired, "expired tag"};
  // A delivery report goes to one return path; distribution lists of the
  // site's own groupware send with a null sender to many.
  if (ARules.OneRecipient && AEvidence.NullSender && AEvidence.EarlierRecipients > 0 && !AEvidence.OwnClient)
    return {rvOneAtATime, drOneRecipient, AEvidence.Tag, ""};
  if (ARules.BatvVerify && AEvidence.Tag == bcValid)
    return {rvGenuine, drBatv, bcValid, "valid tag"};
  if (ARules.BatvRequire && AEvidence.Tag == bcAbsent && AEvidence.SignedDomain && !AEvidence.Exempt &&
      !AEvidence.OwnClient)
    return {rvRefused, drBatv, bcAbsent, "no tag"};
  return {};
}

bool TRecipientJudge::IsSignedDomain(std::string_view AAddress) const {
  if (FSetup.Domains.empty())
    return true;
  const std::string Domain = DomainOf(AAddress);
  return std::find(FSetup.Domains.begin(), FSetup.Domains.end(), Domain) != FSetup.Domains.end();
}

TRecipientDecision TRecipientJudge::Judge(std::string_view ASender, std::string_view ARecipient,
                                          std::size_t AEarlierRecipients, bool AOwnClient, std::int64_t AToday) const {
  TRecipientEvidence Evidence;
  Evidence.NullSender = ASender.empty();
  Evidence.BounceSender = CountsAsDSN("", ASender);
  const std::string_view Untagged = UntaggedAddress(ARecipient);
  // The lists name addresses as they are delivered to: without the tag.
  Evidence.NeverRefuse = FSetup.NeverRefuse.Contains(Untagged);
  Evidence.NoBounces = FSetup.NoBouncesTo.Contains(Untagged);
  Evidence.Exempt = FSetup.Exempt.Contains(Untagged);
  Evidence.SignedDomain = IsSignedDomain(Untagged);
  if (FSetup.Rules.BatvVerify && Evidence.BounceSender)
    Evidence.Tag = BatvVerify(FSetup.Keys, AToday, FSetup.LifetimeDays, ARecipient);
  Evidence.EarlierRecipients = AEarlierRecipients;
  Evidence.OwnClient = AOwnClient;
  return DecideRecipient(FSetup.Rules, Evidence);
}

std::optional<std::string> TRecipientJudge::SignedSender(std::string_view ASender, std::int64_t AToday) const {
  const std::optional<TBatvKey> &Key = FSetup.Keys[FSetup.KeyNumber];
  if (!FSetup.Sign || !Key || ASender.empty() || ParseBatvAddress(ASender) || DomainOf(ASender).empty() ||
      !IsSignedDomain(ASender) || FSetup.Exempt.Contains(ASender))
    return std::nullopt;
  return BatvSign(*Key, FSetup.KeyNumber, AToday + FSetup.LifetimeDays, ASender);
}

} // namespace bw
