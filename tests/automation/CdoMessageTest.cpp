// Tests for the "CDO.Message" stand-in: loading, header fields, the body-part tree and decoded content.
#include "automation/AutoValue_un.h"
#include "automation/ByteSource_un.h"
#include "automation/ComObj_un.h"
#include "rtl/SysUtils_un.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace std::string_literals;
using namespace bw;

constexpr const char16_t *ContentTypeField = u"urn:schemas:mailheader:content-type";

using bwtest::RaisedError;

// A message object loaded from ABytes the way the detector loads a file.
static TAutoValue LoadMessage(std::string_view ABytes) {
  const TAutoValue Message = CreateOleObject("CDO.Message");
  const TAutoValue Stream = CreateOleObject("ADODB.Stream");
  Stream.Call("Open", TAutoValue::Omitted());
  Stream.Set("Type", 1);
  Stream.Call("Write", TByteArray(ABytes.begin(), ABytes.end()));
  Stream.Call("Flush");
  Stream.Call("SetEOS");
  Message.Get("DataSource").Call("OpenObject", Stream, u"_Stream");
  Stream.Call("Close");
  return Message;
}

static TAutoValue LoadEml(const std::string &AName) { return LoadMessage(bwtest::ReadFixture("automation/" + AName)); }

static std::string Field(const TAutoValue &AOwner, const std::u16string &AName) {
  return AOwner.Get("Fields", AName).Get("Value").AsString();
}

// The media type of a part, without parameters.
static std::string MediaType(const TAutoValue &APart) {
  const std::string ContentType = Field(APart, ContentTypeField);
  return ContentType.substr(0, ContentType.find(';'));
}

// The part and its descendants as "type(child,child)"; a part without Content-Type shows as "-".
static std::string Outline(const TAutoValue &APart) {
  const std::string Type = MediaType(APart);
  std::string Result = Type.empty() ? "-" : Type;
  const std::int64_t Count = APart.Get("BodyParts").Get("Count").AsInteger();
  for (std::int64_t I = 1; I <= Count; ++I) {
    Result.push_back(I == 1 ? '(' : ',');
    Result.append(Outline(APart.Get("BodyParts", I)));
  }
  if (Count > 0)
    Result.push_back(')');
  return Result;
}

// A stream's whole content, as bytes.
static std::string StreamContent(const TAutoValue &AStream) {
  return std::string(dynamic_cast<IByteSource &>(*AStream.AsObject()).Contents().Text());
}

static std::u16string DecodedText(const TAutoValue &APart) {
  return APart.Call("GetDecodedContentStream").Get("ReadText").AsWideString();
}

// The decoded content of the message's root part, as bytes.
static std::string RootContent(const TAutoValue &AMessage) {
  return StreamContent(AMessage.Get("BodyPart").Call("GetDecodedContentStream"));
}

const std::string ReportOutline =
    "multipart/report(text/plain,message/delivery-status,message/rfc822(multipart/alternative(text/plain,text/"
    "html)),text/rfc822-headers)";

TEST(CdoMessageTest, ReportPartsFormATreeInDocumentOrder) {
  const TAutoValue Message = LoadEml("report-tree.eml");
  EXPECT_EQ(Outline(Message.Get("BodyPart")), ReportOutline);
  const TAutoValue Returned = Message.Get("BodyPart").Get("BodyParts", 3);
  // The carried message's root part answers for the carried message's headers.
  EXPECT_EQ(Field(Returned.Get("BodyParts", 1), u"urn:schemas:mailheader:message-id"), "<original-1@example.com>");
  EXPECT_EQ(DecodedText(Returned.Get("BodyParts", 1).Get("BodyParts", 1)), u"Hello Bob.\n");
  EXPECT_EQ(DecodedText(Message.Get("BodyPart").Get("BodyParts", 4)),
            u"From: alice@example.com\nMessage-ID: <original-1@example.com>\n");
}

