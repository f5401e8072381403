// Tests for the automation value, late-bound dispatch, creation by ProgID and the OLE error helpers.
#include "automation/AutoValue_un.h"

#include "automation/ComObj_un.h"
#include "rtl/SysUtils_un.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace bw;

using bwtest::RaisedError;

namespace {
// Records how it was invoked and answers with the number of arguments.
class TRecordingObject : public IAutoObject {
public:
  TAutoValue Invoke(std::string_view AName, TInvokeKind AKind, std::span<const TAutoValue> AArgs) override {
    Calls.push_back(std::string(AName) + "/" + std::to_string(AKind) + "/" + std::to_string(AArgs.size()));
    for (const TAutoValue &Arg : AArgs)
      ArgTypes.push_back(Arg.Type());
    return TAutoValue(static_cast<int>(AArgs.size()));
  }
  std::vector<std::string> Calls;
  std::vector<TAutoValueType> ArgTypes;
};
}  // namespace

TEST(AutoValueTest, EachConstructorGivesItsKind) {
  const auto Object = std::make_shared<TRecordingObject>();
  const TAutoValue Values[] = {TAutoValue(),
                               TAutoValue::Null(),
                               TAutoValue(7),
                               TAutoValue(u"text"),
                               TAutoValue(TAutoObjectRef(Object)),
                               TAutoValue(TByteArray{1, 2}),
                               TAutoValue::Omitted()};
  const TAutoValueType Types[] = {avEmpty, avNull, avInteger, avText, avObject, avByteArray, avOmitted};
  for (std::size_t I = 0; I < std::size(Types); ++I) {
    EXPECT_EQ(Values[I].Type(), Types[I]);
    EXPECT_EQ(Values[I].AsObject(), I == 4 ? Object.get() : nullptr);
  }
  TAutoValue Value = Values[4];
  Value.Clear();
  EXPECT_TRUE(Value.IsEmpty());
  EXPECT_EQ(Object.use_count(), 2);  // Values[4] still holds it; the cleared copy let go
}

TEST(AutoValueTest, ConversionsToTextAndInteger) {
  EXPECT_EQ(TAutoValue().AsString(), "");
  EXPECT_EQ(TAutoValue().AsWideString(), u"");
  EXPECT_EQ(TAutoValue(u"caf\u00E9").AsString(), "caf\xC3\xA9");  // the locale's code page: UTF-8
  EXPECT_EQ(TAutoValue(u"caf\u00E9").AsWideString(), u"caf\u00E9");
  EXPECT_EQ(TAutoValue(-42).AsString(), "-42");
  EXPECT_EQ(TAutoValue(std::int64_t{1} << 40).AsWideString(), u"1099511627776");
  EXPECT_EQ(TAutoValue().AsInteger(), 0);
  EXPECT_EQ(TAutoValue(12).AsInteger(), 12);
  EXPECT_EQ(TAutoValue(u" 12 ").AsInteger(), 12);
  EXPECT_EQ(TAutoValue(u"-3").AsInteger(), -3);
  EXPECT_EQ(TAutoValue(TByteArray{0, 255}).AsByteArray(), (TByteArray{0, 255}));
}

TEST(AutoValueTest, FailedConversionsNameBothTypes) {
  const auto Object = std::make_shared<TRecordingObject>();
  const std::string Prefix = "EVariantTypeCastError: Could not convert variant of type ";
  EXPECT_EQ(RaisedError([] { (void)TAutoValue::Null().AsString(); }), Prefix + "(Null) into type (String)");
  EXPECT_EQ(RaisedError([] { (void)TAutoValue::Null().AsWideString(); }), Prefix + "(Null) into type (OleStr)");
  EXPECT_EQ(RaisedError([&] { (void)TAutoValue(TAutoObjectRef(Object)).AsString(); }),
            Prefix + "(Dispatch) into type (String)");
  EXPECT_EQ(RaisedError([] { (void)TAutoValue(TByteArray{1}).AsWideString(); }),
            Prefix + "(Array Byte) into type (OleStr)");
  EXPECT_EQ(RaisedError([] { (void)TAutoValue(u"12x").AsInteger(); }), Prefix + "(OleStr) into type (Int64)");
  EXPECT_EQ(RaisedError([] { (void)TAutoValue(u"").AsInteger(); }), Prefix + "(OleStr) into type (Int64)");
  EXPECT_EQ(RaisedError([] { (void)TAutoValue::Null().AsInteger(); }), Prefix + "(Null) into type (Int64)");
  EXPECT_EQ(RaisedError([] { (void)TAutoValue(u"x").AsByteArray(); }), Prefix + "(OleStr) into type (Array Byte)");
}

TEST(AutoValueTest, HelpersChooseTheCallKind) {
  const auto Object = std::make_shared<TRecordingObject>();
  const TAutoValue Value{TAutoObjectRef(Object)};
  EXPECT_EQ(Value.Get("Size").AsInteger(), 0);
  EXPECT_EQ(Value.Get("Item", 1, u"two").AsInteger(), 2);
  EXPECT_EQ(Value.Call("Close").AsInteger(), 0);
  EXPECT_EQ(Value.Call("Open", TAutoValue::Omitted()).AsInteger(), 1);
  Value.Set("Type", 2);
  EXPECT_EQ(Object->Calls, (std::vector<std::string>{"Size/3/0", "Item/2/2", "Close/1/0", "Open/1/1", "Type/4/1"}));
  EXPECT_EQ(Object->ArgTypes, (std::vector<TAutoValueType>{avInteger, avText, avOmitted, avInteger}));
}

