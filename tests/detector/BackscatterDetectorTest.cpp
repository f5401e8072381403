// TBackscatterDetector stage by stage: loading bounds, DSN classification,
// the walk for returned parts, reading part text, Message-ID extraction and
// matching.
#include "detector/BackscatterDetector_un.h"

#include "automation/ComObj_un.h"
#include "rtl/SysUtils_un.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using bw::TAutoValue;
using bw::TBackscatterDetector;

namespace {

// The detector with its stages and fields in reach, one at a time.
class TDetectorUnderTest : public TBackscatterDetector {
public:
  using TBackscatterDetector::AnyMessageIDMatches;
  using TBackscatterDetector::CheckMessageIDs;
  using TBackscatterDetector::Execute;
  using TBackscatterDetector::ExtractMessageIDs;
  using TBackscatterDetector::FindReturnedMessage;
  using TBackscatterDetector::FMessage;
  using TBackscatterDetector::FMimeFile;
  using TBackscatterDetector::FMsgIdRegex;
  using TBackscatterDetector::FP1Sender;
  using TBackscatterDetector::FReturnedParts;
  using TBackscatterDetector::IsDSN;
  using TBackscatterDetector::LoadMessage;
  using TBackscatterDetector::ReadPartText;
};

const std::u16string ContentTypeField = u"urn:schemas:mailheader:content-type";

// A detector with the file loaded, the sender empty and the pattern given.
std::unique_ptr<TDetectorUnderTest> LoadFile(const std::string &APath, const std::string &ARegex = "(?!)") {
  auto Detector = std::make_unique<TDetectorUnderTest>();
  Detector->FMimeFile = APath;
  Detector->FMsgIdRegex = ARegex;
  EXPECT_TRUE(Detector->LoadMessage()) << APath;
  return Detector;
}

std::unique_ptr<TDetectorUnderTest> LoadEml(const std::string &AName, const std::string &ARegex = "(?!)") {
  return LoadFile(bwtest::FixturePath("detector/" + AName), ARegex);
}

std::vector<std::string> MessageIDsOf(TDetectorUnderTest &ADetector) {
  std::vector<std::string> IDs{"stale"};
  ADetector.ExtractMessageIDs(IDs);
  return IDs;
}

// The media type of each returned part, in list order; "(null)" for a null entry.
std::vector<std::string> ReturnedMediaTypes(const TDetectorUnderTest &ADetector) {
  std::vector<std::string> Types;
  for (const TAutoValue &Part : ADetector.FReturnedParts.value())
    Types.push_back(Part.IsNull() ? "(null)"
                                  : TBackscatterDetector::GetMediaType(
                                        Part.Get("Fields", ContentTypeField).Get("Value").AsString()));
  return Types;
}

// A text stream of the stream object holding ABytes, positioned at its start.
TAutoValue MakeTextStream(const std::string &ABytes, const std::u16string &ACharset) {
  TAutoValue Stream = bw::CreateOleObject("ADODB.Stream");
  Stream.Call("Open");
  Stream.Set("Type", 1);
  Stream.Call("Write", bw::TByteArray(ABytes.begin(), ABytes.end()));
  Stream.Set("Position", 0);
  Stream.Set("Type", 2);
  Stream.Set("Charset", ACharset);
  return Stream;
}

// Passes every call on to a real stream and notes its member name, in lower
// case since member names are matched without regard to case, and its integer
// arguments, e.g. "readtext 48".
class TRecordingStream : public bw::IAutoObject {
public:
  explicit TRecordingStream(TAutoValue AInner) : FInner(std::move(AInner)) {}
  TAutoValue Invoke(std::string_view AName, bw::TInvokeKind AKind, std::span<const TAutoValue> AArgs) override {
    std::string Call;
    for (const char C : AName)
      Call += static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    for (const TAutoValue &Arg : AArgs)
      if (Arg.Type() == bw::avInteger)
        Call += " " + std::to_string(Arg.AsInteger());
    Calls.push_back(Call);
    return FInner.Invoke(AName, AKind, AArgs);
  }
  std::vector<std::string> Calls;

private:
  TAutoValue FInner;
};

TEST(BackscatterDetectorTest, LoadMessageTakesOnlySizesFromOneBelowTheBound) {
  const struct {
    std::size_t Size;
    bool Loaded;
  } Cases[] = {{0, false}, {1, true}, {511999, true}, {512000, false}, {600000, false}};
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Size);
    TDetectorUnderTest Detector;
    Detector.FMimeFile = bwtest::WriteTempFile("sized.eml", std::string(Case.Size, 'x'));
    EXPECT_EQ(Detector.LoadMessage(), Case.Loaded);
    EXPECT_EQ(Detector.FMessage.IsObject(), Case.Loaded);
  }
}