TEST(CdoMessageTest, FieldsAreUnfoldedTrimmedAndFoundInAnyCase) {
  const TAutoValue Message = LoadEml("report-tree.eml");
  const std::string Folded = "multipart/report; report-type=delivery-status;\tboundary=\"outer\"";
  EXPECT_EQ(Field(Message, ContentTypeField), Folded);
  EXPECT_EQ(Field(Message, u"URN:SCHEMAS:MAILHEADER:CONTENT-TYPE"), Folded);
  EXPECT_EQ(Field(Message.Get("BodyPart"), u"urn:schemas:mailheader:Content-Type"), Folded);
  EXPECT_EQ(Field(Message, u"urn:schemas:mailheader:subject"), "Undelivered Mail Returned to Sender");
  EXPECT_EQ(Field(Message.Get("BodyPart"), u"urn:schemas:mailheader:message-id"), "<report-1@mx.example.org>");
  // Absent headers, and names outside the mail-header namespace, have an empty value.
  for (const std::u16string &Name : {u"urn:schemas:mailheader:x-absent"s, u"urn:schemas:mailheader:"s, u"subject"s})
    EXPECT_TRUE(Message.Get("Fields", Name).Get("Value").IsEmpty()) << Field(Message, Name);
  EXPECT_TRUE(Message.Get("BodyPart")
                  .Get("BodyParts", 2)
                  .Get("Fields", u"urn:schemas:mailheader:subject")
                  .Get("Value")
                  .IsEmpty());
}

TEST(CdoMessageTest, HeaderBytesAreUtf8OrLatin1) {
  EXPECT_EQ(Field(LoadMessage("Subject: caf\xC3\xA9\n\nbody\n"), u"urn:schemas:mailheader:subject"), "caf\xC3\xA9");
  EXPECT_EQ(Field(LoadMessage("Subject: caf\xE9\n\nbody\n"), u"urn:schemas:mailheader:subject"), "caf\xC3\xA9");
}

TEST(CdoMessageTest, LineEndsAndMboxFromLineParseLikeLf) {
  const std::string Lf = bwtest::ReadFixture("automation/report-tree.eml");
  const std::string Variants[] = {
      bwtest::WithLineEnds(Lf, "\r\n"),
      bwtest::WithLineEnds(Lf, "\r"),
      "From MAILER-DAEMON Mon Jan  1 00:00:00 2024\n" + Lf,
      "From MAILER-DAEMON Mon Jan  1 00:00:00 2024\r\n" + bwtest::WithLineEnds(Lf, "\r\n"),
  };
  for (const std::string &Bytes : Variants) {
    const TAutoValue Message = LoadMessage(Bytes);
    EXPECT_EQ(Outline(Message.Get("BodyPart")), ReportOutline) << Bytes.substr(0, 60);
    EXPECT_EQ(Field(Message, ContentTypeField), "multipart/report; report-type=delivery-status;\tboundary=\"outer\"");
    EXPECT_EQ(Field(Message, u"urn:schemas:mailheader:from"), "Mail Delivery System <MAILER-DAEMON@mx.example.org>");
    const std::u16string Notice = DecodedText(Message.Get("BodyPart").Get("BodyParts", 1));
    EXPECT_EQ(Notice.substr(0, Notice.find_first_of(u"\r\n")), u"Your message could not be delivered.");
  }
  // The From line goes also when no headers follow it.
  EXPECT_EQ(RootContent(LoadMessage("From MAILER-DAEMON Mon Jan  1 00:00:00 2024\nplain text\n")), "plain text\n");
  EXPECT_EQ(RootContent(LoadMessage("From someone\rplain\rtext\r")), "plain\ntext\n");
}

TEST(CdoMessageTest, EncodedRfc822PartCarriesItsMessage) {
  const TAutoValue Message = LoadEml("rfc822-base64.eml");
  EXPECT_EQ(Outline(Message.Get("BodyPart")), "multipart/mixed(text/plain,message/rfc822(text/plain))");
  const TAutoValue Carried = Message.Get("BodyPart").Get("BodyParts", 2).Get("BodyParts", 1);
  EXPECT_EQ(Field(Carried, u"urn:schemas:mailheader:message-id"), "<carried-7@example.com>");
  EXPECT_EQ(Field(Carried, u"urn:schemas:mailheader:subject"), "Carried");
  EXPECT_EQ(DecodedText(Carried), u"Carried caf\u00E9.\n");
}

