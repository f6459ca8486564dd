// Texts for system error codes: prefixes, the message source and identifier, trimming, the
// fallback text, cuts, and the caller's last error kept on every path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim.h"
#include "support/error_text.h"

namespace {

const WCHAR Canary = 0xA5A5;
const DWORD GuardLength = 16;
const DWORD CallerError = 0xFEED;
const DWORD SystemFlags = 0x12FF;
const DWORD ModuleFlags = 0xAFF;
const std::u16string Fallback = u"*** no error description ***";

struct Described {
  std::u16string text;
  DWORD count;
};

// Describes `code` into a buffer followed by a guard zone, and checks what every call must
// keep: the caller's last error, the terminator within the capacity, the count.
Described Describe(DWORD code, DWORD capacity = ERROR_TEXT_CAPACITY, HMODULE module = nullptr) {
  std::vector<WCHAR> area(capacity + GuardLength, Canary);
  SetLastError(CallerError);
  DWORD count = module ? DescribeErrorInModule(area.data(), capacity, code, module)
                       : DescribeError(area.data(), capacity, code);
  EXPECT_EQ(GetLastError(), CallerError);
  EXPECT_LT(count, capacity);
  if (count >= capacity) count = capacity - 1;
  EXPECT_EQ(area[count], 0) << "text not terminated";
  EXPECT_EQ(std::u16string(area.data()).size(), count);
  for (DWORD i = capacity; i < area.size(); ++i) EXPECT_EQ(area[i], Canary) << "written past the capacity";
  return {std::u16string(area.data(), count), count};
}

class ErrorTextTest : public ::testing::Test {
 protected:
  void SetUp() override { SimReset(); }
};

struct LookupCase {
  DWORD code;
  DWORD id;  // the identifier FormatMessageW is asked for
  const char16_t* expected;
};

const LookupCase SystemCases[] = {
    {0, 0, u"0 - The operation finished without error"},
    {5, 5, u"5 - Access is denied"},
    {65535, 65535, u"65535 - *** no error description ***"},
    {65536, 65536, u"0x010000 - *** no error description ***"},
    // facility 7: a wrapped system error, looked up by its low 16 bits
    {0x80070005, 5, u"0x80070005 - Access is denied"},
    {0x00070005, 5, u"0x070005 - Access is denied"},
    {0x8007FFFF, 0xFFFF, u"0x8007FFFF - *** no error description ***"},
    // other facilities are looked up as a whole
    {0xC0000005, 0xC0000005, u"0xC0000005 - *** no error description ***"},
    {0x80040005, 0x80040005, u"0x80040005 - *** no error description ***"},
    {0xFFFFFFFF, 0xFFFFFFFF, u"0xFFFFFFFF - *** no error description ***"},
    {1234, 1234, u"1234 - *** no error description ***"},
};

TEST_F(ErrorTextTest, SystemTextFollowsThePrefix) {
  for (const LookupCase& c : SystemCases) {
    SCOPED_TRACE(c.code);
    SimReset();
    Described d = Describe(c.code);
    EXPECT_EQ(d.text, c.expected);
    std::vector<SimFormatMessageCall> calls = SimFormatMessageCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].flags, SystemFlags);
    EXPECT_EQ(calls[0].source, nullptr);
    EXPECT_EQ(calls[0].id, c.id);
    EXPECT_EQ(calls[0].language, 0x400u);
    // the room after the prefix, terminator included
    EXPECT_EQ(calls[0].size, ERROR_TEXT_CAPACITY - d.text.find(u" - ") - 3);
    EXPECT_EQ(SimCallCount("GetModuleHandleW"), 0u);
  }
}

TEST_F(ErrorTextTest, CodeWithOtherFacilityUsesTheSystemTextOfTheWholeCode) {
  SimSetMessage(nullptr, 0xC0000005, u"The instruction referenced memory that was not valid.\r\n");
  EXPECT_EQ(Describe(0xC0000005).text, u"0xC0000005 - The instruction referenced memory that was not valid");
}

struct InternetCase {
  DWORD code;
  bool fromLibrary;
  DWORD id;
  const char16_t* expected;
};

