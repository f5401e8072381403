// CDO.Message and its body parts, fields and data source over a parsed document.
//
// The object classes only check arguments and turn the object model's names
// and 1-based indices into calls on the document (MimeDocument_un).
#include "automation/mime/CdoMessage_un.h"

#include "automation/AutoObject_un.h"
#include "automation/ByteSource_un.h"
#include "automation/ComObj_un.h"
#include "automation/mime/MimeDocument_un.h"
#include "automation/stream/AdoStream_un.h"
#include "rtl/Charset_un.h"

#include <gmime/gmime.h>

#include <array>
#include <string>
#include <string_view>

namespace bw {

namespace {

constexpr std::string_view ProgID = "CDO.Message";
constexpr std::string_view MailHeaderPrefix = "urn:schemas:mailheader:";
constexpr std::string_view StreamInterface = "_Stream";

TAutoValue NewBodyPart(TPartRef APart);

class TCdoField final : public TAutoObject<TCdoField> {
public:
  explicit TCdoField(std::optional<std::u16string> AValue) : FValue(std::move(AValue)) {}
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 1> Table{{
        {"Value", waReadOnly, &TCdoField::Value},
    }};
    return Table;
  }

private:
  TAutoValue Value(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    if (!FValue)
      return {};
    return TAutoValue(*FValue);
  }
  std::optional<std::u16string> FValue;  // nothing: empty
};

// A field of the mail-header namespace: the header's value; nothing when the
// header is absent or the name lies outside the namespace.
std::optional<std::u16string> FieldValue(const TPartRef &APart, std::string_view AFieldName) {
  if (AFieldName.size() <= MailHeaderPrefix.size() ||
      !SameText(AFieldName.substr(0, MailHeaderPrefix.size()), MailHeaderPrefix))
    return std::nullopt;
  return HeaderValue(APart, std::string(AFieldName.substr(MailHeaderPrefix.size())));
}

TAutoValue FieldsMember(const TPartRef &APart, std::span<const TAutoValue> AArgs) {
  if (AArgs.size() != 1)
    OleError(DISP_E_BADPARAMCOUNT);
  if (AArgs[0].Type() != avText)
    OleError(DISP_E_TYPEMISMATCH);
  return TAutoValue(std::make_shared<TCdoField>(FieldValue(APart, WideToAnsi(AArgs[0].AsWideString()))));
}

// The one place that meets the object model's 1-based indices.
TAutoValue BodyPartAt(const TPartRef &APart, std::int64_t AIndex) {
  if (AIndex < 1 || static_cast<std::uint64_t>(AIndex) > ChildCount(APart))
    OleException("The index is out of range.", E_FAIL);
  return NewBodyPart(ChildAt(APart, static_cast<std::size_t>(AIndex - 1)));
}

class TCdoBodyParts final : public TAutoObject<TCdoBodyParts> {
public:
  explicit TCdoBodyParts(TPartRef AParent) : FParent(std::move(AParent)) {}
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 1> Table{{
        {"Count", waReadOnly, &TCdoBodyParts::Count},
    }};
    return Table;
  }

private:
  TAutoValue Count(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    return TAutoValue(static_cast<std::int64_t>(ChildCount(FParent)));
  }
  TPartRef FParent;
};

class TCdoBodyPart final : public TAutoObject<TCdoBodyPart> {
public:
  explicit TCdoBodyPart(TPartRef APart) : FPart(std::move(APart)) {}
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 3> Table{{
        {"Fields", waReadOnly, &TCdoBodyPart::Fields},
        {"BodyParts", waReadOnly, &TCdoBodyPart::BodyParts},
        {"GetDecodedContentStream", waReadOnly, &TCdoBodyPart::GetDecodedContentStream},
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
    return NewTextStream(DecodedContent(FPart), AnsiToWide(ContentCharset(FPart)));
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
        {"OpenObject", waReadOnly, &TCdoDataSource::OpenObject},
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
        {"DataSource", waReadOnly, &TCdoMessage::DataSource},
        {"BodyPart", waReadOnly, &TCdoMessage::BodyPart},
        {"TextBodyPart", waReadOnly, &TCdoMessage::TextBodyPart},
        {"Fields", waReadOnly, &TCdoMessage::Fields},
    }};
    return Table;
  }
  void Load(const TSharedBytes &ABytes) { FDocument = ParseDocument(ABytes); }

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
    std::optional<TPartRef> Found = FindTextBody(RootOf(FDocument));
    if (!Found)
      OleException("The message has no text body part.", E_FAIL);
    return NewBodyPart(std::move(*Found));
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
  auto *Source = dynamic_cast<IByteSource *>(AArgs[0].AsObject());
  if (!Source)
    OleError(DISP_E_TYPEMISMATCH);
  FMessage->Load(Source->Contents());
  return {};
}

} // namespace

void RegisterCdoMessage() {
  g_mime_init();
  RegisterOleClass(ProgID, [] { return std::make_shared<TCdoMessage>(); });
}

void UnregisterCdoMessage() noexcept { g_mime_shutdown(); }

} // namespace bw
