// A parsed message and the walk over its entity tree, private to the message
// stand-in.
//
// A document is one source parsed by GMime: the top-level bytes, or the
// decoded content of an encoded message/rfc822 part. Parts refer to their
// document, so a part stays valid after whatever produced it is gone. Child
// indices count from 0 here.
#pragma once

#include "automation/SharedBytes_un.h"
#include "automation/mime/CarriedBytes_un.h"
#include "automation/mime/GMimeOwners_un.h"

#include <gmime/gmime.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace bw {

// One parsed source: the GMime message (or, when GMime made none, the source
// as a body without headers).
struct TMimeDocument {
  TGObjectPtr<GMimeMessage> Message;
  // The bytes GMime parsed (line ends normalised); its offsets point here.
  TSharedBytes Source;
  // Messages carried inside encoded message/rfc822 parts, parsed on demand.
  std::map<GMimeObject *, std::shared_ptr<TMimeDocument>> Embedded;
  // Source's lines, indexed when a carried message's bytes are first asked for.
  std::unique_ptr<TSourceIndex> Index;
};
using TDocumentRef = std::shared_ptr<TMimeDocument>;

// A node of the tree: a GMime entity of a document, or the raw body when
// Object is null. Message is set on the root entity of a (carried) message,
// whose non-Content headers GMime keeps on the message itself.
struct TPartRef {
  TDocumentRef Document;
  GMimeObject *Object = nullptr;
  GMimeMessage *Message = nullptr;
  unsigned Depth = 0;  // carried messages above this entity
  std::shared_ptr<const TBoundaries> Enclosing;
};

// Parses any bytes; never fails. Lone CRs become LFs and a leading mbox
// "From " line is dropped first; otherwise the document shares ABytes.
TDocumentRef ParseDocument(const TSharedBytes &ABytes);

// The document's root entity, ADepth carried messages down.
TPartRef RootOf(const TDocumentRef &ADocument, unsigned ADepth = 0);

// A multipart's children, or a carried message's root as the one child of the
// part that carries it (encoded or not), down to a fixed depth of carried
// messages.
std::size_t ChildCount(const TPartRef &APart);
TPartRef ChildAt(const TPartRef &APart, std::size_t AIndex);  // AIndex < ChildCount(APart)

// The header's value, unfolded and trimmed, read as UTF-8 where valid and as
// Latin-1 elsewhere; nothing when the part has no such header.
std::optional<std::u16string> HeaderValue(const TPartRef &APart, const std::string &AName);

// The content with its transfer encoding undone. A carried message gives its
// bytes as they stand in the source; a multipart its body as GMime writes it
// back (LF line ends).
TSharedBytes DecodedContent(const TPartRef &APart);

// The charset parameter of the part's Content-Type, "us-ascii" without one.
std::string ContentCharset(const TPartRef &APart);

// The first text/plain entity in document order, not looking inside carried
// messages; an entity without a Content-Type counts as text/plain.
std::optional<TPartRef> FindTextBody(const TPartRef &ARoot);

} // namespace bw
