// The bounce rule: the media type of a content-type value, and what makes a
// message count as a DSN.
#include "detector/DsnRule_un.h"

#include <gtest/gtest.h>

#include <string>

using bw::CountsAsDSN;
using bw::GetMediaType;

TEST(DsnRuleTest, GetMediaTypeCutsAtFirstSpaceParenthesisOrSemicolon) {
  const struct {
    std::string ContentType;
    std::string MediaType;
  } Cases[] = {
      {"multipart/report; report-type=delivery-status", "multipart/report"},
      {"text/plain", "text/plain"},
      {"multipart/report(report)", "multipart/report"},
      {"Message/RFC822 ;x", "Message/RFC822"},
      {" multipart/report", ""},
      {"(c) multipart/report", ""},
      {";multipart/report", ""},
      {"", ""},
      {"multipart/report\treport-type=x", "multipart/report\treport-type=x"},
      {"text/plain,x y", "text/plain,x"},
      {"a\r\nb;c", "a\r\nb"},
      {"\"text/plain\"; x", "\"text/plain\""},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(GetMediaType(Case.ContentType), Case.MediaType) << Case.ContentType;
}

TEST(DsnRuleTest, ReportTypeOrSenderMarkersMakeADsn) {
  const std::string Ordinary = "bob@example.org";
  const struct {
    std::string ContentType;  // empty: no Content-Type header at all
    std::string Sender;
    bool Dsn;
  } Cases[] = {
      {"multipart/report; report-type=delivery-status; boundary=b", Ordinary, true},
      {"Multipart/REPORT; boundary=b", Ordinary, true},
      {"multipart/report(x); boundary=b", Ordinary, true},
      {"multipart/reports; boundary=b", Ordinary, false},
      {"multipart/report-x; boundary=b", Ordinary, false},
      {"multipart/report\treport-type=delivery-status; boundary=b", Ordinary, false},
      {"(c) multipart/report; boundary=b", Ordinary, false},
      {";multipart/report; boundary=b", Ordinary, false},
      {"", Ordinary, false},
      {"", "", true},
      {"text/plain", "", true},
      {"text/plain", Ordinary, false},
      {"text/plain", "MAILER-DAEMON@mx.example.org", true},
      {"text/plain", "Mail Delivery <Mailer-Daemon@mx.example.org>", true},
      {"text/plain", "<postmaster@example.org>", true},
      {"text/plain", "not-the-postmaster@example.org", true},
      {"text/plain", "bounces+mailer-daemon@example.org", true},
      {"text/plain", "postmaster.example.org", false},
      {"text/plain", "postmaster at example.org", false},
      {"text/plain", "mailer-daemon", false},
      {"text/plain", "mailer_daemon@example.org", false},
      // A raw header value, as the milter sees it: folded, with blanks around.
      {" multipart/report;\r\n\treport-type=delivery-status", Ordinary, true},
      {"  multipart/report\n", Ordinary, true},
      {" multipart/mixed;\r\n\tboundary=b", Ordinary, false},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(CountsAsDSN(Case.ContentType, Case.Sender), Case.Dsn) << Case.ContentType << " / " << Case.Sender;
}
