// The backscatter check of one bounce: load, classify, find the returned
// message, extract its Message-IDs and match them against the site's pattern.
//
// The detector reaches the message and stream objects only by member name
// through automation values; it never sees the library that parses MIME.
#pragma once

#include "automation/AutoValue_un.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// What one check found, for callers that log more than the verdict.
struct TCheckResult {
  bool Backscatter = false;
  std::size_t MessageIDCount = 0;  // Message-IDs extracted from the returned message
};

class TBackscatterDetector {
public:
  // Messages of this many bytes or more are not examined (nor are empty ones).
  static constexpr std::size_t MaxMessageSize = 512000;

  TBackscatterDetector() = default;
  TBackscatterDetector(const TBackscatterDetector &) = delete;
  TBackscatterDetector &operator=(const TBackscatterDetector &) = delete;
  // The message goes before the parts taken from it.
  ~TBackscatterDetector() { FMessage.Clear(); }

  // True when the file is a DSN whose returned message yields at least one
  // Message-ID and none of them matches AMsgIdRegex. Errors (file not
  // openable, object failures, a match that fails) propagate as exceptions.
  static bool IsBackscatter(const std::string &AP1Sender, const std::string &AMimeFile, const std::string &AMsgIdRegex);

  // The same check of a message held in memory (its bytes as a file would
  // hold them), with the same size bound, stages and errors.
  static TCheckResult CheckMessage(const std::string &AP1Sender, std::string AContent, const std::string &AMsgIdRegex);

  // The classification rule alone: a message counts as a DSN when its
  // top-level Content-Type value (raw or unfolded) has the media type
  // multipart/report, or when the envelope sender is empty or holds
  // "mailer-daemon@" or "postmaster@" (ASCII case ignored).
  static bool CountsAsDSN(std::string_view AContentType, std::string_view AP1Sender);

  // The text before the first space, "(" or ";" of a content-type value.
  static std::string GetMediaType(const std::string &AContentType);
  // The ID without any space, "<" or ">".
  static std::string CleanMessageID(const std::string &AMessageID);
  // The Message-ID of one part's text, cleaned: the rest of the line after
  // the first "message-id: " (any case), or the next line when the value is
  // folded onto it, also after a "message-id:" that ends its line. Nothing
  // when the text has neither form.
  static bool ExtractMessageID(std::u16string_view AText, std::string &AMessageID);

protected:
  // The stages and fields are reached by the tests through a subclass;
  // nothing else derives from the detector.
  static std::u16string ReadPartText(const TAutoValue &AStream);
  bool Execute();
  bool LoadMessage();
  bool IsDSN();
  void FindReturnedMessage();
  bool CheckMessageIDs();
  void ExtractMessageIDs(std::vector<std::string> &AMessageIDs);
  bool AnyMessageIDMatches(const std::vector<std::string> &AMessageIDs);

  std::string FP1Sender;
  std::string FMimeFile;
  std::string FMsgIdRegex;
  // The message's bytes when the check was given them instead of a file.
  std::optional<std::string> FContent;
  TAutoValue FMessage;
  // The parts that carry the returned message, in document order; an entry is
  // a null value only as the single fallback when no text body part exists.
  // Absent (not engaged) until FindReturnedMessage runs.
  std::optional<std::vector<TAutoValue>> FReturnedParts;
  std::size_t FMessageIDCount = 0;

private:
  void CollectReturnedParts(const TAutoValue &APart);
  void AppendReturnedPart(const TAutoValue &APart);
};

} // namespace bw