TEST(BackscatterDetectorTest, LoadMessageOfMissingFileRaisesOpenErrorWithFullPath) {
  TDetectorUnderTest Detector;
  const std::string Folder = std::filesystem::path(bwtest::WriteTempFile("present.eml", "x")).parent_path().string();
  Detector.FMimeFile = Folder + "/./absent.eml";
  try {
    Detector.LoadMessage();
    FAIL() << "no error raised";
  } catch (const bw::EFOpenError &Error) {
    EXPECT_EQ(Error.Message(), "Cannot open file \"" + Folder + "/absent.eml\". No such file or directory");
  }
  EXPECT_FALSE(Detector.FMessage.IsObject());
}

TEST(BackscatterDetectorTest, GetMediaTypeCutsAtFirstSpaceParenthesisOrSemicolon) {
  const struct {
    std::string ContentType;
    std::string MediaType;
  } Cases[] = {
      {"multipart/report; report-type=delivery-status", "multipart/report"},
      {"text/plain", "text/plain"},
      {"multipart/report(report)", "multipart/report"},
      {"Message/RFC822 ;x", "Message/RFC822"},
      {" multipart/report", ""},
      {"(c) multipart/report", ""},
      {";multipart/report", ""},
      {"", ""},
      {"multipart/report\treport-type=x", "multipart/report\treport-type=x"},
      {"text/plain,x y", "text/plain,x"},
      {"a\r\nb;c", "a\r\nb"},
      {"\"text/plain\"; x", "\"text/plain\""},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(TBackscatterDetector::GetMediaType(Case.ContentType), Case.MediaType) << Case.ContentType;
}

TEST(BackscatterDetectorTest, IsDsnByReportTypeOrBySenderMarkers) {
  const std::string Ordinary = "bob@example.org";
  const struct {
    std::string ContentType;  // empty: no Content-Type header at all
    std::string Sender;
    bool Dsn;
  } Cases[] = {
      {"multipart/report; report-type=delivery-status; boundary=b", Ordinary, true},
      {"Multipart/REPORT; boundary=b", Ordinary, true},
      {"multipart/report(x); boundary=b", Ordinary, true},
      {"multipart/reports; boundary=b", Ordinary, false},
      {"multipart/report-x; boundary=b", Ordinary, false},
      {"multipart/report\treport-type=delivery-status; boundary=b", Ordinary, false},
      {"(c) multipart/report; boundary=b", Ordinary, false},
      {";multipart/report; boundary=b", Ordinary, false},
      {"", Ordinary, false},
      {"", "", true},
      {"text/plain", "", true},
      {"text/plain", Ordinary, false},
      {"text/plain", "MAILER-DAEMON@mx.example.org", true},
      {"text/plain", "Mail Delivery <Mailer-Daemon@mx.example.org>", true},
      {"text/plain", "<postmaster@example.org>", true},
      {"text/plain", "not-the-postmaster@example.org", true},
      {"text/plain", "bounces+mailer-daemon@example.org", true},
      {"text/plain", "postmaster.example.org", false},
      {"text/plain", "postmaster at example.org", false},
      {"text/plain", "mailer-daemon", false},
      {"text/plain", "mailer_daemon@example.org", false},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.ContentType + " / " + Case.Sender);
    const std::string Header = Case.ContentType.empty() ? "" : "Content-Type: " + Case.ContentType + "\n";
    auto Detector = LoadFile(bwtest::WriteTempFile(
        "is-dsn.eml", "From: x@example.org\n" + Header + "\n--b\nContent-Type: text/plain\n\nx\n--b--\n"));
    Detector->FP1Sender = Case.Sender;
    EXPECT_EQ(Detector->IsDSN(), Case.Dsn);
  }
}

