// The Message-IDs and Date of every message in a folder of sent mail: an
// mbox file or a maildir.
//
// Only the header block of each message is read, and no MIME is parsed: the
// import needs those header values, as the MTA would hand them to a milter.
#pragma once

#include "detector/HeaderBlock_un.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bw {

struct TSentMessage {
  // Its fields that carry an ID (IsSentIdField) and its Date fields, raw
  // (the values after the colon, folds included), in order.
  std::vector<THeaderField> Fields;
};

using TSentMessageHandler = std::function<void(const TSentMessage &AMessage)>;
// Called with the bytes read so far (of all of APath), for a progress bar.
using TSentMailProgress = std::function<void(std::uint64_t ABytesRead)>;

// The bytes ReadSentMail will read from APath: the file's size, or the sum
// of a maildir's messages. Raises EFOpenError naming APath when it is
// neither a readable file nor a maildir.
std::uint64_t SentMailSize(const std::string &APath);

// Called with the error of one message file of a maildir that cannot be
// opened or read; the others are read on.
using TSentMailSkipped = std::function<void(const std::string &AMessage)>;

// Calls AOnMessage for each message in APath: an mbox file (messages begin
// at lines starting with "From ") or a maildir (every file in its cur/ and
// new/ folders). Raises EFOpenError naming the mbox or folder that cannot be
// opened, and EReadError for one that fails while it is read; a maildir's
// message file that fails goes to AOnSkipped instead.
void ReadSentMail(const std::string &APath, const TSentMessageHandler &AOnMessage,
                  const TSentMailProgress &AOnProgress, const TSentMailSkipped &AOnSkipped);

} // namespace bw
