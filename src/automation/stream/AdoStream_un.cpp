// ADODB.Stream over a byte buffer; text is decoded through the rtl's iconv layer.
//
// The buffer is shared where it can be: a byte array written into an empty
// stream is adopted, not copied, and so are a copy between streams and the
// content a message loads from; the first change after that copies.
#include "automation/stream/AdoStream_un.h"

#include "automation/AutoObject_un.h"
#include "automation/ByteSource_un.h"
#include "automation/ComObj_un.h"
#include "rtl/Charset_un.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace bw {

namespace {

// The stream's own error descriptions and codes.
constexpr std::string_view ObjectClosedText = "Operation is not allowed when the object is closed.";
constexpr std::string_view ObjectOpenText = "Operation is not allowed when the object is open.";
constexpr std::string_view IllegalOperationText = "Operation is not allowed in this context.";
constexpr std::string_view InvalidArgumentText =
    "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another.";
constexpr std::int32_t ObjectClosedCode = static_cast<std::int32_t>(0x800A0E78);
constexpr std::int32_t ObjectOpenCode = static_cast<std::int32_t>(0x800A0E79);
constexpr std::int32_t IllegalOperationCode = static_cast<std::int32_t>(0x800A0C93);
constexpr std::int32_t InvalidArgumentCode = static_cast<std::int32_t>(0x800A0BB9);

enum TStreamType : std::int64_t { stBinary = 1, stText = 2 };
constexpr std::int64_t ReadAll = -1;

class TAdoStream final : public TAutoObject<TAdoStream>, public IByteSource {
public:
  static std::span<const TMember> Members() {
    static constexpr std::array<TMember, 11> Table{{
        {"Open", waReadOnly, &TAdoStream::Open},
        {"Close", waReadOnly, &TAdoStream::Close},
        {"Type", waWritable, &TAdoStream::Type},
        {"Write", waReadOnly, &TAdoStream::Write},
        {"Flush", waReadOnly, &TAdoStream::Flush},
        {"SetEOS", waReadOnly, &TAdoStream::SetEOS},
        {"Position", waWritable, &TAdoStream::Position},
        {"Size", waReadOnly, &TAdoStream::Size},
        {"Charset", waWritable, &TAdoStream::Charset},
        {"CopyTo", waReadOnly, &TAdoStream::CopyTo},
        {"ReadText", waReadOnly, &TAdoStream::ReadText},
    }};
    return Table;
  }

  // Hands the buffer out shared; the stream copies it on its next change.
  TSharedBytes Contents() override {
    if (!FIsShared) {
      FShared = TSharedBytes(std::move(FOwned));
      FOwned = TByteArray();
      FIsShared = true;
    }
    return FShared;
  }

private:
  void RequireOpen() const {
    if (!FOpen)
      OleException(ObjectClosedText, ObjectClosedCode);
  }

  std::span<const std::uint8_t> Data() const noexcept { return FIsShared ? FShared.Bytes() : std::span(FOwned); }

  // The buffer, owned by this stream alone, for a change.
  TByteArray &Writable() {
    if (FIsShared) {
      FOwned.assign(FShared.begin(), FShared.end());
      FShared = TSharedBytes();
      FIsShared = false;
    }
    return FOwned;
  }

  void Clear() noexcept {
    FOwned.clear();
    FShared = TSharedBytes();
    FIsShared = false;
    FPosition = 0;
  }

  // Writes bytes at the end and advances; only the end can be written, as
  // every writer of these streams fills them from the start. Bytes written
  // into an empty stream are adopted rather than copied.
  void WriteBytes(const TSharedBytes &ABytes) {
    if (FPosition != Data().size())
      OleException(IllegalOperationText, IllegalOperationCode);
    if (Data().empty()) {
      FOwned.clear();
      FShared = ABytes;
      FIsShared = true;
    } else {
      TByteArray &Buffer = Writable();
      Buffer.insert(Buffer.end(), ABytes.begin(), ABytes.end());
    }
    FPosition += ABytes.size();
  }

  TAutoValue Open(TInvokeKind, std::span<const TAutoValue> AArgs) {
    // The source argument, when given, must be omitted: this stream binds to nothing.
    ExpectArgs(AArgs, 0, 1);
    if (!AArgs.empty() && !IsMissing(AArgs, 0) && !AArgs[0].IsEmpty())
      OleException(InvalidArgumentText, InvalidArgumentCode);
    if (FOpen)
      OleException(ObjectOpenText, ObjectOpenCode);
    FOpen = true;
    Clear();
    return {};
  }

  TAutoValue Close(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    RequireOpen();
    FOpen = false;
    Clear();
    return {};
  }

  TAutoValue Type(TInvokeKind AKind, std::span<const TAutoValue> AArgs) {
    ExpectPut(AKind);
    const std::int64_t NewType = IntegerArg(AArgs, 0);
    if (NewType != stBinary && NewType != stText)
      OleException(InvalidArgumentText, InvalidArgumentCode);
    // As with the original object, the type changes only at the start.
    if (FOpen && FPosition != 0)
      OleException(IllegalOperationText, IllegalOperationCode);
    FType = NewType;
    return {};
  }

