// Deterministic bounces of the sizes the benchmarks measure.
#pragma once

#include <string>

namespace bwbench {

// A multipart/report DSN that returns a whole message (message/rfc822) whose
// body pads the file to exactly ASize bytes.
inline std::string MakeDsn(std::size_t ASize) {
  std::string Head =
      "Return-Path: <>\n"
      "From: Mail Delivery System <MAILER-DAEMON@mx.example.org>\n"
      "To: alice@example.com\n"
      "Subject: Undelivered Mail Returned to Sender\n"
      "Message-ID: <20261207081203.9F1C2240E1@mx.example.org>\n"
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/report; report-type=delivery-status;\n"
      "\tboundary=\"9F1C2240E1.1765095123/mx.example.org\"\n"
      "\n"
      "--9F1C2240E1.1765095123/mx.example.org\n"
      "Content-Type: text/plain; charset=us-ascii\n"
      "\n"
      "I'm sorry to have to inform you that your message could not be delivered.\n"
      "\n"
      "--9F1C2240E1.1765095123/mx.example.org\n"
      "Content-Type: message/delivery-status\n"
      "\n"
      "Reporting-MTA: dns; mx.example.org\n"
      "\n"
      "Final-Recipient: rfc822; nobody@example.org\n"
      "Action: failed\n"
      "Status: 5.1.1\n"
      "\n"
      "--9F1C2240E1.1765095123/mx.example.org\n"
      "Content-Type: message/rfc822\n"
      "\n"
      "From: Alice <alice@example.com>\n"
      "To: nobody@example.org\n"
      "Subject: Quarterly figures\n"
      "Message-ID: <5d1e2f3a.8b7c@forged-sender.example.net>\n"
      "Content-Type: text/plain; charset=utf-8\n"
      "\n";
  const std::string Tail = "\n--9F1C2240E1.1765095123/mx.example.org--\n";
  const std::string Line = "The figures for the quarter are attached as promised; please review them.\n";
  std::string Result = Head;
  while (Result.size() + Tail.size() < ASize)
    Result += Line;
  Result.resize(ASize - Tail.size(), 'x');
  return Result + Tail;
}

// A plain-text bounce (no MIME structure) quoting the returned headers.
inline std::string MakePlainBounce() {
  std::string Result =
      "From: MAILER-DAEMON@mx.example.org\n"
      "To: alice@example.com\n"
      "Subject: failure notice\n"
      "\n"
      "Hi. This is the qmail-send program at mx.example.org.\n"
      "I'm afraid I wasn't able to deliver your message to the following addresses.\n"
      "\n"
      "<nobody@example.org>:\n"
      "Sorry, no mailbox here by that name.\n"
      "\n"
      "--- Below this line is a copy of the message.\n"
      "\n"
      "From: Alice <alice@example.com>\n"
      "To: nobody@example.org\n"
      "Subject: Lunch\n"
      "Message-ID: <7a7b7c7d@forged-sender.example.net>\n"
      "\n";
  for (int I = 0; I < 40; ++I)
    Result += "Shall we meet at noon at the usual place by the river?\n";
  return Result;
}

} // namespace bwbench
