// Tests for the "ADODB.Stream" stand-in: writing, positioning, copying and reading text in a charset.
#include "automation/AutoValue_un.h"
#include "automation/ByteSource_un.h"
#include "automation/ComObj_un.h"
#include "automation/stream/AdoStream_un.h"
#include "rtl/SysUtils_un.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace std::string_literals;
using namespace bw;

constexpr int BinaryStream = 1;
constexpr int TextStream = 2;
const std::string ClosedError = "EOleException: Operation is not allowed when the object is closed";
const std::string ContextError = "EOleException: Operation is not allowed in this context";
const std::string ArgumentError = "EOleException: Arguments are of the wrong type, are out of acceptable range, or are "
                                  "in conflict with one another";

using bwtest::RaisedError;

static TByteArray Bytes(std::string_view AText) { return TByteArray(AText.begin(), AText.end()); }

// An open binary stream holding ABytes, positioned at its end.
static TAutoValue BinaryStreamWith(std::string_view ABytes) {
  TAutoValue Stream = CreateOleObject("ADODB.Stream");
  Stream.Call("Open", TAutoValue::Omitted());
  Stream.Set("Type", BinaryStream);
  if (!ABytes.empty())
    Stream.Call("Write", Bytes(ABytes));
  return Stream;
}

// The whole content of a stream, as the message object loads it.
static std::string ContentOf(const TAutoValue &AStream) {
  return std::string(dynamic_cast<IByteSource &>(*AStream.AsObject()).Contents().Text());
}

// An open text stream at position 0 over ABytes, reading in ACharset.
static TAutoValue TextStreamWith(std::string_view ABytes, const std::u16string &ACharset) {
  return bw::NewTextStream(bw::TSharedBytes(std::string(ABytes)), ACharset);
}

TEST(AdoStreamTest, NewStreamIsClosedTextInUnicode) {
  const TAutoValue Stream = CreateOleObject("ADODB.Stream");
  EXPECT_EQ(RaisedError([&] { (void)Stream.Get("Size"); }), ClosedError);
  EXPECT_EQ(Stream.Get("Charset").AsWideString(), u"Unicode");
  Stream.Call("Open");
  EXPECT_EQ(Stream.Get("Size").AsInteger(), 0);
  EXPECT_EQ(Stream.Call("ReadText").AsWideString(), u"");
}

TEST(AdoStreamTest, OpenTakesOnlyOmittedArgumentsAndOnlyOnce) {
  const TAutoValue Stream = CreateOleObject("ADODB.Stream");
  EXPECT_EQ(RaisedError([&] { Stream.Call("Open", u"file.eml"); }), ArgumentError);
  Stream.Call("Open", TAutoValue::Omitted());
  EXPECT_EQ(RaisedError([&] { Stream.Call("Open"); }),
            "EOleException: Operation is not allowed when the object is open");
}

TEST(AdoStreamTest, WriteAppendsAtTheEndOnly) {
  const TAutoValue Stream = BinaryStreamWith("hello");
  EXPECT_EQ(Stream.Get("Size").AsInteger(), 5);
  Stream.Call("Write", Bytes(", world\0!"s));
  EXPECT_EQ(Stream.Get("Size").AsInteger(), 14);
  EXPECT_EQ(ContentOf(Stream), "hello, world\0!"s);
  Stream.Set("Position", 1);
  EXPECT_EQ(RaisedError([&] { Stream.Call("Write", Bytes("E")); }), ContextError);
  EXPECT_EQ(ContentOf(Stream), "hello, world\0!"s);
}

TEST(AdoStreamTest, SetEOSCutsTheStreamAtThePosition) {
  const TAutoValue Stream = BinaryStreamWith("hello world");
  Stream.Call("Flush");
  Stream.Call("SetEOS");  // at the end already: nothing to cut
  EXPECT_EQ(Stream.Get("Size").AsInteger(), 11);
  Stream.Set("Position", 5);
  Stream.Call("SetEOS");
  EXPECT_EQ(Stream.Get("Size").AsInteger(), 5);
  EXPECT_EQ(ContentOf(Stream), "hello");
  Stream.Set("Position", 0);
  Stream.Call("SetEOS");
  EXPECT_EQ(Stream.Get("Size").AsInteger(), 0);
}

