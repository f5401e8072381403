// The backscatter check of one bounce: load it, decide whether it is a
// bounce, find the parts that return a message, read their Message-IDs and
// match them against the site's pattern.
//
// The detector reaches the message and stream objects only by member name
// through automation values; it never sees the library that parses MIME.
#pragma once

#include "automation/AutoValue_un.h"
#include "detector/MessageIdMatch_un.h"

#include <cstddef>
#include <optional>
#include <string>
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

  // True when the file is a DSN whose returned message yields at least one
  // Message-ID and none of them matches AMsgIdRegex. Errors (file not
  // openable, object failures, a pattern that cannot be used, a match that
  // fails) propagate as exceptions.
  static bool IsBackscatter(const std::string &AP1Sender, const std::string &AMimeFile, const std::string &AMsgIdRegex);

  // The same check of a message held in memory (its bytes as a file would
  // hold them), against a pattern compiled once by the caller.
  static TCheckResult CheckMessage(const std::string &AP1Sender, std::string AContent,
                                   const TMessageIdPattern &APattern);

  // The check without the matching: the Message-IDs of the returned message,
  // lower-cased and cleaned, in document order; none when the message is not
  // examined (outside the size bound) or is not a DSN.
  static std::vector<std::u16string> ReturnedMessageIDs(const std::string &AP1Sender, std::string AContent);

  // The text before the first space, "(" or ";" of a content-type value.
  static std::string GetMediaType(const std::string &AContentType);
  // The ID without any space, "<" or ">".
  static std::string CleanMessageID(const std::string &AMessageID);

  TBackscatterDetector(const TBackscatterDetector &) = delete;
  TBackscatterDetector &operator=(const TBackscatterDetector &) = delete;
  // The message goes before the parts taken from it.
  ~TBackscatterDetector() { FMessage.Clear(); }

private:
  using TMessageIDList = std::vector<std::u16string>;

  TBackscatterDetector() = default;

  bool Execute();
  bool LoadMessage();
  bool IsDSN();
  void FindReturnedMessage();
  void CollectReturnedParts(const TAutoValue &APart);
  bool CheckMessageIDs();
  void ExtractMessageIDs(TMessageIDList &AMessageIDs);
  static std::u16string ReadPartText(const TAutoValue &AStream);
  bool AnyMessageIDMatches(const TMessageIDList &AMessageIDs);

  std::string FP1Sender;
  std::string FMimeFile;
  std::string FMsgIdRegex;
  // The pattern of the check: the caller's, or one compiled from FMsgIdRegex.
  const TMessageIdPattern *FPattern = nullptr;
  // The message's bytes when the check was given them instead of a file.
  std::optional<std::string> FContent;
  TAutoValue FMessage;
  // The parts that carry the returned message, in document order; an entry is
  // a null value only as the single fallback when no text body part exists.
  // Absent until FindReturnedMessage runs.
  std::optional<std::vector<TAutoValue>> FReturnedParts;
  std::size_t FMessageIDCount = 0;
};

} // namespace bw
