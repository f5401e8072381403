// The milter's message assembly on arbitrary input: headers and body chunks
// fed as the callbacks would feed them, then the check of what was rebuilt.
//
// The first byte chooses the header form, the sender and the body's chunk
// size; the rest is a message whose header lines become header callbacks
// (continuation lines folded in with LF, as Postfix sends them) and whose
// body is cut into chunks. Seeds are ordinary .eml files.
#include "FuzzSupport.h"

#include "verdict/Verdict_un.h"
#include "milter/MilterMessage_un.h"
#include "rtl/SysUtils_un.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

static void Require(bool ACondition) {
  if (!ACondition)
    std::abort();
}

static void FeedHeaders(std::string_view AHead, bw::TMilterMessage &AMessage) {
  std::string Name, Value;
  bool Open = false;
  auto Flush = [&] {
    if (Open)
      AMessage.AddHeader(Name, Value);
    Open = false;
  };
  while (!AHead.empty()) {
    const std::size_t End = AHead.find('\n');
    std::string_view Line = AHead.substr(0, End);
    AHead.remove_prefix(End == std::string_view::npos ? AHead.size() : End + 1);
    if (Line.ends_with('\r'))
      Line.remove_suffix(1);
    if (Open && !Line.empty() && (Line[0] == ' ' || Line[0] == '\t')) {
      Value.append("\n").append(Line);
      continue;
    }
    Flush();
    const std::size_t Colon = Line.find(':');
    Name = Line.substr(0, Colon);
    Value = Colon == std::string_view::npos ? std::string_view() : Line.substr(Colon + 1);
    Open = true;
  }
  Flush();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *AData, std::size_t ASize) {
  bwfuzz::InitOnce();
  if (ASize == 0)
    return 0;
  const std::uint8_t Flags = AData[0];
  std::string_view Input(reinterpret_cast<const char *>(AData) + 1, ASize - 1);
  static constexpr std::string_view Senders[] = {"<>", "<a@example.org>", "<MAILER-DAEMON@mx.example>", "b@x"};
  const std::size_t Chunk = std::size_t(1) << ((Flags >> 3) % 17);

  std::size_t Split = Input.find("\n\n");
  std::size_t Gap = 2;
  if (const std::size_t CrLf = Input.find("\r\n\r\n"); CrLf < Split) {
    Split = CrLf;
    Gap = 4;
  }
  const std::string_view Head = Input.substr(0, Split);
  const std::string_view Body = Split == std::string_view::npos ? std::string_view() : Input.substr(Split + Gap);

  bw::TMilterMessage Message((Flags & 1) ? bw::hvAsReceived : bw::hvLeadingSpaceStripped);
  for (int Round = 0; Round < 2; ++Round) {  // a second message on the same object starts from nothing
    Message.Start(Senders[(Flags >> 1) & 3]);
    Require(!Message.TooLarge() && !Message.EndOfHeadersSeen() && Message.TagHeaderCount() == 0);
    // Round 1 sends the body with no end of headers, which the milter never checks.
    if (Round == 0)
      FeedHeaders(Head, Message);
    if (Round == 0 && Message.EndOfHeaders() != bw::ehWantBody)
      continue;
    std::size_t Fed = 0;
    for (std::size_t Offset = 0; Offset < Body.size(); Offset += Chunk) {
      Fed += Body.substr(Offset, Chunk).size();
      if (!Message.AddBody(Body.substr(Offset, Chunk)))
        break;
    }
    const bool TooLarge = Message.TooLarge();
    std::string Content = Message.TakeContent();
    Require(!TooLarge || Content.empty());
    Require(TooLarge || Content.size() >= Fed);
    if (TooLarge || Round == 1)
      continue;
    try {
      static const bw::TMessageIdPattern Pattern(".*@example\\.com$");
      (void)bw::JudgeBounce("", std::move(Content), {&Pattern});
    } catch (const bw::Exception &) {
      // An error is a legitimate outcome of a check; crashes and leaks are not.
    }
  }
  return 0;
}