TEST(BackscatterDetectorTest, ReturnedPartsComeInDocumentOrderWithTextBodyAsFallback) {
  const struct {
    std::string File;
    std::vector<std::string> MediaTypes;
    std::vector<std::string> IDs;
  } Cases[] = {
      {"report-with-rfc822.eml", {"message/rfc822"}, {"returned.1@example.com"}},
      {"report-with-rfc822-headers.eml", {"text/rfc822-headers"}, {"headers.1@example.com"}},
      {"report-headers-before-rfc822.eml",
       {"text/rfc822-headers", "message/rfc822"},
       {"first@example.com", "second@example.org"}},
      {"rfc822-nested-in-rfc822.eml", {"message/rfc822", "message/rfc822"}, {"outer@example.com", "inner@example.net"}},
      {"rfc822-as-root.eml", {"message/rfc822"}, {"root@example.com"}},
      {"report-media-type-variants.eml", {"Message/RFC822"}, {"picked@example.com"}},
      {"report-without-returned-message.eml", {"text/plain"}, {"quoted@example.com"}},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.File);
    auto Detector = LoadEml(Case.File);
    Detector->FindReturnedMessage();
    ASSERT_TRUE(Detector->FReturnedParts.has_value());
    EXPECT_EQ(ReturnedMediaTypes(*Detector), Case.MediaTypes);
    EXPECT_EQ(MessageIDsOf(*Detector), Case.IDs);
  }
}

TEST(BackscatterDetectorTest, SearchAgainStartsFromAnEmptyList) {
  auto Detector = LoadEml("report-headers-before-rfc822.eml");
  Detector->FindReturnedMessage();
  Detector->FindReturnedMessage();
  EXPECT_EQ(ReturnedMediaTypes(*Detector), (std::vector<std::string>{"text/rfc822-headers", "message/rfc822"}));
}

TEST(BackscatterDetectorTest, MissingTextBodyLeavesOneNullEntryAndNoID) {
  auto Detector = LoadEml("report-without-text-body.eml", ".*");
  Detector->FindReturnedMessage();
  EXPECT_EQ(ReturnedMediaTypes(*Detector), std::vector<std::string>{"(null)"});
  EXPECT_EQ(MessageIDsOf(*Detector), std::vector<std::string>{});
  EXPECT_FALSE(Detector->CheckMessageIDs());
}

TEST(BackscatterDetectorTest, ReadPartTextOfNoStreamIsEmpty) {
  EXPECT_EQ(TDetectorUnderTest::ReadPartText(TAutoValue()), u"");
  EXPECT_EQ(TDetectorUnderTest::ReadPartText(TAutoValue::Null()), u"");
}

TEST(BackscatterDetectorTest, ReadPartTextReadsFourTimesTheByteSizeInTheStreamCharset) {
  const struct {
    std::string Bytes;
    std::u16string Charset;
    std::u16string Text;
  } Cases[] = {
      {"Message-ID: <\xC3\xBC\xE2\x82\xAC@x>", u"utf-8", u"Message-ID: <\u00FC\u20AC@x>"},
      {"\xE9t\xE9", u"ISO-8859-1", u"\u00E9t\u00E9"},
      {"+ADw-a+AD4-", u"utf-7", u"<a>"},
      {"", u"utf-8", u""},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Bytes);
    auto Recorder = std::make_shared<TRecordingStream>(MakeTextStream(Case.Bytes, Case.Charset));
    EXPECT_EQ(TDetectorUnderTest::ReadPartText(TAutoValue(Recorder)), Case.Text);
    EXPECT_EQ(Recorder->Calls, (std::vector<std::string>{"charset", "size",
                                                         "readtext " + std::to_string(4 * Case.Bytes.size())}));
  }
}

TEST(BackscatterDetectorTest, ReadPartTextCopiesUtf7AliasIntoAUtf7Stream) {
  for (const std::u16string Charset : {u"unicode-1-1-utf-7", u"Unicode-1-1-UTF-7"}) {
    const std::string Bytes = "Message-ID: +ADw-caf+AOk-+AEA-x+AD4-";
    auto Recorder = std::make_shared<TRecordingStream>(MakeTextStream(Bytes, Charset));
    EXPECT_EQ(TDetectorUnderTest::ReadPartText(TAutoValue(Recorder)), u"Message-ID: <caf\u00E9@x>");
    EXPECT_EQ(Recorder->Calls,
              (std::vector<std::string>{"charset", "size", "copyto " + std::to_string(4 * Bytes.size())}));
  }
}