// wininet.dll loaded, with texts for 12029 and 12499 only; the system has texts for 11999,
// 12000 and 12500, and for 0x80042EFD.
const InternetCase InternetCases[] = {
    {12029, true, 12029, u"12029 - The connection could not be made"},
    {0x80072EFD, true, 12029, u"0x80072EFD - The connection could not be made"},
    {12499, true, 12499, u"12499 - Last of the range"},
    {12000, true, 12000, u"12000 - *** no error description ***"},  // the system is not asked
    {11999, false, 11999, u"11999 - Below the range"},
    {12500, false, 12500, u"12500 - Above the range"},
    {0x80042EFD, false, 0x80042EFD, u"0x80042EFD - Other facility"},
    {0x00012EFD, false, 0x00012EFD, u"0x012EFD - *** no error description ***"},
};

TEST_F(ErrorTextTest, InternetRangeUsesTheLoadedLibraryTableOnly) {
  for (const InternetCase& c : InternetCases) {
    SCOPED_TRACE(c.code);
    SimReset();
    SimLoadModule(u"kernel32.dll");
    SimLoadModule(u"WinINet.DLL");
    HMODULE wininet = SimModuleHandle(u"wininet.dll");
    SimSetMessage(wininet, 12029, u"The connection could not be made.\r\n");
    SimSetMessage(wininet, 12499, u"Last of the range.\r\n");
    SimSetMessage(nullptr, 11999, u"Below the range.\r\n");
    SimSetMessage(nullptr, 12000, u"System text for 12000.\r\n");
    SimSetMessage(nullptr, 12500, u"Above the range.\r\n");
    SimSetMessage(nullptr, 0x80042EFD, u"Other facility.\r\n");
    EXPECT_EQ(Describe(c.code).text, c.expected);
    std::vector<SimFormatMessageCall> calls = SimFormatMessageCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].flags, c.fromLibrary ? ModuleFlags : SystemFlags);
    EXPECT_EQ(calls[0].source, c.fromLibrary ? wininet : nullptr);
    EXPECT_EQ(calls[0].id, c.id);
  }
}

TEST_F(ErrorTextTest, InternetRangeWithoutTheLibraryAsksTheSystem) {
  SimSetMessage(nullptr, 12029, u"System text for 12029.\r\n");
  EXPECT_EQ(Describe(12029).text, u"12029 - System text for 12029");
  EXPECT_EQ(Describe(12030).text, u"12030 - " + Fallback);
  EXPECT_EQ(SimCallCount("GetModuleHandleW"), 2u);
  for (const SimFormatMessageCall& call : SimFormatMessageCalls()) {
    EXPECT_EQ(call.flags, SystemFlags);
    EXPECT_EQ(call.source, nullptr);
  }
  // A failing module lookup is no different.
  SimReset();
  SimLoadModule(u"wininet.dll");
  SimFailCall("GetModuleHandleW", 1, ERROR_INVALID_PARAMETER);
  SimSetMessage(nullptr, 12029, u"System text for 12029.\r\n");
  EXPECT_EQ(Describe(12029).text, u"12029 - System text for 12029");
}

TEST_F(ErrorTextTest, GivenModuleIsTheOnlyTableSearched) {
  SimLoadModule(u"messages.dll");
  HMODULE module = SimModuleHandle(u"messages.dll");
  SimSetMessage(module, 42, u"Own text for %1.\r\n");
  SimSetMessage(module, 5, u"Own access text.\r\n");
  EXPECT_EQ(Describe(42, ERROR_TEXT_CAPACITY, module).text, u"42 - Own text for %1");
  EXPECT_EQ(Describe(0x80070005, ERROR_TEXT_CAPACITY, module).text, u"0x80070005 - Own access text");
  EXPECT_EQ(Describe(2, ERROR_TEXT_CAPACITY, module).text, u"2 - " + Fallback);  // no system text
  EXPECT_EQ(Describe(12029, ERROR_TEXT_CAPACITY, module).text, u"12029 - " + Fallback);
  std::vector<SimFormatMessageCall> calls = SimFormatMessageCalls();
  ASSERT_EQ(calls.size(), 4u);
  for (const SimFormatMessageCall& call : calls) {
    EXPECT_EQ(call.flags, ModuleFlags);
    EXPECT_EQ(call.source, module);
    EXPECT_EQ(call.language, 0x400u);
  }
  EXPECT_EQ(calls[1].id, 5u);
  EXPECT_EQ(SimCallCount("GetModuleHandleW"), 0u);
}

struct TrimCase {
  const char16_t* message;
  const char16_t* expected;
};