TEST(AutoValueTest, InvokingWithoutAnObjectIsAnInvalidOperation) {
  const std::string Expected = "EVariantInvalidOpError: Invalid variant operation";
  for (const TAutoValue &Value :
       {TAutoValue(), TAutoValue::Null(), TAutoValue(1), TAutoValue(u"ADODB.Stream"), TAutoValue(TByteArray{1})}) {
    EXPECT_EQ(RaisedError([&] { (void)Value.Get("Size"); }), Expected);
    EXPECT_EQ(RaisedError([&] { (void)Value.Call("Open"); }), Expected);
    EXPECT_EQ(RaisedError([&] { Value.Set("Type", 1); }), Expected);
  }
}

TEST(AutoValueTest, CreateOleObjectFindsRegisteredClassesInAnyCase) {
  for (const char *ProgID : {"ADODB.Stream", "adodb.stream", "CDO.Message", "cdo.MESSAGE"})
    EXPECT_TRUE(CreateOleObject(ProgID).IsObject()) << ProgID;
  // Each creation is a new object.
  const TAutoValue First = CreateOleObject("ADODB.Stream");
  EXPECT_NE(First.AsObject(), CreateOleObject("ADODB.Stream").AsObject());
  try {
    (void)CreateOleObject("No.Such");
    FAIL() << "an unknown ProgID was created";
  } catch (const EOleSysError &E) {
    EXPECT_STREQ(E.ClassName(), "EOleSysError");
    EXPECT_EQ(E.Message(), "Invalid class string");
    EXPECT_EQ(E.ErrorCode(), CO_E_CLASSSTRING);
  }
}

TEST(AutoValueTest, RegisteringAProgIDAgainReplacesItsFactory) {
  // Leaves the registry as it found it, whatever the checks below do.
  struct TScopedRegistration {
    ~TScopedRegistration() { UnregisterOleClass("Test.Recorder"); }
  } Registration;
  const auto Object = std::make_shared<TRecordingObject>();
  RegisterOleClass("Test.Recorder", [Object] { return Object; });
  RegisterOleClass("TEST.RECORDER", [] { return std::make_shared<TRecordingObject>(); });
  EXPECT_NE(CreateOleObject("test.recorder").AsObject(), Object.get());
}

TEST(AutoValueTest, UnregisteringAProgIDForgetsOnlyThatClass) {
  RegisterOleClass("Test.Transient", [] { return std::make_shared<TRecordingObject>(); });
  UnregisterOleClass("TEST.transient");
  EXPECT_EQ(RaisedError([] { (void)CreateOleObject("Test.Transient"); }), "EOleSysError: Invalid class string");
  EXPECT_TRUE(CreateOleObject("ADODB.Stream").IsObject());
}

TEST(AutoValueTest, StandInMembersAreFoundInAnyCaseAndUnknownOnesRaise) {
  const TAutoValue Stream = CreateOleObject("ADODB.Stream");
  EXPECT_EQ(Stream.Get("CHARSET").AsWideString(), u"Unicode");
  EXPECT_EQ(Stream.Get("charset").AsWideString(), u"Unicode");
  EXPECT_EQ(RaisedError([&] { (void)Stream.Call("Foo"); }),
            "EOleError: Method 'Foo' not supported by automation object");
  EXPECT_EQ(RaisedError([&] { Stream.Set("Bar", 1); }), "EOleError: Method 'Bar' not supported by automation object");
  // A read-only member refuses a write, a write-only one a read, and a count
  // mismatch is refused before anything runs.
  EXPECT_EQ(RaisedError([&] { Stream.Set("Size", 1); }), "EOleSysError: Member not found");
  EXPECT_EQ(RaisedError([&] { (void)Stream.Get("Type"); }), "EOleSysError: Member not found");
  EXPECT_EQ(RaisedError([&] { (void)Stream.Get("Size", 1); }), "EOleSysError: Invalid number of parameters");
}

TEST(AutoValueTest, OleErrorHelpersTrimTextAndKeepTheCode) {
  const struct {
    std::function<void()> Raise;
    std::string Expected;
    std::int32_t Code;
  } Cases[] = {
      {[] { OleError(DISP_E_TYPEMISMATCH); }, "EOleSysError: Type mismatch", DISP_E_TYPEMISMATCH},
      {[] { OleError(E_FAIL); }, "EOleSysError: Unspecified error", E_FAIL},
      {[] { OleError(static_cast<std::int32_t>(0x80041234)); }, "EOleSysError: OLE error 80041234",
       static_cast<std::int32_t>(0x80041234)},
      {[] { OleException("The index is out of range. \r\n"); }, "EOleException: The index is out of range",
       DISP_E_EXCEPTION},
      {[] { OleException("Stopped...\t", E_FAIL); }, "EOleException: Stopped", E_FAIL},
      // Nothing left of the description: the status code's text stands in.
      {[] { OleException(" . ", E_FAIL); }, "EOleException: Unspecified error", E_FAIL},
      {[] { OleException(""); }, "EOleException: Exception occurred", DISP_E_EXCEPTION},
  };
  for (const auto &Case : Cases) {
    EXPECT_EQ(RaisedError(Case.Raise), Case.Expected);
    try {
      Case.Raise();
    } catch (const EOleSysError &E) {
      EXPECT_EQ(E.ErrorCode(), Case.Code) << Case.Expected;
    }
  }
}