  TAutoValue Write(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 1, 1);
    RequireOpen();
    if (FType != stBinary)
      OleException(IllegalOperationText, IllegalOperationCode);
    if (AArgs[0].Type() != avByteArray)
      OleException(InvalidArgumentText, InvalidArgumentCode);
    WriteBytes(AArgs[0].AsByteArray());
    return {};
  }

  TAutoValue Flush(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    RequireOpen();
    return {};
  }

  TAutoValue SetEOS(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    RequireOpen();
    if (FPosition < Data().size()) {
      if (FIsShared)
        FShared = FShared.Slice(0, FPosition);
      else
        FOwned.resize(FPosition);
    }
    return {};
  }

  TAutoValue Position(TInvokeKind AKind, std::span<const TAutoValue> AArgs) {
    ExpectPut(AKind);
    RequireOpen();
    const std::int64_t NewPosition = IntegerArg(AArgs, 0);
    if (NewPosition < 0 || static_cast<std::uint64_t>(NewPosition) > Data().size())
      OleException(InvalidArgumentText, InvalidArgumentCode);
    FPosition = static_cast<std::size_t>(NewPosition);
    return {};
  }

  TAutoValue Size(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 0);
    RequireOpen();
    return TAutoValue(static_cast<std::int64_t>(Data().size()));
  }

  TAutoValue Charset(TInvokeKind AKind, std::span<const TAutoValue> AArgs) {
    if (AKind != ikPropertyPut) {
      ExpectArgs(AArgs, 0, 0);
      return TAutoValue(AnsiToWide(FCharset));
    }
    const std::string NewCharset = WideToAnsi(TextArg(AArgs, 0));
    if (FOpen && FPosition != 0)
      OleException(IllegalOperationText, IllegalOperationCode);
    FCharset = NewCharset;
    return {};
  }

  TAutoValue CopyTo(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 1, 2);
    RequireOpen();
    auto *Target = dynamic_cast<TAdoStream *>(AArgs[0].AsObject());
    if (!Target)
      OleException(InvalidArgumentText, InvalidArgumentCode);
    Target->RequireOpen();
    std::int64_t Count = IsMissing(AArgs, 1) ? ReadAll : IntegerArg(AArgs, 1);
    if (Count < ReadAll)
      OleException(InvalidArgumentText, InvalidArgumentCode);
    const std::size_t Available = Data().size() - FPosition;
    const std::size_t Copied = Count == ReadAll ? Available : std::min<std::size_t>(Available, static_cast<std::size_t>(Count));
    // The slice keeps its bytes alive even when the target is this stream and
    // the write below replaces the buffer.
    const TSharedBytes Slice = Contents().Slice(FPosition, Copied);
    FPosition += Copied;
    Target->WriteBytes(Slice);
    return {};
  }

  TAutoValue ReadText(TInvokeKind, std::span<const TAutoValue> AArgs) {
    ExpectArgs(AArgs, 0, 1);
    RequireOpen();
    if (FType != stText)
      OleException(IllegalOperationText, IllegalOperationCode);
    const std::int64_t Count = IsMissing(AArgs, 0) ? ReadAll : IntegerArg(AArgs, 0);
    if (Count < ReadAll)
      OleException(InvalidArgumentText, InvalidArgumentCode);

    // Every reader reads to the end in one call. A count that stops the read
    // early leaves the position after the last whole character, which for a
    // stateful charset (UTF-7's base64 runs) is no place to start again.
    const std::string_view Rest(reinterpret_cast<const char *>(Data().data()) + FPosition, Data().size() - FPosition);
    TDecodeResult Decoded =
        DecodeToWide(FCharset, Rest, Count == ReadAll ? std::u16string::npos : static_cast<std::size_t>(Count));
    FPosition += Decoded.BytesConsumed;
    return TAutoValue(std::move(Decoded.Text));
  }

  bool FOpen = false;
  std::int64_t FType = stText;
  std::string FCharset = "Unicode";
  // The content: FShared while FIsShared, else FOwned.
  TByteArray FOwned;
  TSharedBytes FShared;
  bool FIsShared = false;
  std::size_t FPosition = 0;
};

} // namespace

void RegisterAdoStream() {
  RegisterOleClass("ADODB.Stream", [] { return std::make_shared<TAdoStream>(); });
}

TAutoValue NewTextStream(TSharedBytes ABytes, std::u16string_view ACharset) {
  TAutoValue Stream = CreateOleObject("ADODB.Stream");
  Stream.Call("Open");
  Stream.Set("Type", stBinary);
  Stream.Call("Write", std::move(ABytes));
  Stream.Set("Position", 0);
  Stream.Set("Type", stText);
  Stream.Set("Charset", std::u16string(ACharset));
  return Stream;
}

} // namespace bw