TEST(BackscatterDetectorTest, Utf7AliasPartOfAMessageYieldsItsID) {
  auto Detector = LoadEml("report-with-utf7-headers.eml");
  Detector->FindReturnedMessage();
  EXPECT_EQ(MessageIDsOf(*Detector), std::vector<std::string>{"caf\xC3\xA9@example.com"});
}

TEST(BackscatterDetectorTest, ExtractMessageIDTakesRestOfLineAfterFirstKeyword) {
  const struct {
    std::u16string Text;
    bool Found;
    std::string ID;
  } Cases[] = {
      {u"Subject: x\r\nMessage-ID: <ABC.1@Example.COM>\r\nTo: y\r\n", true, "abc.1@example.com"},
      {u"MESSAGE-ID: <A@B>", true, "a@b"},
      {u"message-id:<a@b>\n", false, ""},
      {u"Message-ID:\t<a@b>\n", false, ""},
      {u"Message-Id:    <a@b>   \n", true, "a@b"},
      {u"X-Message-ID: <x@y>\nMessage-ID: <a@b>\n", true, "x@y"},
      {u"Resent-Message-Id: <r@y>\nMessage-ID: <a@b>\n", true, "r@y"},
      {u"Message-ID: <a@b>\nMessage-ID: <c@d>\n", true, "a@b"},
      {u"we kept the message-id: <body@x> of it\n", true, "body@xofit"},
      {u"Message-ID: x", false, ""},
      {u"Message-ID: xy", true, "xy"},
      {u"Message-ID: \n", false, ""},
      {u"Message-ID: <a@b>\rX: y", true, "a@b"},
      {u"Message-ID:  < a b >  \n", true, "ab"},
      {u"Message-ID: \t<a\tb>\x01\n", true, "a\tb"},
      {u"Message-ID: <\u00C4\u0416@X>\n", true, "\xC3\xA4\xD0\xB6@x"},
      {u"no keyword here\n", false, ""},
      // "Message-ID:" ending its line, the value folded onto the next.
      {u"Message-ID:\n <a@b>\nX-Message-ID: <c@d>\n", true, "a@b"},
      {u"Message-ID:\t \r\n\t<A@B>\r\n", true, "a@b"},
      {u"X-Message-ID: <x@y>\nMessage-ID:\n <a@b>\n", true, "x@y"},
      // Without the blank and not folded: skipped, and the search goes on.
      {u"Message-ID:<a@b>\nX-Message-ID: <c@d>\n", true, "c@d"},
      {u"Message-ID:\nSubject: x\nX-Message-ID: <c@d>\n", true, "c@d"},
      {u"Message-ID:\n", false, ""},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(testing::PrintToString(Case.Text));
    std::string ID = "unset";
    EXPECT_EQ(TBackscatterDetector::ExtractMessageID(Case.Text, ID), Case.Found);
    if (Case.Found) {
      EXPECT_EQ(ID, Case.ID);
    }
  }
}

TEST(BackscatterDetectorTest, ExtractMessageIDReadsAFoldedValueFromTheNextLineOnly) {
  const struct {
    std::u16string Text;
    std::string ID;
  } Cases[] = {
      {u"Message-ID: \n <a@b>\nSubject: x\n", "a@b"},
      {u"Message-ID: \r\n\t<a@b>\r\n", "a@b"},
      {u"Message-ID: \r <a@b>\r", "a@b"},
      {u"Message-ID:   \t\n <a@b>\n <c@d>\n", "a@b"},
      {u"Message-ID: \n <a@b>", "a@b"},
      {u"Message-ID: \n   \nSubject: x\n", ""},
      // Not folded: the next line starts with no blank, or the value is on the keyword's line.
      {u"Message-ID: \nSubject: x\n", ""},
      {u"Message-ID: \r\nSubject: x\r\n", ""},
      {u"Message-ID: \n\n <a@b>\n", ""},
      {u"Message-ID: <a@b>\n <c@d>\n", "a@b"},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(testing::PrintToString(Case.Text));
    std::string ID = "unset";
    EXPECT_TRUE(TBackscatterDetector::ExtractMessageID(Case.Text, ID));
    EXPECT_EQ(ID, Case.ID);
  }
}

