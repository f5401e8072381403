// The backscatter check of one bounce: load, classify, find the returned
// message, extract its Message-IDs and match them against the site's pattern.
//
// The detector reaches the message and stream objects only by member name
// through automation values; it never sees the library that parses MIME.
#pragma once

#include "automation/AutoValue_un.h"

#include <optional>
#include <string>
#include <vector>

namespace bw {

class TBackscatterDetector {
public:
  TBackscatterDetector() = default;
  TBackscatterDetector(const TBackscatterDetector &) = delete;
  TBackscatterDetector &operator=(const TBackscatterDetector &) = delete;
  // The message goes before the parts taken from it.
  ~TBackscatterDetector() { FMessage.Clear(); }

  // True when the file is a DSN whose returned message yields at least one
  // Message-ID and none of them matches AMsgIdRegex. Errors (file not
  // openable, object failures) propagate as exceptions.
  static bool IsBackscatter(const std::string &AP1Sender, const std::string &AMimeFile, const std::string &AMsgIdRegex);

  // The text before the first space, "(" or ";" of a content-type value.
  static std::string GetMediaType(const std::string &AContentType);
  // The ID without any space, "<" or ">".
  static std::string CleanMessageID(const std::string &AMessageID);
  // The Message-ID of one part's text: the rest of the line after the first
  // "message-id: " (any case), cleaned; nothing when the text has none.
  static bool ExtractMessageID(std::u16string_view AText, std::string &AMessageID);
  // Reads a decoded-content stream as text in its character set; an empty
  // (non-object) value gives the empty text.
  static std::u16string ReadPartText(const TAutoValue &AStream);

  // Stages, public so that each can be tested on its own.
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
  TAutoValue FMessage;
  // The parts that carry the returned message, in document order; an entry is
  // a null value only as the single fallback when no text body part exists.
  // Absent (not engaged) until FindReturnedMessage runs.
  std::optional<std::vector<TAutoValue>> FReturnedParts;

private:
  void CollectReturnedParts(const TAutoValue &APart);
  void AppendReturnedPart(const TAutoValue &APart);
};

} // namespace bw