TEST(AdoStreamTest, PositionStaysWithinTheContent) {
  const TAutoValue Stream = BinaryStreamWith("\0\x01\xFFrest"s);
  EXPECT_EQ(RaisedError([&] { Stream.Set("Position", 8); }), ArgumentError);
  EXPECT_EQ(RaisedError([&] { Stream.Set("Position", -1); }), ArgumentError);
  Stream.Set("Position", 7);
  Stream.Set("Position", 3);
  EXPECT_EQ(Stream.Get("Size").AsInteger(), 7);
}

TEST(AdoStreamTest, WrittenBytesAreSharedUntilTheStreamChanges) {
  // A byte array that becomes the whole content is adopted, not copied...
  const TAutoValue Written(Bytes("shared bytes"));
  const TAutoValue Stream = BinaryStreamWith("");
  Stream.Call("Write", Written);
  auto &Source = dynamic_cast<IByteSource &>(*Stream.AsObject());
  const TSharedBytes Before = Source.Contents();
  EXPECT_EQ(Before.data(), Written.AsByteArray().data());
  // ...and a later change leaves what was handed out as it was.
  Stream.Call("Write", Bytes("!"));
  Stream.Set("Position", 1);
  Stream.Call("SetEOS");
  EXPECT_EQ(std::string(Before.Text()), "shared bytes");
  EXPECT_EQ(std::string(Written.AsByteArray().Text()), "shared bytes");
  EXPECT_EQ(ContentOf(Stream), "s");
}

TEST(AdoStreamTest, CopyToMovesUpToCountBytesAndAdvancesBoth) {
  const TAutoValue Source = BinaryStreamWith("abcdef");
  const TAutoValue Target = BinaryStreamWith("XY");
  Source.Set("Position", 2);
  Source.Call("CopyTo", Target, 3);
  Source.Call("CopyTo", Target, 100);  // more than what remains: only "f"
  Source.Call("CopyTo", Target, 4);  // nothing remains
  EXPECT_EQ(ContentOf(Target), "XYcdef");
  EXPECT_EQ(ContentOf(Source), "abcdef");

  // Without a count everything from the position goes.
  const TAutoValue Rest = BinaryStreamWith("");
  Source.Set("Position", 4);
  Source.Call("CopyTo", Rest);
  EXPECT_EQ(ContentOf(Rest), "ef");
}

TEST(AdoStreamTest, CopyToCopiesBytesWhateverTheCharset) {
  const TAutoValue Source = TextStreamWith("Hi +AOk-", u"us-ascii");
  const TAutoValue Target = CreateOleObject("ADODB.Stream");
  Target.Call("Open");
  Target.Set("Charset", u"utf-7");
  Source.Call("CopyTo", Target, Source.Get("Size").AsInteger() * 4);
  Target.Set("Position", 0);
  EXPECT_EQ(Target.Call("ReadText", 32).AsWideString(), u"Hi \u00E9");
  EXPECT_EQ(RaisedError([&] { Source.Call("CopyTo", TAutoValue(u"not a stream")); }), ArgumentError);
}

TEST(AdoStreamTest, ReadTextDecodesInTheCharset) {
  const struct {
    std::u16string Charset;
    std::string Bytes;
    std::u16string Text;
  } Cases[] = {
      {u"utf-8", "caf\xC3\xA9 \xE2\x82\xAC", u"caf\u00E9 \u20AC"},
      {u"UTF-8", "a\xFFz\xC3", u"a\uFFFDz\uFFFD"},  // malformed and truncated
      {u"iso-8859-1", "caf\xE9 \x80", u"caf\u00E9 \u0080"},
      {u"windows-1252", "\x93quoted\x94 \x80", u"\u201Cquoted\u201D \u20AC"},
      {u"Unicode", "h\0\xE9\0\xAC\x20"s, u"h\u00E9\u20AC"},
      {u"utf-16", "\xFF\xFEh\0i\0"s, u"hi"},
      {u"utf-7", "Hi +AOk-", u"Hi \u00E9"},
      {u"unicode-1-1-utf-7", "+AOkA6Q-!", u"\u00E9\u00E9!"},
      {u"us-ascii", "plain text\r\n", u"plain text\r\n"},
      {u"x-nonsense", "\xC3\xA9\x80\xFF", u"\u00C3\u00A9\u0080\u00FF"},
  };
  for (const auto &Case : Cases) {
    const TAutoValue Stream = TextStreamWith(Case.Bytes, Case.Charset);
    EXPECT_EQ(Stream.Get("Charset").AsWideString(), Case.Charset);
    EXPECT_EQ(Stream.Call("ReadText").AsWideString(), Case.Text) << Stream.Get("Charset").AsString();
    EXPECT_EQ(Stream.Get("ReadText").AsWideString(), u"");  // at the end
  }
}

