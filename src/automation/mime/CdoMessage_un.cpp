// CDO.Message and its body parts, fields and data source over a GMime tree.
#include "automation/mime/CdoMessage_un.h"

#include "automation/AutoObject_un.h"
#include "automation/ByteSource_un.h"
#include "automation/ComObj_un.h"
#include "automation/mime/GMimeOwners_un.h"

#include <gmime/gmime.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

namespace {

constexpr std::string_view MailHeaderPrefix = "urn:schemas:mailheader:";
constexpr std::string_view StreamInterface = "_Stream";
constexpr std::string_view DefaultCharset = "us-ascii";
// How many carried messages deep the tree goes; a message/rfc822 part below
// that is a leaf. Each returned part's text is read whole, so the cost of a
// check grows with depth times size: a crafted file of 17000 nested messages
// would take minutes. Real bounces nest a handful of levels (a bounce of a
// forwarded message, a report about a bounce); GMime itself stops nesting
// multiparts at about a thousand levels.
constexpr unsigned MaxCarriedDepth = 64;

// One parsed source: the GMime message (or, when GMime made none, the source
// as a body without headers). Every part handed out shares it, so a
// part stays valid after the message object that produced it is gone.
struct TMimeDocument {
  TGObjectPtr<GMimeMessage> Message;
  // The bytes GMime parsed (line ends normalised); its offsets point here.
  TByteArray Source;
  // Messages carried inside encoded message/rfc822 parts, parsed on demand.
  std::map<GMimeObject *, std::shared_ptr<TMimeDocument>> Embedded;
};
using TDocumentRef = std::shared_ptr<TMimeDocument>;

// A node of the tree: a GMime entity of a document, or the raw body when
// Object is null. Message is set on the root entity of a (carried) message,
// whose non-Content headers GMime keeps on the message itself.
// The multipart boundaries around an entity, innermost first: GMime ends any
// content at a boundary of any enclosing multipart.
struct TBoundaries {
  std::string Boundary;
  std::shared_ptr<const TBoundaries> Outer;
};

struct TPartRef {
  TDocumentRef Document;
  GMimeObject *Object = nullptr;
  GMimeMessage *Message = nullptr;
  unsigned Depth = 0;  // carried messages above this entity
  std::shared_ptr<const TBoundaries> Enclosing;
};

// Lone CRs become LFs so all three line-end forms parse alike, and an mbox
// "From " line in front of the headers is dropped.
TByteArray NormaliseSource(std::string_view ABytes) {
  if (ABytes.starts_with("From ")) {
    const std::size_t End = ABytes.find_first_of("\r\n");
    ABytes.remove_prefix(End == std::string_view::npos ? ABytes.size() : End);
    if (ABytes.starts_with("\r\n"))
      ABytes.remove_prefix(2);
    else if (!ABytes.empty())
      ABytes.remove_prefix(1);
  }
  TByteArray Result(ABytes.begin(), ABytes.end());
  for (std::size_t I = ABytes.find('\r'); I != std::string_view::npos; I = ABytes.find('\r', I + 1))
    if (I + 1 == ABytes.size() || ABytes[I + 1] != '\n')
      Result[I] = '\n';
  return Result;
}

TDocumentRef ParseDocument(std::string_view ABytes) {
  auto Document = std::make_shared<TMimeDocument>();
  TByteArray Source = NormaliseSource(ABytes);
  if (!Source.empty()) {
    TGObjectPtr<GMimeStream> Stream(g_mime_stream_mem_new_with_buffer(reinterpret_cast<const char *>(Source.data()),
                                                                      static_cast<gsize>(Source.size())));
    TGObjectPtr<GMimeParser> Parser(g_mime_parser_new_with_stream(Stream.get()));
    Document->Message.reset(g_mime_parser_construct_message(Parser.get(), nullptr));
  }
  Document->Source = std::move(Source);
  return Document;
}

TPartRef RootOf(const TDocumentRef &ADocument, unsigned ADepth = 0) {
  if (!ADocument->Message)
    return {ADocument, nullptr, nullptr, ADepth, nullptr};
  // A message whose body GMime left empty has no root entity: its headers, no content.
  GMimeObject *Root = g_mime_message_get_mime_part(ADocument->Message.get());
  return {ADocument, Root, ADocument->Message.get(), ADepth, nullptr};
}

bool IsMediaType(GMimeObject *AObject, const char *AType, const char *ASubtype) {
  GMimeContentType *ContentType = g_mime_object_get_content_type(AObject);
  return ContentType && g_mime_content_type_is_type(ContentType, AType, ASubtype);
}

GMimeHeader *FindHeader(const TPartRef &APart, const char *AName) {
  if (APart.Object)
    if (GMimeHeader *Header = g_mime_header_list_get_header(g_mime_object_get_header_list(APart.Object), AName))
      return Header;
  if (APart.Message)
    return g_mime_header_list_get_header(g_mime_object_get_header_list(GMIME_OBJECT(APart.Message)), AName);
  return nullptr;
}

// Header bytes to UTF-16: UTF-8 when they are valid UTF-8, else Latin-1.
std::u16string HeaderText(std::string_view ABytes) {
  if (g_utf8_validate(ABytes.data(), static_cast<gssize>(ABytes.size()), nullptr)) {
    glong Count = 0;
    gunichar2 *Units = g_utf8_to_utf16(ABytes.data(), static_cast<glong>(ABytes.size()), nullptr, &Count, nullptr);
    if (Units) {
      std::u16string Result(reinterpret_cast<const char16_t *>(Units), static_cast<std::size_t>(Count));
      g_free(Units);
      return Result;
    }
  }
  std::u16string Result;
  Result.reserve(ABytes.size());
  for (const char C : ABytes)
    Result.push_back(static_cast<unsigned char>(C));
  return Result;
}

// The field's value: unfolded (line breaks removed), surrounding white space
// trimmed; empty when the header is absent.
TAutoValue FieldValue(const TPartRef &APart, std::string_view AFieldName) {
  if (AFieldName.size() <= MailHeaderPrefix.size() || !SameText(AFieldName.substr(0, MailHeaderPrefix.size()), MailHeaderPrefix))
    return {};
  const std::string HeaderName(AFieldName.substr(MailHeaderPrefix.size()));
  GMimeHeader *Header = FindHeader(APart, HeaderName.c_str());
  if (!Header)
    return {};
  const char *Raw = g_mime_header_get_raw_value(Header);
  std::string Value;
  for (const char *P = Raw ? Raw : ""; *P; ++P)
    if (*P != '\r' && *P != '\n')
      Value.push_back(*P);
  return TAutoValue(HeaderText(TrimBytes(Value)));
}

bool IsEncodedMessage(GMimeObject *AObject) {
  return GMIME_IS_PART(AObject) && IsMediaType(AObject, "message", "rfc822");
}

TByteArray DecodedContent(const TPartRef &APart);

// A message/rfc822 part that GMime kept as a leaf (its content was transfer-
// encoded) still carries a message: parse the decoded content, once.
TDocumentRef EmbeddedDocument(const TPartRef &APart) {
  auto Found = APart.Document->Embedded.find(APart.Object);
  if (Found != APart.Document->Embedded.end())
    return Found->second;
  const TByteArray Content = DecodedContent(APart);
  TDocumentRef Embedded =
      ParseDocument(std::string_view(reinterpret_cast<const char *>(Content.data()), Content.size()));
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

// AIndex counts from 0; the one place that meets the object model's 1-based indices is BodyPartAt.
TPartRef ChildAt(const TPartRef &APart, std::size_t AIndex) {
  if (GMIME_IS_MULTIPART(APart.Object)) {
    GMimeMultipart *Multipart = GMIME_MULTIPART(APart.Object);
    const char *Boundary = g_mime_multipart_get_boundary(Multipart);
    auto Enclosing = Boundary ? std::make_shared<const TBoundaries>(TBoundaries{Boundary, APart.Enclosing})
                              : APart.Enclosing;
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

TByteArray StreamBytes(GMimeStream *AStream) {
  GByteArray *Array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(AStream));
  if (!Array || Array->len == 0)
    return {};
  return TByteArray(Array->data, Array->data + Array->len);
}

// Where the content of a message/rfc822 part begins: after the blank line
// that ends the part's own header block. Nothing when GMime kept no offsets.
std::optional<std::size_t> CarriedMessageStart(const TPartRef &APart) {
  GMimeHeaderList *Headers = g_mime_object_get_header_list(APart.Object);
  gint64 LastHeader = -1;
  for (int I = 0; I < g_mime_header_list_get_count(Headers); ++I)
    LastHeader = std::max(LastHeader, g_mime_header_get_offset(g_mime_header_list_get_header_at(Headers, I)));
  const TByteArray &Source = APart.Document->Source;
  if (LastHeader < 0 || static_cast<std::uint64_t>(LastHeader) >= Source.size())
    return std::nullopt;
  for (std::size_t I = static_cast<std::size_t>(LastHeader); I < Source.size(); ++I) {
    if (Source[I] != '\n')
      continue;
    std::size_t Next = I + 1;
    if (Next < Source.size() && Source[Next] == '\r')
      ++Next;
    if (Next >= Source.size())
      return Source.size();
    if (Source[Next] == '\n')
      return Next + 1;
  }
  return Source.size();
}

// True when the line (without its line end) is "--B" or "--B--" for a
// boundary B around the part, optionally followed by blanks, as GMime reads it.
bool IsEnclosingBoundary(std::string_view ALine, const TBoundaries *ABoundaries) {
  if (!ALine.starts_with("--"))
    return false;
  while (!ALine.empty() && (ALine.back() == ' ' || ALine.back() == '\t'))
    ALine.remove_suffix(1);
  ALine.remove_prefix(2);
  for (; ABoundaries; ABoundaries = ABoundaries->Outer.get()) {
    std::string_view Rest = ALine;
    if (!Rest.starts_with(ABoundaries->Boundary))
      continue;
    Rest.remove_prefix(ABoundaries->Boundary.size());
    if (Rest.empty() || Rest == "--")
      return true;
  }
  return false;
}

// A carried message's bytes as they stand in the source: from the end of the
// part's headers to the line break before the next enclosing boundary.
std::optional<TByteArray> CarriedMessageBytes(const TPartRef &APart) {
  const std::optional<std::size_t> Start = CarriedMessageStart(APart);
  if (!Start)
    return std::nullopt;
  const TByteArray &Source = APart.Document->Source;
  const std::string_view Text(reinterpret_cast<const char *>(Source.data()), Source.size());
  std::size_t End = Text.size();
  for (std::size_t Line = *Start; Line < Text.size();) {
    std::size_t LineEnd = Text.find('\n', Line);
    if (LineEnd == std::string_view::npos)
      LineEnd = Text.size();
    std::string_view Content = Text.substr(Line, LineEnd - Line);
    if (Content.ends_with('\r'))
      Content.remove_suffix(1);
    if (IsEnclosingBoundary(Content, APart.Enclosing.get())) {
      End = Line;
      // The line break before a boundary belongs to the boundary.
      if (End > *Start && Text[End - 1] == '\n')
        --End;
      if (End > *Start && Text[End - 1] == '\r')
        --End;
      break;
    }
    Line = LineEnd + 1;
  }
  return TByteArray(Source.begin() + static_cast<std::ptrdiff_t>(*Start),
                    Source.begin() + static_cast<std::ptrdiff_t>(End));
}

// The content with its transfer encoding undone. A carried message gives its
// bytes as they stand in the source; a multipart its body as GMime writes it
// back (LF line ends).
TByteArray DecodedContent(const TPartRef &APart) {
  if (!APart.Object)
    return APart.Document->Message ? TByteArray() : APart.Document->Source;
  if (GMIME_IS_MESSAGE_PART(APart.Object))
    if (std::optional<TByteArray> Bytes = CarriedMessageBytes(APart))
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

TAutoValue NewContentStream(TByteArray AContent, const std::string &ACharset) {
  TAutoValue Stream = CreateOleObject("ADODB.Stream");
  Stream.Call("Open");
  Stream.Set("Type", 1);
  Stream.Call("Write", std::move(AContent));
  Stream.Set("Position", 0);
  Stream.Set("Type", 2);
  Stream.Set("Charset", AnsiToWide(ACharset));
  return Stream;
}

// The first text/plain entity in document order, not looking inside carried
// messages; an entity without a Content-Type counts as text/plain.
bool FindTextBody(const TPartRef &ARoot, TPartRef &AFound) {
  std::vector<TPartRef> Pending{ARoot};
  while (!Pending.empty()) {
    TPartRef Part = std::move(Pending.back());
    Pending.pop_back();
    if (!Part.Object) {
      AFound = Part;
      return true;
    }
    if (GMIME_IS_MULTIPART(Part.Object)) {
      for (std::size_t I = ChildCount(Part); I > 0; --I)
        Pending.push_back(ChildAt(Part, I - 1));
      continue;
    }
    if (GMIME_IS_MESSAGE_PART(Part.Object) || IsEncodedMessage(Part.Object))
      continue;
    if (!FindHeader({Part.Document, Part.Object, nullptr, 0, nullptr}, "Content-Type") || IsMediaType(Part.Object, "text", "plain")) {
      AFound = Part;
      return true;
    }
  }
  return false;
}

TAutoValue NewBodyPart(TPartRef APart);

class TCdoField final : public TAutoObject<TCdoField> {
public:
  explicit TCdoField(TAutoValue AValue) : FValue(std::move(AValue)) {}
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 1> Table{{
        {"Value", mkGet, &TCdoField::Value},
    }};
    return Table;
  }

private:
  TAutoValue Value(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    return FValue;
  }
  TAutoValue FValue;
};

TAutoValue FieldsMember(const TPartRef &APart, std::span<const TAutoValue> AArgs) {
  if (AArgs.size() != 1)
    OleError(DISP_E_BADPARAMCOUNT);
  if (AArgs[0].Type() != avText)
    OleError(DISP_E_TYPEMISMATCH);
  return TAutoValue(std::make_shared<TCdoField>(FieldValue(APart, WideToAnsi(AArgs[0].AsWideString()))));
}

TAutoValue BodyPartAt(const TPartRef &APart, std::int64_t AIndex) {
  if (AIndex < 1 || static_cast<std::uint64_t>(AIndex) > ChildCount(APart))
    OleException("The index is out of range.", E_FAIL);
  return NewBodyPart(ChildAt(APart, static_cast<std::size_t>(AIndex - 1)));
}

class TCdoBodyParts final : public TAutoObject<TCdoBodyParts> {
public:
  explicit TCdoBodyParts(TPartRef AParent) : FParent(std::move(AParent)) {}
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 2> Table{{
        {"Count", mkGet, &TCdoBodyParts::Count},
        {"Item", mkGet | mkMethod, &TCdoBodyParts::Item},
    }};
    return Table;
  }

private:
  TAutoValue Count(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    return TAutoValue(static_cast<std::int64_t>(ChildCount(FParent)));
  }
  TAutoValue Item(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 1, 1);
    return BodyPartAt(FParent, IntegerArg(AArgs, 0));
  }
  TPartRef FParent;
};

class TCdoBodyPart final : public TAutoObject<TCdoBodyPart> {
public:
  explicit TCdoBodyPart(TPartRef APart) : FPart(std::move(APart)) {}
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 3> Table{{
        {"Fields", mkGet, &TCdoBodyPart::Fields},
        {"BodyParts", mkGet, &TCdoBodyPart::BodyParts},
        {"GetDecodedContentStream", mkMethod, &TCdoBodyPart::GetDecodedContentStream},
    }};
    return Table;
  }

private:
  TAutoValue Fields(TInvokeKind, std::span<const TAutoValue> AArgs) { return FieldsMember(FPart, AArgs); }
  TAutoValue BodyParts(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 1);
    if (AArgs.empty())
      return TAutoValue(std::make_shared<TCdoBodyParts>(FPart));
    return BodyPartAt(FPart, IntegerArg(AArgs, 0));
  }
  TAutoValue GetDecodedContentStream(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    return NewContentStream(DecodedContent(FPart), ContentCharset(FPart));
  }
  TPartRef FPart;
};

