#include "LogCapture.h"
#include "Q7PlatformGeneral_Cmn.h"
#include "Q7PlatformGeneral_Posix.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

using namespace Q7::Platform;
using Q7::Universal::SourceLocation;
using Q7::Universal::UniversalString;
using Q7::Universal::UniversalStringA;

namespace
{

std::vector<std::uint8_t> Bytes(const UniversalStringA& s)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.c_str());
    return {p, p + s.Length()};
}

std::wstring W(const UniversalString& s)
{
    return s.c_str();
}

} // namespace

// ---------------------------------------------------------------- WideToMultiByte

TEST(GeneralCodePageTest, WideToMultiByteCodePages)
{
    EXPECT_EQ(Bytes(WideToMultiByte(L"\xC5", 0x1004)), (std::vector<std::uint8_t>{0xC5}));
    EXPECT_EQ(Bytes(WideToMultiByte(L"\xC5", 0x1001)), (std::vector<std::uint8_t>{0xC3, 0x85}));
    EXPECT_EQ(Bytes(WideToMultiByte(L"\xC5", 0x1002)), (std::vector<std::uint8_t>{0xC3, 0x85}));
    EXPECT_EQ(Bytes(WideToMultiByte(L"\x20AC\x2122\xE9", 0x1003)),
              (std::vector<std::uint8_t>{0x80, 0x99, 0xE9}));
    // Characters a single-byte page cannot hold become '?'.
    EXPECT_EQ(Bytes(WideToMultiByte(L"a\x0100", 0x1004)), (std::vector<std::uint8_t>{'a', '?'}));
    EXPECT_EQ(Bytes(WideToMultiByte(L"\xE9", 0x1005)), (std::vector<std::uint8_t>{'?'}));
    EXPECT_EQ(Bytes(WideToMultiByte(L"\x4E2D", 0x1003)), (std::vector<std::uint8_t>{'?'}));
}

TEST(GeneralCodePageTest, WideToMultiByteReplacesInvalidCodePointsInUtf8)
{
    const wchar_t text[] = {L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
    EXPECT_EQ(Bytes(WideToMultiByte(text, 0x1001)),
              (std::vector<std::uint8_t>{'a', 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}));
}

TEST(GeneralCodePageTest, UnknownEncodingIsReportedAndConvertsAsUtf8)
{
    const TestSupport::LogCapture capture;
    EXPECT_EQ(Bytes(WideToMultiByte(L"\xC5", 0x1006)), (std::vector<std::uint8_t>{0xC3, 0x85}));
    EXPECT_EQ(W(MultiByteToWide("\xC3\x85", 0x2001)), L"\xC5");
    const auto lines = capture.Captured();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].type, Q7::Universal::kLogMsgType_InternalError);
    EXPECT_EQ(lines[0].body.rfind(L"Internal Error: Unknown encoding. [ File=\"", 0), 0u) << lines[0].body;
}

TEST(GeneralCodePageTest, NullAndEmptyGiveNull)
{
    EXPECT_EQ(WideToMultiByte(nullptr, 0x1001).Get(), nullptr);
    EXPECT_EQ(WideToMultiByte(L"", 0x1003).Get(), nullptr);
    EXPECT_EQ(MultiByteToWide(nullptr, 0x1001).Get(), nullptr);
    EXPECT_EQ(MultiByteToWide("", 0x1004).Get(), nullptr);
}

// ---------------------------------------------------------------- MultiByteToWide

TEST(GeneralCodePageTest, MultiByteToWideCodePages)
{
    EXPECT_EQ(W(MultiByteToWide("\xC5\xFF", 0x1004)), L"\xC5\xFF");
    EXPECT_EQ(W(MultiByteToWide("\x80\x9F\xA0", 0x1003)), L"\x20AC\x0178\xA0");
    // The five unassigned bytes of Windows-1252 map to the C1 controls.
    EXPECT_EQ(W(MultiByteToWide("\x81\x8D\x8F\x90\x9D", 0x1003)), L"\x81\x8D\x8F\x90\x9D");
    EXPECT_EQ(W(MultiByteToWide("a\xE9", 0x1005)), L"a\xFFFD");
    EXPECT_EQ(W(MultiByteToWide("\xF0\x9F\x98\x80", 0x1001)), std::wstring(1, static_cast<wchar_t>(0x1F600)));
}