TEST(AdoStreamTest, ReadTextWithCountContinuesWhereItStopped) {
  const struct {
    std::u16string Charset;
    std::string Bytes;
    std::u16string First, Rest;
  } Cases[] = {
      {u"utf-8", "h\xC3\xA9llo w\xC3\xB6rld", u"h\u00E9l", u"lo w\u00F6rld"},
      {u"Unicode", "a\0b\0c\0d\0"s, u"abc", u"d"},
      {u"iso-8859-1", "\xE9\xE8\xEA\xEB", u"\u00E9\u00E8\u00EA", u"\u00EB"},
  };
  for (const auto &Case : Cases) {
    const TAutoValue Stream = TextStreamWith(Case.Bytes, Case.Charset);
    EXPECT_EQ(Stream.Call("ReadText", 3).AsWideString(), Case.First);
    EXPECT_EQ(Stream.Call("ReadText", 100).AsWideString(), Case.Rest);
    EXPECT_EQ(Stream.Call("ReadText", 0).AsWideString(), u"");
  }
}

TEST(AdoStreamTest, TypeAndCharsetChangeOnlyAtTheStart) {
  const TAutoValue Stream = BinaryStreamWith("abc");
  EXPECT_EQ(RaisedError([&] { Stream.Set("Type", TextStream); }), ContextError);
  EXPECT_EQ(RaisedError([&] { Stream.Set("Charset", u"utf-8"); }), ContextError);
  EXPECT_EQ(Stream.Get("Charset").AsWideString(), u"Unicode");
  EXPECT_EQ(RaisedError([&] { Stream.Set("Type", 3); }), ArgumentError);
}

TEST(AdoStreamTest, TextAndBinaryOperationsNeedTheirType) {
  const TAutoValue Binary = BinaryStreamWith("abc");
  Binary.Set("Position", 0);
  EXPECT_EQ(RaisedError([&] { (void)Binary.Call("ReadText"); }), ContextError);
  EXPECT_EQ(RaisedError([&] { (void)Binary.Get("ReadText"); }), ContextError);
  const TAutoValue Text = TextStreamWith("abc", u"utf-8");
  EXPECT_EQ(RaisedError([&] { Text.Call("Write", Bytes("x")); }), ContextError);
  EXPECT_EQ(Text.Get("Size").AsInteger(), 3);
}

TEST(AdoStreamTest, ClosedStreamRefusesEveryOperation) {
  const TAutoValue Stream = BinaryStreamWith("abc");
  const TAutoValue Other = BinaryStreamWith("");
  Stream.Call("Close");
  const std::function<void()> Operations[] = {
      [&] { Stream.Call("Write", Bytes("x")); },
      [&] { Stream.Call("Flush"); },
      [&] { Stream.Call("SetEOS"); },
      [&] { (void)Stream.Get("Size"); },
      [&] { Stream.Set("Position", 0); },
      [&] { (void)Stream.Call("ReadText"); },
      [&] { Stream.Call("CopyTo", Other); },
      [&] { Other.Call("CopyTo", Stream); },
      [&] { Stream.Call("Close"); },
  };
  for (const auto &Operation : Operations)
    EXPECT_EQ(RaisedError(Operation), ClosedError);
  // Opening again starts empty.
  Stream.Call("Open");
  EXPECT_EQ(Stream.Get("Size").AsInteger(), 0);
}