TAutoValue NewBodyPart(TPartRef APart) { return TAutoValue(std::make_shared<TCdoBodyPart>(std::move(APart))); }

class TCdoMessage;

class TCdoDataSource final : public TAutoObject<TCdoDataSource> {
public:
  explicit TCdoDataSource(std::shared_ptr<TCdoMessage> AMessage) : FMessage(std::move(AMessage)) {}
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 1> Table{{
        {"OpenObject", mkMethod, &TCdoDataSource::OpenObject},
    }};
    return Table;
  }

private:
  TAutoValue OpenObject(TInvokeKind, std::span<const TAutoValue> AArgs);
  std::shared_ptr<TCdoMessage> FMessage;
};

class TCdoMessage final : public TAutoObject<TCdoMessage> {
public:
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 4> Table{{
        {"DataSource", mkGet, &TCdoMessage::DataSource},
        {"BodyPart", mkGet, &TCdoMessage::BodyPart},
        {"TextBodyPart", mkGet, &TCdoMessage::TextBodyPart},
        {"Fields", mkGet, &TCdoMessage::Fields},
    }};
    return Table;
  }
  void Load(std::span<const std::uint8_t> ABytes) {
    FDocument = ParseDocument(std::string_view(reinterpret_cast<const char *>(ABytes.data()), ABytes.size()));
  }