TEST(BackscatterDetectorTest, CleanMessageIDDropsSpacesAndAngleBracketsOnly) {
  EXPECT_EQ(TBackscatterDetector::CleanMessageID(" <a b>\t<c>> "), "ab\tc");
  EXPECT_EQ(TBackscatterDetector::CleanMessageID("<< >>"), "");
  EXPECT_EQ(TBackscatterDetector::CleanMessageID("a(b)[c]\"d\"@e"), "a(b)[c]\"d\"@e");
}

TEST(BackscatterDetectorTest, AnyMessageIDMatchesIsAnchoredAndCaseInsensitive) {
  const struct {
    std::vector<std::string> IDs;
    std::string Regex;
    bool Matches;
  } Cases[] = {
      {{"abc@example.com"}, ".*@example\\.com$", true},
      {{"abc@example.com"}, ".*@EXAMPLE\\.COM$", true},
      {{"abc@example.com"}, "example\\.com$", false},
      {{"abc@example.com"}, "@example", false},
      {{"abc@example.com"}, "ABC", true},
      {{"abc@example.com.evil"}, ".*@example\\.com$", false},
      {{"x@other.example", "y@example.com"}, ".*@example\\.com$", true},
      {{"x@other.example", "y@other.example"}, ".*@example\\.com$", false},
      {{""}, "", true},
      {{""}, "x?", true},
      {{""}, ".+", false},
      {{"abc@example.com"}, "(", false},
      {{"abc@example.com"}, "a\xF0\x9F\x98\x80", false},
      {{"caf\xC3\xA9@x"}, "CAF\xC3\x89@", true},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Regex);
    TDetectorUnderTest Detector;
    Detector.FMsgIdRegex = Case.Regex;
    EXPECT_EQ(Detector.AnyMessageIDMatches(Case.IDs), Case.Matches);
  }
}

TEST(BackscatterDetectorTest, AnyMessageIDMatchesAssertsOnEmptyList) {
  TDetectorUnderTest Detector;
  Detector.FMsgIdRegex = ".*";
  try {
    Detector.AnyMessageIDMatches({});
    FAIL() << "no assertion raised";
  } catch (const bw::EAssertionFailed &Error) {
    EXPECT_STREQ(Error.ClassName(), "EAssertionFailed");
    EXPECT_EQ(Error.Message(), "Assertion failure (BackscatterDetector_un, line 351)");
  }
}

TEST(BackscatterDetectorTest, CheckMessageIDsIsTrueOnlyWhenNoExtractedIDMatches) {
  const struct {
    std::string File;
    std::string Regex;
    bool Backscatter;
  } Cases[] = {
      {"report-headers-before-rfc822.eml", "(?!)", true},
      {"report-headers-before-rfc822.eml", "first@", false},
      {"report-headers-before-rfc822.eml", "SECOND@example\\.org$", false},
      {"report-headers-before-rfc822.eml", ".*@example\\.net$", true},
      {"report-without-text-body.eml", "(?!)", false},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.File + " / " + Case.Regex);
    auto Detector = LoadEml(Case.File, Case.Regex);
    Detector->FindReturnedMessage();
    EXPECT_EQ(Detector->CheckMessageIDs(), Case.Backscatter);
  }
}

TEST(BackscatterDetectorTest, IsBackscatterStopsBeforeTheSearchWhenNotADsn) {
  const std::string Report = bwtest::FixturePath("detector/report-with-rfc822.eml");
  EXPECT_TRUE(TBackscatterDetector::IsBackscatter("", Report, ".*@example\\.net$"));
  EXPECT_FALSE(TBackscatterDetector::IsBackscatter("", Report, ".*@example\\.com$"));

  TDetectorUnderTest Detector;
  Detector.FP1Sender = "bob@example.org";
  Detector.FMimeFile = bwtest::WriteTempFile("plain.eml", "From: bob@example.org\n\nMessage-ID: <a@b>\n");
  Detector.FMsgIdRegex = "(?!)";
  EXPECT_FALSE(Detector.Execute());
  EXPECT_TRUE(Detector.FMessage.IsObject());
  EXPECT_FALSE(Detector.FReturnedParts.has_value());
}

} // namespace
