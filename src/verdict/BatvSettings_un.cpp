// The BATV and recipient rule option tables and the judge their settings open.
#include "verdict/BatvSettings_un.h"

#include "rtl/Format_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <cstdlib>

namespace bw {

static constexpr TOptionInfo BatvKeyOptions[] = {
    {"batv-key-file", "FILE", dkValue, DefaultBatvKeyFile,
     "the site's key for signed envelope senders (BATV), in the ledger key's format; every host that signs or "
     "verifies for one domain shares it",
     biBatvKeyFile},
    {"batv-key-number", "N", dkValue, "0", "the key number (0 to 9) that new tags carry", biBatvKeyNumber},
    {"batv-previous-key-file", "FILE", dkNone, nullptr,
     "during a key rotation, the key before --batv-key-file, which verifies the tags of the key number before "
     "--batv-key-number (9 before 0) until they expire",
     biBatvPreviousKeyFile},
    {"batv-lifetime", "DAYS", dkValue, "7",
     "how many days a tag stays valid (1 to 365; keep it alike in the milter and bouncewarden-ledger)",
     biBatvLifetime},
};

static constexpr TOptionInfo RecipientOptions[] = {
    {"batv-sign", nullptr, dkNone, nullptr,
     "sign the envelope sender of the mail of --record-from's origins (prvs=KDDDSSSSSS=local@domain): the "
     "null sender, a tagged sender, a sender outside --batv-domains and mail to a --batv-exempt recipient stay "
     "as they are",
     biBatvSign},
    {"batv-verify", nullptr, dkNone, nullptr,
     "at RCPT, a bounce (null, MAILER-DAEMON@ or postmaster@ sender) to a recipient with a valid tag is "
     "accepted without its content being judged; an invalid or expired tag is refused with 550 5.7.1",
     biBatvVerify},
    {"batv-require", nullptr, dkNone, nullptr,
     "with --batv-verify: an untagged bounce to a signed domain is refused at RCPT, except to a --batv-exempt "
     "address or from --record-from's origins (turn it on once signing has run for a whole lifetime)",
     biBatvRequire},
    {"batv-domains", "LIST", dkNone, nullptr,
     "the domains whose senders are signed and whose recipients --batv-require asks a tag of, comma-separated "
     "(default: every domain)",
     biBatvDomains},
    {"batv-exempt", "FILE", dkNone, nullptr,
     "addresses (one a line: local@domain, @domain, local@) whose mail is not signed and which --batv-require "
     "spares: mailing lists that know their subscribers by envelope sender",
     biBatvExempt},
    {"bounce-one-recipient", nullptr, dkNone, nullptr,
     "refuse a null sender's second recipient at RCPT with 452 4.5.3, so that a real sender retries it alone "
     "(not for --record-from's origins)",
     biBounceOneRecipient},
    {"never-refuse", "FILE", dkNone, nullptr,
     "recipients (as --batv-exempt) whose mail is never refused, whatever it looks like: postmaster, abuse, "
     "the DMARC report address",
     biNeverRefuse},
    {"no-bounces-to", "FILE", dkNone, nullptr,
     "recipients (as --batv-exempt) that send only and take no bounce: a bounce to them is refused at RCPT",
     biNoBouncesTo},
};

std::span<const TOptionInfo> BatvKeyOptionTable() { return BatvKeyOptions; }
std::span<const TOptionInfo> RecipientOptionTable() { return RecipientOptions; }

static TResult<void> Accepted(bool AValid) { return AValid ? TResult<void>() : Failure(""); }

static constexpr const char *NoDomainError = "\"%s\" is no domain";

static TResult<void> ParseDomains(std::string_view AList, std::vector<std::string> &ADomains) {
  ADomains.clear();
  std::size_t Start = 0;
  for (;;) {
    const std::size_t Comma = AList.find(',', Start);
    const std::string Domain =
        AsciiLowerCase(TrimBytes(AList.substr(Start, Comma == std::string_view::npos ? AList.npos : Comma - Start)));
    if (Domain.empty() || Domain.find_first_of("@ \t*") != std::string::npos)
      return Failure(FormatMessage(NoDomainError, {OneLineText(Domain)}));
    ADomains.push_back(Domain);
    if (Comma == std::string_view::npos)
      return {};
    Start = Comma + 1;
  }
}

TResult<void> ApplyBatvOption(int AId, std::string_view AValue, TOptionSource, TBatvSettings &ASettings) {
  switch (AId) {
  case biBatvKeyFile:
    ASettings.KeyFile = AValue;
    return Accepted(!AValue.empty());
  case biBatvKeyNumber: {
    const std::optional<unsigned> Number = ParseDecimal<unsigned>(AValue, 0, 9);
    ASettings.KeyNumber = Number.value_or(ASettings.KeyNumber);
    return Accepted(Number.has_value());
  }
  case biBatvPreviousKeyFile:
    ASettings.PreviousKeyFile = AValue;
    return Accepted(!AValue.empty());
  case biBatvLifetime: {
    // Well below the day's wrap at 1000, so that a tag long expired never
    // reads as one still ahead.
    const std::optional<unsigned> Days = ParseDecimal<unsigned>(AValue, 1, 365);
    ASettings.LifetimeDays = Days.value_or(ASettings.LifetimeDays);
    return Accepted(Days.has_value());
  }
  case biBatvSign:
    ASettings.Sign = true;
    return {};
  case biBatvVerify:
    ASettings.Verify = true;
    return {};
  case biBatvRequire:
    ASettings.Require = true;
    return {};
  case biBatvDomains:
    return ParseDomains(AValue, ASettings.Domains);
  case biBatvExempt:
    ASettings.ExemptFile = AValue;
    return Accepted(!AValue.empty());
  case biBounceOneRecipient:
    ASettings.OneRecipient = true;
    return {};
  case biNeverRefuse:
    ASettings.NeverRefuseFile = AValue;
    return Accepted(!AValue.empty());
  case biNoBouncesTo:
    ASettings.NoBouncesToFile = AValue;
    return Accepted(!AValue.empty());
  default:
    break;
  }
  return Failure("");
}

TBatvSettings DefaultBatvSettings() {
  TBatvSettings Settings;
  const TApplyOption Apply = [&Settings](const TOptionInfo &AInfo, std::string_view AValue, TOptionSource ASource) {
    return ApplyBatvOption(AInfo.Id, AValue, ASource, Settings);
  };
  ApplyDefaults(BatvKeyOptions, Apply);
  ApplyDefaults(RecipientOptions, Apply);
  return Settings;
}

TBatvKeys OpenBatvKeys(const TBatvSettings &ASettings) {
  TBatvKeys Keys;
  Keys[ASettings.KeyNumber] = TBatvKey::FromKeyFile(ASettings.KeyFile);
  if (!ASettings.PreviousKeyFile.empty())
    Keys[ASettings.PreviousKeyNumber()] = TBatvKey::FromKeyFile(ASettings.PreviousKeyFile);
  return Keys;
}

static TAddressList ListOf(const std::string &AFileName) {
  return AFileName.empty() ? TAddressList() : TAddressList::FromFile(AFileName);
}

std::unique_ptr<TRecipientJudge> OpenRecipientJudge(const TBatvSettings &ASettings) {
  TRecipientJudge::TSetup Setup;
  Setup.Rules = {ASettings.Verify, ASettings.Require, ASettings.OneRecipient};
  Setup.Sign = ASettings.Sign;
  if (ASettings.UsesKeys())
    Setup.Keys = OpenBatvKeys(ASettings);
  Setup.KeyNumber = ASettings.KeyNumber;
  Setup.LifetimeDays = ASettings.LifetimeDays;
  Setup.Domains = ASettings.Domains;
  Setup.Exempt = ListOf(ASettings.ExemptFile);
  Setup.NeverRefuse = ListOf(ASettings.NeverRefuseFile);
  Setup.NoBouncesTo = ListOf(ASettings.NoBouncesToFile);
  return std::make_unique<TRecipientJudge>(std::move(Setup));
}

} // namespace bw