// Code-page decoding replaces each invalid sequence (maximal ill-formed subpart)
// with one U+FFFD and goes on, instead of cutting the text.
TEST(GeneralCodePageTest, MultiByteToWideReplacesInvalidUtf8)
{
    EXPECT_EQ(W(MultiByteToWide("a\xFF"
                                "b",
                                0x1001)),
              L"a\xFFFD"
              L"b");
    EXPECT_EQ(W(MultiByteToWide("\xC0\xAF", 0x1001)), L"\xFFFD\xFFFD");                     // overlong
    EXPECT_EQ(W(MultiByteToWide("\xE2\x82x", 0x1001)), L"\xFFFDx");                         // truncated
    EXPECT_EQ(W(MultiByteToWide("\xED\xA0\x80", 0x1001)), L"\xFFFD\xFFFD\xFFFD");           // surrogate
    EXPECT_EQ(W(MultiByteToWide("\xF4\x90\x80\x80", 0x1001)), L"\xFFFD\xFFFD\xFFFD\xFFFD"); // > U+10FFFF
    EXPECT_EQ(W(MultiByteToWide("\xF0\x9F\x98", 0x1001)), L"\xFFFD"); // truncated at the end
    EXPECT_EQ(W(MultiByteToWide("\x80z", 0x1001)), L"\xFFFDz");       // stray continuation
}

TEST(GeneralCodePageTest, RoundTripsEverySingleBytePage)
{
    for (std::uint16_t page : {0x1003, 0x1004})
    {
        std::string all;
        for (int b = 1; b < 256; ++b)
        {
            all.push_back(static_cast<char>(b));
        }
        const UniversalString wide = MultiByteToWide(all.c_str(), page);
        EXPECT_EQ(std::string(WideToMultiByte(wide.c_str(), page).c_str()), all) << page;
    }
}

// ---------------------------------------------------------------- AppendWide

TEST(GeneralAppendTest, AppendsAndIgnoresEmpty)
{
    wchar_t* text = nullptr;
    AppendWide(text, nullptr);
    AppendWide(text, L"");
    EXPECT_EQ(text, nullptr);
    AppendWide(text, L"ab");
    AppendWide(text, L"c");
    EXPECT_EQ(std::wstring(text), L"abc");
    AppendWide(text, text + 1); // the addition may lie inside the owned text
    EXPECT_EQ(std::wstring(text), L"abcbc");
    delete[] text;

    char* narrow = nullptr;
    AppendWide(narrow, "x");
    AppendWide(narrow, "y");
    EXPECT_STREQ(narrow, "xy");
    delete[] narrow;
}

// ---------------------------------------------------------------- date and time

TEST(GeneralDateTimeTest, LocalAndUniversalTime)
{
    // The bounds come from the precise wall clock: std::time reads a coarse one
    // that may still show the previous second.
    const auto wallSeconds = []
    {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec;
    };
    const std::time_t before = wallSeconds();
    DateTime utc;
    GetDateTime(utc, false);
    DateTime local;
    GetDateTime(local, true);
    const std::time_t after = wallSeconds();
    EXPECT_GE(static_cast<std::time_t>(utc.seconds), before);
    EXPECT_LE(static_cast<std::time_t>(utc.seconds), after);
    EXPECT_LT(utc.milliseconds, 1000u);
    std::tm expected{};
    const std::time_t seconds = static_cast<std::time_t>(utc.seconds);
    gmtime_r(&seconds, &expected);
    EXPECT_EQ(utc.time.tm_year, expected.tm_year);
    EXPECT_EQ(utc.time.tm_yday, expected.tm_yday);
    EXPECT_EQ(utc.time.tm_hour, expected.tm_hour);
    EXPECT_EQ(utc.time.tm_min, expected.tm_min);
    EXPECT_GE(local.time.tm_year + 1900, 2024);
    EXPECT_GE(local.time.tm_mon, 0);
    EXPECT_LE(local.time.tm_mon, 11);
}

// ---------------------------------------------------------------- assertion text

TEST(GeneralAssertionTest, DialogTextHasEveryPart)
{
    EXPECT_EQ(W(AssertionDialogText(L"x != NULL", SourceLocation(L"/src/a/b/file.cpp", 42, L"Func"))),
              L"Assertion failed!\n\nExpression: ( x != NULL )\n\nFunction: Func\n\n"
              L"File: \"/src/a/b/file.cpp\"\nLine: 42\n\nPress OK to abort the application.");
    EXPECT_EQ(W(AssertionDialogText(nullptr, SourceLocation(nullptr, 0))),
              L"Assertion failed!\n\nPress OK to abort the application.");
}

TEST(GeneralAssertionTest, ShowAssertionDialogPrintsToStandardError)
{
    ::testing::internal::CaptureStderr();
    const int answer = ShowAssertionDialog(L"ok \xE9", SourceLocation(L"f.cpp", 3));
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(printed, "Assertion failed!\n\nExpression: ( ok \xC3\xA9 )\n\nFile: \"f.cpp\"\nLine: 3\n\n"
                       "Press OK to abort the application.\n");
}
