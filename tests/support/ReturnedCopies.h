// Sent header blocks, each with a bounce that returns a copy of its message
// as MTAs were seen to return it: the cases in which the ledger's key of
// what was sent and its key of what came back must meet. Shared by the key's
// own test and the milter's, which records and judges them end to end.
#pragma once

#include <string>
#include <vector>

namespace bwtest {

struct TSentAndReturned {
  const char *Name;
  std::string Sent;    // the header block as sent, LF line ends, no blank line
  std::string Bounce;  // a bounce returning a copy of it
};

// A delivery report whose returned part, of AType, holds AReturned.
inline std::string BounceCarrying(const std::string &AType, const std::string &AReturned) {
  return "From: MAILER-DAEMON@mx.example.net\n"
         "Content-Type: multipart/report; report-type=delivery-status; boundary=\"b\"\n\n"
         "--b\nContent-Type: text/plain\n\nUndeliverable.\n"
         "--b\nContent-Type: message/delivery-status\n\nReporting-MTA: dns; mx.example.net\n\n"
         "--b\nContent-Type: " + AType + "\n\n" + AReturned + "\n--b--\n";
}

inline std::vector<TSentAndReturned> SentAndReturnedCases() {
  const std::string Received = "Received: from mail.example.com (mail.example.com [198.51.100.10])\n"
                               "\tby mx.example.net with ESMTPS id 8C33D240E1; Mon, 7 Dec 2026 10:15:10 +0100\n";
  const std::string Body = "\nhello\n";
  const std::string Resent = "Resent-From: carol@example.com\nResent-Message-ID: <Resent.2@Example.com>\n"
                             "From: alice@example.net\nMessage-ID: <first.2@example.net>\nSubject: fwd\n";
  const std::string Original = "X-Original-Message-ID: <orig.3@elsewhere.example>\nFrom: alice@example.com\n"
                               "Message-ID: <own.3@example.com>\n";
  const std::string Signed = "From: alice@example.com\nSubject: signed\nMessage-ID: <own.4@example.com>\n";
  const std::string Dkim = "DKIM-Signature: v=1; a=rsa-sha256; d=example.com; s=s1; c=relaxed/relaxed;\n"
                           "\th=from:to:subject:message-id:\n\tdate; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\n"
                           "\tb=dGVzdA==\n";
  const std::string Utf8 = "From: j\xC3\xB6rg@example.com\nMessage-ID: <J\xC3\xB6rg.5@ex\xC3\xA4mple.com>\n";
  const std::string TwoIds = "From: alice@example.com\nMessage-ID:<first.6@example.com>\n"
                             "Message-ID: <second.6@example.com>\n";
  const std::string Plain = "From: alice@example.com\nMessage-ID:\n <Folded.7@Example.COM>\nSubject: hi\n";
  return {
      {"Plain", Plain, BounceCarrying("message/rfc822", Received + Plain + Body)},
      {"ResentIdAbove", Resent, BounceCarrying("message/rfc822", Received + Resent + Body)},
      {"ResentHeadersOnly", Resent, BounceCarrying("text/rfc822-headers", Received + Resent)},
      {"OriginalIdAbove", Original, BounceCarrying("message/rfc822", Original + Body)},
      {"DkimSignatureFoldsAfterMessageId", Signed, BounceCarrying("message/rfc822", Dkim + Signed + Body)},
      {"Utf8IdWithoutCharset", Utf8, BounceCarrying("message/rfc822", Received + Utf8 + Body)},
      {"Utf8IdUnderLatin1", Utf8, BounceCarrying("text/rfc822-headers; charset=iso-8859-1", Received + Utf8)},
      {"TwoIdsFirstWithoutBlank", TwoIds, BounceCarrying("message/rfc822", TwoIds + Body)},
  };
}

} // namespace bwtest