const TrimCase TrimCases[] = {
    {u"Done.\r\n", u"Done"},
    {u"Done. \r\n", u"Done"},
    {u"Done .\t \r\n\r\n", u"Done"},
    {u"Done....", u"Done"},
    {u"Ends with a line feed\n", u"Ends with a line feed"},
    {u"Line one\r\nline two.\r\n", u"Line one line two"},
    {u"Dots. inside. stay", u"Dots. inside. stay"},
    {u"Insert %1 stays.\r\n", u"Insert %1 stays"},
    {u"  Leading blanks stay", u"  Leading blanks stay"},
    {u"x", u"x"},
    // the first character is never removed
    {u".", u"."},
    {u".\r\n", u"."},
    {u"...", u"."},
    {u" \r\n", u" "},
    {u"\t.", u"\t"},
};

TEST_F(ErrorTextTest, TrimsLineEndsBlanksAndFullStopsButNotTheFirstCharacter) {
  for (const TrimCase& c : TrimCases) {
    SCOPED_TRACE(SimUtf8(c.message));
    SimSetMessage(nullptr, 40000, c.message);
    Described d = Describe(40000);
    EXPECT_EQ(d.text, u"40000 - " + std::u16string(c.expected));
  }
}

TEST_F(ErrorTextTest, FailedLookupGivesTheFallbackText) {
  SimFailCall("FormatMessageW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Describe(5).text, u"5 - " + Fallback);
  EXPECT_EQ(SimFormatMessageCalls().size(), 1u);
}

TEST_F(ErrorTextTest, TooLongTextIsCutAtTheRoom) {
  SimSetMessage(nullptr, 40100, std::u16string(300, u'a') + u".\r\n");
  Described d = Describe(40100);
  EXPECT_EQ(d.text, u"40100 - " + std::u16string(247, u'a'));
  EXPECT_EQ(d.count, 255u);

  // A cut that ends in blanks is trimmed like any text.
  SimSetMessage(nullptr, 40101, u"ab" + std::u16string(400, u' ') + u"cd");
  EXPECT_EQ(Describe(40101, 20).text, u"40101 - ab");

  // The system's own "does not fit" answer is taken at its word.
  SimReset();
  SimFailCall("FormatMessageW", 1, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Describe(5).text, u"5 - Access is denied");
  SimReset();
  SimFailCall("FormatMessageW", 1, ERROR_INSUFFICIENT_BUFFER);
  SimFailCall("FormatMessageW", 2, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Describe(5).text, u"5 - " + Fallback);
}

TEST_F(ErrorTextTest, TextLongerThanTheLocalAreaGivesTheFallback) {
  SimSetMessage(nullptr, 40102, std::u16string(2000, u'a'));
  EXPECT_EQ(Describe(40102).text, u"40102 - " + Fallback);
  std::vector<SimFormatMessageCall> calls = SimFormatMessageCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_GT(calls[1].size, calls[0].size);
}

struct CapacityCase {
  DWORD capacity;
  DWORD code;
  const char16_t* expected;
};

const CapacityCase CapacityCases[] = {
    {1, 5, u""},
    {3, 5, u"5 "},
    {5, 5, u"5 - "},
    {6, 5, u"5 - A"},
    {10, 5, u"5 - Acces"},
    {15, 5, u"5 - Access is"},  // cut after "is ", then trimmed
    {12, 0x80070005, u"0x80070005 "},
    {12, 1234, u"1234 - *** "},  // the fallback text is cut but not trimmed
};

TEST_F(ErrorTextTest, SmallCapacitiesCutAndTerminate) {
  for (const CapacityCase& c : CapacityCases) {
    SCOPED_TRACE(std::to_string(c.code) + " capacity " + std::to_string(c.capacity));
    Described d = Describe(c.code, c.capacity);
    EXPECT_EQ(d.text, c.expected);
  }
}

TEST_F(ErrorTextTest, NoBufferWritesNothingAndBreaksOnlyUnderADebugger) {
  WCHAR buffer[4] = {u'#', 0, 0, 0};
  for (bool debugger : {false, true}) {
    SimReset();
    SimSetDebuggerPresent(debugger);
    SetLastError(CallerError);
    EXPECT_EQ(DescribeError(nullptr, ERROR_TEXT_CAPACITY, 5), 0u);
    EXPECT_EQ(DescribeError(buffer, 0, 5), 0u);
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(GetLastError(), CallerError);
    EXPECT_TRUE(SimFormatMessageCalls().empty());
    EXPECT_EQ(SimBreakpointCount(), debugger ? 2 : 0);
  }
}

}  // namespace
