// Crafted bounces that stress the parser, the walk and the decoders.
//
// Each case but one returns the Message-ID "x@returned.example" in a place
// the check must reach despite what surrounds it, so its verdict is known: a
// pattern that never matches gives "Backscatter DSN.", the pattern
// ".*@returned\.example$" gives "Not backscatter DSN.". The one without an ID
// gives "Not backscatter DSN." either way. The end-to-end tests check those
// verdicts; bench/run.sh times the same files and measures their memory.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace bwtest {

struct THostileInput {
  std::string Name;
  std::string Content;
  bool ReturnsId = true;
};

// Names the case in test output instead of dumping half a megabyte.
inline void PrintTo(const THostileInput &AInput, std::ostream *AStream) { *AStream << AInput.Name; }

inline constexpr std::size_t MaxExaminedSize = 511999;

// A plausible pattern whose nested quantifier backtracks exponentially in the
// number of dots after the "@".
inline const std::string BacktrackingPattern = ".*@(.*\\.)*example\\.com$";

// A hosting provider's pattern: an alternation of ADomains domains.
inline std::string DomainAlternation(int ADomains = 1000) {
  std::string Pattern = ".*@(";
  for (int I = 0; I < ADomains; ++I) {
    if (I > 0)
      Pattern += '|';
    Pattern.append("customer").append(std::to_string(I)).append("\\.example\\.net");
  }
  return Pattern + ")$";
}

namespace hostile {

inline const std::string ReportHead = "From: MAILER-DAEMON@mx.example.org\n"
                                      "Content-Type: multipart/report; report-type=delivery-status; boundary=\"R\"\n"
                                      "\n";
inline const std::string ReturnedPart = "--R\n"
                                        "Content-Type: text/rfc822-headers\n"
                                        "\n"
                                        "From: alice@example.com\n"
                                        "Message-ID: <X@Returned.Example>\n"
                                        "\n";

// A report whose first part returns the ID and whose second part is AHostile.
inline std::string ReportAround(const std::string &AHostilePart, const std::string &AClose = "--R--\n") {
  return ReportHead + ReturnedPart + "--R\n" + AHostilePart + "\n" + AClose;
}

inline std::string Repeat(const std::string &AText, std::size_t ABudget) {
  std::string Result;
  while (Result.size() + AText.size() <= ABudget)
    Result += AText;
  return Result;
}

} // namespace hostile