private:
  TAutoValue DataSource(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    return TAutoValue(std::make_shared<TCdoDataSource>(shared_from_this()));
  }
  TAutoValue BodyPart(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    return NewBodyPart(RootOf(FDocument));
  }
  TAutoValue TextBodyPart(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    TPartRef Found;
    if (!FindTextBody(RootOf(FDocument), Found))
      OleException("The message has no text body part.", E_FAIL);
    return NewBodyPart(std::move(Found));
  }
  TAutoValue Fields(TInvokeKind, std::span<const TAutoValue> AArgs) { return FieldsMember(RootOf(FDocument), AArgs); }

  TDocumentRef FDocument = std::make_shared<TMimeDocument>();
};

TAutoValue TCdoDataSource::OpenObject(TInvokeKind, std::span<const TAutoValue> AArgs) {
  ExpectArgs(AArgs, 2, 2);
  if (AArgs[1].Type() != avText)
    OleError(DISP_E_TYPEMISMATCH);
  if (!SameText(WideToAnsi(AArgs[1].AsWideString()), StreamInterface))
    OleException("The requested interface is not supported.", E_FAIL);
  const auto *Source = dynamic_cast<const IByteSource *>(AArgs[0].AsObject());
  if (!Source)
    OleError(DISP_E_TYPEMISMATCH);
  FMessage->Load(Source->Contents());
  return {};
}

} // namespace

void RegisterCdoMessage() {
  RegisterOleClass("CDO.Message", [] { return std::make_shared<TCdoMessage>(); });
}

} // namespace bw
