// Parsing a source with GMime, and the tree, headers and content of its parts.
#include "automation/mime/MimeDocument_un.h"

#include "rtl/StrUtils_un.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace bw {

static constexpr std::string_view DefaultCharset = "us-ascii";
// How many carried messages deep the tree goes; a message/rfc822 part below
// that is a leaf. Each returned part's text is read whole, so the cost of a
// check grows with depth times size: a crafted file of 17000 nested messages
// would take minutes. Real bounces nest a handful of levels (a bounce of a
// forwarded message, a report about a bounce); GMime itself stops nesting
// multiparts at about a thousand levels.
static constexpr unsigned MaxCarriedDepth = 64;

// Lone CRs become LFs so all three line-end forms parse alike, and an mbox
// "From " line in front of the headers is dropped. Copies only to change a CR.
static TSharedBytes NormaliseSource(const TSharedBytes &ABytes) {
  std::string_view Text = ABytes.Text();
  if (Text.starts_with("From ")) {
    const std::size_t End = Text.find_first_of("\r\n");
    Text.remove_prefix(End == std::string_view::npos ? Text.size() : End);
    if (Text.starts_with("\r\n"))
      Text.remove_prefix(2);
    else if (!Text.empty())
      Text.remove_prefix(1);
  }
  TSharedBytes Source = ABytes.Slice(ABytes.size() - Text.size());  // not const: returned, it is moved
  const auto IsLoneCr = [Text](std::size_t AIndex) { return AIndex + 1 == Text.size() || Text[AIndex + 1] != '\n'; };
  std::size_t Cr = Text.find('\r');
  while (Cr != std::string_view::npos && !IsLoneCr(Cr))
    Cr = Text.find('\r', Cr + 1);
  if (Cr == std::string_view::npos)
    return Source;
  TByteArray Result(Source.begin(), Source.end());
  for (; Cr != std::string_view::npos; Cr = Text.find('\r', Cr + 1))
    if (IsLoneCr(Cr))
      Result[Cr] = '\n';
  return TSharedBytes(std::move(Result));
}

TDocumentRef ParseDocument(const TSharedBytes &ABytes) {
  auto Document = std::make_shared<TMimeDocument>();
  Document->Source = NormaliseSource(ABytes);
  const TSharedBytes &Source = Document->Source;
  if (!Source.empty()) {
    TGObjectPtr<GMimeStream> Stream(g_mime_stream_mem_new_with_buffer(reinterpret_cast<const char *>(Source.data()),
                                                                      static_cast<gsize>(Source.size())));
    TGObjectPtr<GMimeParser> Parser(g_mime_parser_new_with_stream(Stream.get()));
    Document->Message.reset(g_mime_parser_construct_message(Parser.get(), nullptr));
  }
  return Document;
}

TPartRef RootOf(const TDocumentRef &ADocument, unsigned ADepth) {
  if (!ADocument->Message)
    return {ADocument, nullptr, nullptr, ADepth, nullptr};
  // A message whose body GMime left empty has no root entity: its headers, no content.
  GMimeObject *Root = g_mime_message_get_mime_part(ADocument->Message.get());
  return {ADocument, Root, ADocument->Message.get(), ADepth, nullptr};
}

static bool IsMediaType(GMimeObject *AObject, const char *AType, const char *ASubtype) {
  GMimeContentType *ContentType = g_mime_object_get_content_type(AObject);
  return ContentType && g_mime_content_type_is_type(ContentType, AType, ASubtype);
}

static GMimeHeader *FindHeader(GMimeObject *AObject, const char *AName) {
  return g_mime_header_list_get_header(g_mime_object_get_header_list(AObject), AName);
}

static GMimeHeader *FindHeader(const TPartRef &APart, const char *AName) {
  if (APart.Object)
    if (GMimeHeader *Header = FindHeader(APart.Object, AName))
      return Header;
  return APart.Message ? FindHeader(GMIME_OBJECT(APart.Message), AName) : nullptr;
}

// Header bytes to UTF-16: UTF-8 when they are valid UTF-8, else Latin-1.
static std::u16string HeaderText(std::string_view ABytes) {
  if (g_utf8_validate(ABytes.data(), static_cast<gssize>(ABytes.size()), nullptr)) {
    glong Count = 0;
    const TGBufferPtr<gunichar2> Units(
        g_utf8_to_utf16(ABytes.data(), static_cast<glong>(ABytes.size()), nullptr, &Count, nullptr));
    if (Units)
      return std::u16string(reinterpret_cast<const char16_t *>(Units.get()), static_cast<std::size_t>(Count));
  }
  std::u16string Result;
  Result.reserve(ABytes.size());
  for (const char C : ABytes)
    Result.push_back(static_cast<unsigned char>(C));
  return Result;
}

std::optional<std::u16string> HeaderValue(const TPartRef &APart, const std::string &AName) {
  GMimeHeader *Header = FindHeader(APart, AName.c_str());
  if (!Header)
    return std::nullopt;
  const char *Raw = g_mime_header_get_raw_value(Header);
  std::string Value;
  for (const char *P = Raw ? Raw : ""; *P; ++P)
    if (*P != '\r' && *P != '\n')
      Value.push_back(*P);
  return HeaderText(TrimBytes(Value));
}

static bool IsEncodedMessage(GMimeObject *AObject) {
  return GMIME_IS_PART(AObject) && IsMediaType(AObject, "message", "rfc822");
}