TEST(CdoMessageTest, DecodedContentStreamUndoesTransferEncodingInThePartCharset) {
  const TAutoValue Root = LoadEml("transfer-encodings.eml").Get("BodyPart");
  const struct {
    std::u16string Charset, Text;
  } Expected[] = {
      {u"utf-8", u"Gr\u00FC\u00DFe, \u20AC5 caf\u00E9"},
      {u"ISO-8859-1", u"caf\u00E9 cr\u00E8me br\u00FBl\u00E9e"},
      {u"us-ascii", u"no charset given"},
  };
  ASSERT_EQ(Root.Get("BodyParts").Get("Count").AsInteger(), 3);
  for (int I = 1; I <= 3; ++I) {
    const TAutoValue Stream = Root.Get("BodyParts", I).Call("GetDecodedContentStream");
    EXPECT_EQ(Stream.Get("Charset").AsWideString(), Expected[I - 1].Charset);
    EXPECT_EQ(Stream.Call("ReadText", Stream.Get("Size").AsInteger() * 4).AsWideString(), Expected[I - 1].Text);
  }
}

TEST(CdoMessageTest, TextBodyPartIsTheFirstTextPlainOutsideCarriedMessages) {
  const struct {
    std::string Fixture;
    std::u16string Text;
  } Cases[] = {
      {"text-body-document-order.eml", u"Outer text."},
      {"text-body-untyped-part.eml", u"Untyped text."},
      {"report-tree.eml", u"Your message could not be delivered.\n"},
      {"rfc822-base64.eml", u"The original message is attached.\n"},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(DecodedText(LoadEml(Case.Fixture).Get("TextBodyPart")), Case.Text) << Case.Fixture;
  EXPECT_EQ(RaisedError([] { (void)LoadEml("no-text-body.eml").Get("TextBodyPart"); }),
            "EOleException: The message has no text body part");
}

TEST(CdoMessageTest, BodyPartIndexOutsideOneToCountRaises) {
  const TAutoValue Root = LoadEml("report-tree.eml").Get("BodyPart");
  const std::string Expected = "EOleException: The index is out of range";
  for (const int Index : {0, -1, 5})
    EXPECT_EQ(RaisedError([&] { (void)Root.Get("BodyParts", Index); }), Expected) << Index;
  // A leaf has no children at all.
  EXPECT_EQ(RaisedError([&] { (void)Root.Get("BodyParts", 1).Get("BodyParts", 1); }), Expected);
}

TEST(CdoMessageTest, AnyBytesLoadAsAMessage) {
  const std::string Cases[] = {
      "no headers at all, just text\nand a second line\n",
      "\x01\x02 binary \xFF\xFE\0 bytes"s,
      "",
  };
  for (const std::string &Bytes : Cases) {
    const TAutoValue Message = LoadMessage(Bytes);
    const TAutoValue Root = Message.Get("BodyPart");
    EXPECT_EQ(Root.Get("BodyParts").Get("Count").AsInteger(), 0);
    EXPECT_TRUE(Message.Get("Fields", ContentTypeField).Get("Value").IsEmpty());
    EXPECT_EQ(Root.Call("GetDecodedContentStream").Get("Charset").AsWideString(), u"us-ascii");
    EXPECT_EQ(RootContent(Message), Bytes);
    // Without any Content-Type the whole content is the text body.
    EXPECT_EQ(Message.Get("TextBodyPart").Call("GetDecodedContentStream").Get("Size").AsInteger(),
              static_cast<std::int64_t>(Bytes.size()));
  }
}

TEST(CdoMessageTest, PartsStayValidAfterTheMessageIsCleared) {
  TAutoValue Message = LoadEml("report-tree.eml");
  const TAutoValue Root = Message.Get("BodyPart");
  const TAutoValue Returned = Root.Get("BodyParts", 3);
  TAutoValue Encoded = LoadEml("rfc822-base64.eml").Get("BodyPart").Get("BodyParts", 2);
  Message.Clear();
  EXPECT_EQ(Outline(Root), ReportOutline);
  EXPECT_EQ(Field(Returned.Get("BodyParts", 1), u"urn:schemas:mailheader:subject"), "Hello");
  // Walking down by reassigning the only reference to the parent.
  Encoded = Encoded.Get("BodyParts", 1);
  EXPECT_EQ(DecodedText(Encoded), u"Carried caf\u00E9.\n");
}

TEST(CdoMessageTest, OpenObjectNeedsAStreamAndTheStreamInterface) {
  const TAutoValue Message = CreateOleObject("CDO.Message");
  const TAutoValue Stream = CreateOleObject("ADODB.Stream");
  Stream.Call("Open");
  EXPECT_EQ(RaisedError([&] { Message.Get("DataSource").Call("OpenObject", Stream, u"_Record"); }),
            "EOleException: The requested interface is not supported");
  EXPECT_EQ(RaisedError([&] { Message.Get("DataSource").Call("OpenObject", u"file.eml", u"_Stream"); }),
            "EOleSysError: Type mismatch");
  EXPECT_NO_THROW(Message.Get("DataSource").Call("OpenObject", Stream, u"_stream"));
}

// The decoded content of a part, as bytes.
static std::string ContentBytes(const TAutoValue &APart) { return StreamContent(APart.Call("GetDecodedContentStream")); }

TEST(CdoMessageTest, CarriedMessageContentIsItsBytesUpToTheNextEnclosingBoundary) {
  // The carried message keeps its own line ends and everything up to the line
  // break before the next boundary of any enclosing multipart; a boundary
  // that only starts like an enclosing one, or a boundary of the carried
  // message itself, does not end it.
  const std::string Carried = "Message-ID: <a@b>\r\n"
                              "Content-Type: multipart/mixed; boundary=\"in\"\r\n"
                              "\r\n"
                              "--in\r\n"
                              "\r\n"
                              "--outer-not\r\n"
                              "--in--\r\n"
                              "epilogue\r\n";
  const std::string Source = "Content-Type: multipart/report; boundary=\"outer\"\r\n"
                             "\r\n"
                             "--outer\r\n"
                             "Content-Type: message/rfc822\r\n"
                             "\r\n" +
                             Carried +
                             "\r\n"
                             "--outer  \r\n"
                             "\r\n"
                             "tail\r\n"
                             "--outer--\r\n";
  const TAutoValue Part = LoadMessage(Source).Get("BodyPart").Get("BodyParts", 1);
  EXPECT_EQ(MediaType(Part), "message/rfc822");
  EXPECT_EQ(ContentBytes(Part), Carried);
}

TEST(CdoMessageTest, CarriedMessagesEndAtTheirOwnEnclosingBoundaryInAnyReadingOrder) {
  // Three carried messages under different chains of multiparts: the first
  // ends at the inner boundary (one ending in "--" itself), the second at the
  // outer one, the third, outside the inner multipart, only at the outer
  // closing line. The ends must not depend on which part was read first.
  const std::string Source = "Content-Type: multipart/mixed; boundary=\"a\"\n"
                             "\n"
                             "--a\n"
                             "Content-Type: multipart/mixed; boundary=\"b--\"\n"
                             "\n"
                             "--b--\n"
                             "Content-Type: message/rfc822\n"
                             "\n"
                             "Subject: one\n"
                             "--bx\n"
                             "--b--  \t\n"
                             "Content-Type: message/rfc822\n"
                             "\n"
                             "Subject: two\n"
                             "\n"
                             "--a\n"
                             "Content-Type: message/rfc822\n"
                             "\n"
                             "Subject: three\n"
                             "--b----\n"
                             "--a--\n";
  const TAutoValue Root = LoadMessage(Source).Get("BodyPart");
  ASSERT_EQ(Outline(Root), "multipart/mixed(multipart/mixed(message/rfc822(-),message/rfc822(-)),message/rfc822(-))");
  const std::string Expected[] = {"Subject: one\n--bx", "Subject: two\n", "Subject: three\n--b----"};
  const TAutoValue Inner = Root.Get("BodyParts", 1);
  const TAutoValue Carried[] = {Inner.Get("BodyParts", 1), Inner.Get("BodyParts", 2), Root.Get("BodyParts", 2)};
  for (const int Index : {1, 0, 2, 1, 0})
    EXPECT_EQ(ContentBytes(Carried[Index]), Expected[Index]) << Index;
}