inline std::vector<THostileInput> HostileInputs() {
  using namespace hostile;
  std::vector<THostileInput> Inputs;
  const std::size_t Budget = MaxExaminedSize - 2000;

  {  // multiparts nested as deep as the size allows
    std::string Nest;
    for (int Level = 0; Nest.size() < Budget - 200; ++Level) {
      const std::string Boundary = std::to_string(Level);
      Nest.append("Content-Type: multipart/mixed; boundary=N").append(Boundary).append("\n\n--N").append(Boundary).append("\n");
    }
    Inputs.push_back({"deep-multipart", ReportAround(Nest + "Content-Type: text/plain\n\ninnermost\n")});
  }
  {  // returned messages nested as deep as the size allows: every level carries the ID
    const std::string Nest = Repeat("Content-Type: message/rfc822\n\n", Budget - 200);
    Inputs.push_back({"deep-rfc822", ReportHead + "--R\nContent-Type: message/rfc822\n\n" + Nest +
                                         "Message-ID: <x@returned.example>\n\nbody\n--R--\n"});
  }
  {  // tens of thousands of sibling parts after the returned one
    Inputs.push_back({"many-siblings", ReportAround(Repeat("--R\n\nx\n", Budget - 100))});
  }
  {  // one header line of 500 kB at the top
    Inputs.push_back({"long-header-line", "X-Long: " + std::string(Budget - 400, 'a') + "\n" + ReportAround("\n")});
  }
  {  // a Message-ID line of 500 kB
    const std::string LongId = std::string(Budget - 400, 'q');
    Inputs.push_back({"long-message-id", ReportHead + "--R\nContent-Type: text/rfc822-headers\n\nMessage-ID: <" +
                                             LongId + "x@returned.example>\n\n--R--\n"});
  }
  {  // NUL bytes in headers, parameters and bodies
    std::string Content = ReportAround(std::string("Content-Type: text/plain\n\n\0a\0b\0\n", 31));
    Content.insert(Content.find("From:"), std::string("X-Nul: \0\0\n", 10));
    Content.insert(Content.find("\n\nFrom: alice") + 2, std::string("X-Nul: a\0b\n", 11));
    Inputs.push_back({"nul-bytes", Content});
  }
  {  // malformed base64 and quoted-printable parts around the returned one
    Inputs.push_back({"malformed-encodings",
                      ReportAround("Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\n"
                                   "!!!!====QUJD\x01\xff=\n--R\nContent-Type: message/rfc822\n"
                                   "Content-Transfer-Encoding: quoted-printable\n\nSubject: =ZZ=\n=4=\n=\n")});
  }
  {  // invalid UTF-8 and UTF-7 in parts whose text is decoded
    Inputs.push_back({"invalid-utf8-utf7",
                      ReportAround("Content-Type: text/rfc822-headers; charset=utf-8\n\n\xff\xfe\xc3(\xed\xa0\x80\n"
                                   "--R\nContent-Type: text/rfc822-headers; charset=unicode-1-1-utf-7\n\n"
                                   "Subject: +AGE+-+++\xff+AAAA\n")});
  }
  {  // a multipart without a boundary, and one whose boundary never closes
    Inputs.push_back({"multipart-without-boundary", ReportAround("Content-Type: multipart/mixed\n\n--\n--x\n")});
    Inputs.push_back({"boundary-never-closes",
                      ReportAround("Content-Type: multipart/mixed; boundary=Q\n\n--Q\n\nopen\n", "--R\n")});
  }
  {  // all headers and no body; no headers at all
    // The top-level headers are no returned message: no ID.
    Inputs.push_back({"all-headers",
                      Repeat("X-Filler: some header value\n", Budget - 200) + "Message-ID: <x@returned.example>\n",
                      false});
    Inputs.push_back({"no-headers", "\n\nMessage-ID: <x@returned.example>\n" + std::string(1000, 'z') + "\n"});
  }
  {  // a long chain of nested multiparts whose boundaries share a prefix, above
     // nested carried messages and lines that resemble every boundary: each
     // carried message ends at the first line that is a boundary of any
     // enclosing multipart, so finding that line must not cost chain length
     // times size
    const std::string Prefix(60, 'P');
    std::string Chain;
    for (int Level = 0; Level < 800; ++Level) {
      const std::string Boundary = Prefix + std::to_string(Level);
      Chain.append("Content-Type: multipart/mixed; boundary=\"").append(Boundary).append("\"\n\n--").append(Boundary).append("\n");
    }
    const std::string Carried = Repeat("Content-Type: message/rfc822\n\n", 60 * 30) +
                                "Message-ID: <x@returned.example>\n\n";
    const std::string Head = ReportHead + "--R\n" + Chain + Carried;
    // "--" + Prefix + "x" starts like every boundary in the chain and is none of them.
    const std::string Resembling = Repeat("--" + Prefix + "x\n", Budget - Head.size() - 100);
    Inputs.push_back({"boundary-chain-over-carried-messages", Head + Resembling + "--R--\n"});
  }
  {  // LF, CR LF and CR alone, mixed in one file
    const std::string Lf = ReportAround("Content-Type: text/plain\n\nmixed\n");
    std::string Mixed;
    std::size_t Line = 0;
    for (std::size_t I = 0; I < Lf.size(); ++I) {
      if (Lf[I] != '\n') {
        Mixed += Lf[I];
        continue;
      }
      // A lone CR right before an LF would fuse with it into one line end.
      const bool NextIsLf = I + 1 < Lf.size() && Lf[I + 1] == '\n';
      switch (Line++ % 3) {
      case 0: Mixed += "\r\n"; break;
      case 1: Mixed += NextIsLf ? "\n" : "\r"; break;
      default: Mixed += "\n"; break;
      }
    }
    Inputs.push_back({"mixed-line-ends", Mixed});
  }
  {  // thousands of returned parts whose IDs cost the backtracking pattern
     // about one whole match limit each (16 to 20 dots after the "@")
    std::string Parts;
    for (int I = 0; Parts.size() < Budget - 400; ++I) {
      Parts.append("--R\nContent-Type: text/rfc822-headers\n\nMessage-ID: <").append(std::to_string(I)).append("@");
      for (int Dot = 0; Dot < 16 + I % 5; ++Dot)
        Parts.append("a.");
      Parts.append("evil.example>\n\n");
    }
    Inputs.push_back({"ids-at-match-limit", ReportHead + ReturnedPart + Parts + "--R--\n"});
  }
  {  // thousands of returned parts, each checked against a long alternation
    std::string Parts;
    for (int I = 0; Parts.size() < Budget - 400; ++I)
      Parts.append("--R\nContent-Type: text/rfc822-headers\n\nMessage-ID: <")
          .append(std::to_string(I))
          .append("@customer")
          .append(std::to_string(I))
          .append(".example.org>\n\n");
    Inputs.push_back({"ids-for-alternation", ReportHead + ReturnedPart + Parts + "--R--\n"});
  }
  return Inputs;
}

} // namespace bwtest