// A message/rfc822 part that GMime kept as a leaf (its content was transfer-
// encoded) still carries a message: parse the decoded content, once.
static TDocumentRef EmbeddedDocument(const TPartRef &APart) {
  auto Found = APart.Document->Embedded.find(APart.Object);
  if (Found != APart.Document->Embedded.end())
    return Found->second;
  TDocumentRef Embedded = ParseDocument(DecodedContent(APart));
  APart.Document->Embedded.emplace(APart.Object, Embedded);
  return Embedded;
}

std::size_t ChildCount(const TPartRef &APart) {
  if (!APart.Object)
    return 0;
  if (GMIME_IS_MULTIPART(APart.Object))
    return static_cast<std::size_t>(std::max(0, g_mime_multipart_get_count(GMIME_MULTIPART(APart.Object))));
  if (APart.Depth >= MaxCarriedDepth)
    return 0;
  if (GMIME_IS_MESSAGE_PART(APart.Object)) {
    GMimeMessage *Carried = g_mime_message_part_get_message(GMIME_MESSAGE_PART(APart.Object));
    return Carried ? 1 : 0;
  }
  if (IsEncodedMessage(APart.Object))
    return 1;
  return 0;
}

TPartRef ChildAt(const TPartRef &APart, std::size_t AIndex) {
  if (GMIME_IS_MULTIPART(APart.Object)) {
    GMimeMultipart *Multipart = GMIME_MULTIPART(APart.Object);
    const char *Boundary = g_mime_multipart_get_boundary(Multipart);
    auto Enclosing = Boundary ? std::make_shared<const TBoundaries>(Boundary, APart.Enclosing) : APart.Enclosing;
    return {APart.Document, g_mime_multipart_get_part(Multipart, static_cast<int>(AIndex)), nullptr, APart.Depth,
            std::move(Enclosing)};
  }
  if (GMIME_IS_MESSAGE_PART(APart.Object)) {
    GMimeMessage *Carried = g_mime_message_part_get_message(GMIME_MESSAGE_PART(APart.Object));
    GMimeObject *Root = g_mime_message_get_mime_part(Carried);
    return {APart.Document, Root, Carried, APart.Depth + 1, APart.Enclosing};
  }
  return RootOf(EmbeddedDocument(APart), APart.Depth + 1);
}

static TSharedBytes StreamBytes(GMimeStream *AStream) {
  GByteArray *Array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(AStream));
  if (!Array || Array->len == 0)
    return {};
  return TSharedBytes(TByteArray(Array->data, Array->data + Array->len));
}

// A carried message's bytes as they stand in the source, shared with it;
// nothing when GMime kept no offsets for the part's headers.
static std::optional<TSharedBytes> CarriedMessageBytes(const TPartRef &APart) {
  GMimeHeaderList *Headers = g_mime_object_get_header_list(APart.Object);
  gint64 LastHeader = -1;
  for (int I = 0; I < g_mime_header_list_get_count(Headers); ++I)
    LastHeader = std::max(LastHeader, g_mime_header_get_offset(g_mime_header_list_get_header_at(Headers, I)));
  TMimeDocument &Document = *APart.Document;
  if (LastHeader < 0 || static_cast<std::uint64_t>(LastHeader) >= Document.Source.size())
    return std::nullopt;
  if (!Document.Index)
    Document.Index = std::make_unique<TSourceIndex>(Document.Source.Text());
  const TSourceIndex::TSpan Span = Document.Index->CarriedMessage(static_cast<std::size_t>(LastHeader),
                                                                  APart.Enclosing.get());
  return Document.Source.Slice(Span.Start, Span.End - Span.Start);
}

TSharedBytes DecodedContent(const TPartRef &APart) {
  if (!APart.Object)
    return APart.Document->Message ? TSharedBytes() : APart.Document->Source;
  if (GMIME_IS_MESSAGE_PART(APart.Object))
    if (std::optional<TSharedBytes> Bytes = CarriedMessageBytes(APart))
      return std::move(*Bytes);
  TGObjectPtr<GMimeStream> Memory(g_mime_stream_mem_new());
  if (GMIME_IS_PART(APart.Object)) {
    GMimeDataWrapper *Wrapper = g_mime_part_get_content(GMIME_PART(APart.Object));
    if (!Wrapper)
      return {};
    g_mime_data_wrapper_write_to_stream(Wrapper, Memory.get());
  } else {
    g_mime_object_write_content_to_stream(APart.Object, nullptr, Memory.get());
  }
  return StreamBytes(Memory.get());
}

std::string ContentCharset(const TPartRef &APart) {
  if (!APart.Object)
    return std::string(DefaultCharset);
  const char *Charset = g_mime_object_get_content_type_parameter(APart.Object, "charset");
  return (Charset && *Charset) ? std::string(Charset) : std::string(DefaultCharset);
}

std::optional<TPartRef> FindTextBody(const TPartRef &ARoot) {
  std::vector<TPartRef> Pending{ARoot};
  while (!Pending.empty()) {
    TPartRef Part = std::move(Pending.back());
    Pending.pop_back();
    if (!Part.Object)
      return Part;
    if (GMIME_IS_MULTIPART(Part.Object)) {
      for (std::size_t I = ChildCount(Part); I > 0; --I)
        Pending.push_back(ChildAt(Part, I - 1));
      continue;
    }
    if (GMIME_IS_MESSAGE_PART(Part.Object) || IsEncodedMessage(Part.Object))
      continue;
    // The entity's own headers only: the message above a root entity does not count.
    if (!FindHeader(Part.Object, "Content-Type") || IsMediaType(Part.Object, "text", "plain"))
      return Part;
  }
  return std::nullopt;
}

} // namespace bw
