#include "LogCapture.h"
#include "Q7UniversalString.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

using namespace Q7::Universal;

namespace
{

std::vector<std::uint8_t> BytesOf(const void* data, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    return {p, p + size};
}

template <typename S>
std::vector<std::uint8_t> BytesOf(const S& s)
{
    return BytesOf(s.c_str(), s.Length() * sizeof(typename S::UnitType));
}

std::wstring W(const UniversalString& s)
{
    return s.c_str();
}

} // namespace

// ---------------------------------------------------------------- owned text

TEST(UniversalStringTest, DefaultIsNullButCStrIsEmptyText)
{
    const UniversalString s;
    EXPECT_EQ(s.Get(), nullptr);
    ASSERT_NE(s.c_str(), nullptr);
    EXPECT_EQ(s.c_str()[0], L'\0');
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.Length(), 0u);
}

TEST(UniversalStringTest, AssignEmptyOrNullLeavesNull)
{
    UniversalString s;
    s.Assign(L"abc");
    ASSERT_NE(s.Get(), nullptr);
    s.Assign(L"");
    EXPECT_EQ(s.Get(), nullptr);
    s.Assign(L"abc");
    s.Assign(nullptr);
    EXPECT_EQ(s.Get(), nullptr);
}

// Catches a use after free when a string is assigned its own text or a part of it.
TEST(UniversalStringTest, AssignOwnPointerKeepsText)
{
    UniversalString s;
    s.Assign(L"hello world");
    s.Assign(s.Get());
    EXPECT_EQ(W(s), L"hello world");
    s.Assign(s.Get() + 6);
    EXPECT_EQ(W(s), L"world");
}

TEST(UniversalStringTest, CopyAndMoveOwnSeparateText)
{
    UniversalString a;
    a.Assign(L"text");
    UniversalString b(a);
    EXPECT_NE(a.Get(), b.Get());
    EXPECT_TRUE(a == b);
    UniversalString c(std::move(a));
    EXPECT_EQ(W(c), L"text");
    b = c;
    b = b;
    EXPECT_EQ(W(b), L"text");
}

TEST(UniversalStringTest, AppendJoinsAndIgnoresEmpty)
{
    UniversalString s;
    s.Append(nullptr);
    s.Append(L"");
    EXPECT_EQ(s.Get(), nullptr);
    s.Append(L"ab");
    s.Append(L"cd");
    EXPECT_EQ(W(s), L"abcd");
    s.Append(s.Get()); // appending its own text must read it before freeing it
    EXPECT_EQ(W(s), L"abcdabcd");

    UniversalStringA a;
    a.Append("x");
    a.Append("yz");
    EXPECT_STREQ(a.c_str(), "xyz");
}

// ---------------------------------------------------------------- formatting

TEST(UniversalStringFormatTest, FormatsWideAndNumbers)
{
    const UniversalString s(L"%ls=%d (0x%x) %-5llu|", L"value", -7, 255u, 12ull);
    EXPECT_EQ(W(s), L"value=-7 (0xff) 12   |");
}

// Narrow arguments are UTF-8 whatever the process locale (glibc's "C" locale
// would refuse every byte above 0x7F).
TEST(UniversalStringFormatTest, NarrowArgumentsAreUtf8)
{
    const UniversalString s(L"%s|%hs|%.1s", "caf\xC3\xA9", "\xE2\x82\xAC", "xy");
    EXPECT_EQ(W(s), L"caf\xE9|\x20AC|x");
}

TEST(UniversalStringFormatTest, InvalidArgumentIsReportedAndGivesNull)
{
    const TestSupport::LogCapture capture;
    const UniversalString s(L"a%sb", "\xFF");
    EXPECT_EQ(s.Get(), nullptr);
    const auto bodies = capture.Bodies();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_EQ(bodies[0].rfind(L"Internal Error: vswprintf - (2#84) Standard error: ", 0), 0u) << bodies[0];
}

TEST(UniversalStringFormatTest, NullFormatGivesNull)
{
    UniversalString s;
    s.Assign(L"old");
    s.Format(nullptr);
    EXPECT_EQ(s.Get(), nullptr);
}

TEST(UniversalStringFormatTest, EmptyResultIsNull)
{
    const UniversalString s(L"%ls", L"");
    EXPECT_EQ(s.Get(), nullptr);
}

// A literal 0 argument must be formatted, not taken for a va_list.
TEST(UniversalStringFormatTest, ZeroArgumentIsFormatted)
{
    const UniversalString s(L"%d", 0);
    EXPECT_EQ(W(s), L"0");
}

// Results longer than the first buffers must grow, not be cut or lost (glibc's
// vswprintf has no count-only mode).
TEST(UniversalStringFormatTest, LongResultsGrowUpToTheCap)
{
    for (std::size_t length : {511u, 512u, 513u, 1000u, 5000u, 65536u, 131071u})
    {
        const std::wstring text(length, L'x');
        const UniversalString s(L"%ls", text.c_str());
        EXPECT_EQ(s.Length(), length) << length;
    }
}

TEST(UniversalStringFormatTest, ResultAboveTheCapIsEmpty)
{
    const std::wstring text(131072, L'y');
    const UniversalString s(L"%ls", text.c_str());
    EXPECT_EQ(s.Get(), nullptr);
    const UniversalString t(L"a%ls", std::wstring(131071, L'y').c_str());
    EXPECT_EQ(t.Get(), nullptr);
}

// A process locale with a decimal comma must not change the library's texts.
TEST(UniversalStringFormatTest, DoesNotFollowTheProcessLocale)
{
    const char* comma = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "fr_FR"})
    {
        comma = std::setlocale(LC_NUMERIC, name);
        if (comma != nullptr)
        {
            break;
        }
    }
    if (comma == nullptr)
    {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    const UniversalString s(L"%.2f", 1.5);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(W(s), L"1.50");
}

TEST(UniversalStringFormatTest, FormatVReplacesText)
{
    UniversalString s;
    s.Assign(L"old");
    s.Format(L"%u-%u", 1u, 2u);
    EXPECT_EQ(W(s), L"1-2");
}

// Catches a use after free when the string's own text is the format or an
// argument of its Format: the old text must live until formatting is done.
TEST(UniversalStringFormatTest, FormatMayUseTheStringsOwnText)
{
    UniversalString s;
    s.Assign(L"abc");
    s.Format(L"%ls-%ls", s.c_str(), s.c_str());
    EXPECT_EQ(W(s), L"abc-abc");
    s.Assign(L"x%uy");
    s.Format(s.c_str(), 5u);
    EXPECT_EQ(W(s), L"x5y");
    // Longer than the first buffer, so the argument is read on every try.
    s.Assign(std::wstring(3000, L'q').c_str());
    s.Format(L"<%ls>", s.c_str());
    EXPECT_EQ(W(s), L"<" + std::wstring(3000, L'q') + L">");
}

// ---------------------------------------------------------------- byte-order marks

TEST(UniversalStringEncodingTest, ByteOrderMarks)
{
    EXPECT_EQ(GetByteOrderMark(0x1001), (std::vector<std::uint8_t>{0xEF, 0xBB, 0xBF}));
    EXPECT_EQ(GetByteOrderMark(0x2001), (std::vector<std::uint8_t>{0xFF, 0xFE}));
    EXPECT_EQ(GetByteOrderMark(0x2002), (std::vector<std::uint8_t>{0xFE, 0xFF}));
    EXPECT_EQ(GetByteOrderMark(0x4001), (std::vector<std::uint8_t>{0xFF, 0xFE, 0x00, 0x00}));
    EXPECT_EQ(GetByteOrderMark(0x4002), (std::vector<std::uint8_t>{0x00, 0x00, 0xFE, 0xFF}));
    EXPECT_TRUE(GetByteOrderMark(0x1002).empty());
    EXPECT_TRUE(GetByteOrderMark(0x1003).empty());
    EXPECT_TRUE(GetByteOrderMark(0).empty());
}

// ---------------------------------------------------------------- UTF-16 / UTF-32

TEST(UniversalStringEncodingTest, Utf16ByteOrderInMemory)
{
    EXPECT_EQ(BytesOf(ToUtf16(L"A", 0x2002)), (std::vector<std::uint8_t>{0x00, 0x41}));
    EXPECT_EQ(BytesOf(ToUtf16(L"A", 0x2001)), (std::vector<std::uint8_t>{0x41, 0x00}));
    EXPECT_EQ(BytesOf(ToUtf32(L"A", 0x4002)), (std::vector<std::uint8_t>{0, 0, 0, 0x41}));
    EXPECT_EQ(BytesOf(ToUtf32(L"A", 0x4001)), (std::vector<std::uint8_t>{0x41, 0, 0, 0}));
}

// wchar_t is 32 bits here: characters above U+FFFF need surrogate pairs in UTF-16.
TEST(UniversalStringEncodingTest, Utf16SurrogatePairs)
{
    const wchar_t text[] = {L'a', static_cast<wchar_t>(0x1F600), L'b', 0};
    const UniversalString16 le = ToUtf16(text, 0x2001);
    ASSERT_EQ(le.Length(), 4u);
    EXPECT_EQ(le.c_str()[1], 0xD83Du);
    EXPECT_EQ(le.c_str()[2], 0xDE00u);
    EXPECT_EQ(W(FromUtf16(le.c_str(), 0x2001)), std::wstring(text));

    const UniversalString16 be = ToUtf16(text, 0x2002);
    EXPECT_EQ(be.c_str()[1], 0x3DD8u);
    EXPECT_EQ(W(FromUtf16(be.c_str(), 0x2002)), std::wstring(text));
}

TEST(UniversalStringEncodingTest, RoundTripsEveryPairOfForms)
{
    const wchar_t text[] = {
        L'K', 0xC5, 0x20AC, 0xFEFF, static_cast<wchar_t>(0x10FFFF), static_cast<wchar_t>(0x10000), 0};
    const std::wstring expected(text);
    for (std::uint16_t order16 : {0x2001, 0x2002})
    {
        for (std::uint16_t order32 : {0x4001, 0x4002})
        {
            const UniversalString16 u16 = ToUtf16(text, order16);
            const UniversalString32 u32 = Utf16ToUtf32(u16.c_str(), order16, order32);
            EXPECT_EQ(W(FromUtf32(u32.c_str(), order32)), expected);
            const UniversalString16 back16 = Utf32ToUtf16(u32.c_str(), order32, order16);
            EXPECT_EQ(BytesOf(back16), BytesOf(u16));
            const UniversalStringA u8 = Utf16ToUtf8(u16.c_str(), order16);
            EXPECT_EQ(BytesOf(Utf32ToUtf8(u32.c_str(), order32)), BytesOf(u8));
            EXPECT_EQ(BytesOf(Utf8ToUtf16(u8.c_str(), order16)), BytesOf(u16));
            EXPECT_EQ(BytesOf(Utf8ToUtf32(u8.c_str(), order32)), BytesOf(u32));
        }
    }
}

// The converters neither add nor strip a byte-order mark.
TEST(UniversalStringEncodingTest, ByteOrderMarkPassesAsACharacter)
{
    const UniversalStringA u8 = ToUtf8(
        []
        {
            UniversalString s;
            s.Assign(L"\xFEFFx");
            return s;
        }());
    EXPECT_EQ(BytesOf(u8), (std::vector<std::uint8_t>{0xEF, 0xBB, 0xBF, 'x'}));
    const UniversalString16 u16 = Utf8ToUtf16("\xEF\xBB\xBFx", 0x2001);
    ASSERT_EQ(u16.Length(), 2u);
    EXPECT_EQ(u16.c_str()[0], 0xFEFFu);
}

TEST(UniversalStringEncodingTest, NullAndEmptyGiveNull)
{
    EXPECT_EQ(ToUtf16(nullptr, 0x2001).Get(), nullptr);
    EXPECT_EQ(ToUtf16(L"", 0x2001).Get(), nullptr);
    EXPECT_EQ(Utf8ToUtf32(nullptr, 0x4001).Get(), nullptr);
    EXPECT_EQ(Utf8ToUtf32("", 0x4001).Get(), nullptr);
    EXPECT_EQ(FromUtf16(nullptr, 0x2001).Get(), nullptr);
    EXPECT_EQ(Utf32ToUtf8(nullptr, 0x4001).Get(), nullptr);
}

// The strict conversions stop at the first invalid sequence and keep the text before it.
TEST(UniversalStringEncodingTest, Utf8InvalidByteEndsTheText)
{
    EXPECT_EQ(BytesOf(Utf8ToUtf16("ab\xFF"
                                  "cd",
                                  0x2001)),
              (std::vector<std::uint8_t>{'a', 0, 'b', 0}));
    // Overlong '/', an encoded surrogate, a value above U+10FFFF, a truncated sequence.
    for (const char* bad : {"ab\xC0\xAF", "ab\xED\xA0\x80", "ab\xF4\x90\x80\x80", "ab\xE2\x82", "ab\x80"})
    {
        const UniversalString32 u32 = Utf8ToUtf32(bad, 0x4001);
        ASSERT_EQ(u32.Length(), 2u) << bad;
        EXPECT_EQ(u32.c_str()[1], std::uint32_t('b'));
    }
}

TEST(UniversalStringEncodingTest, LoneSurrogatesAndLargeValuesEndTheText)
{
    const std::uint16_t loneHigh[] = {'a', 0xD800, 'b', 0};
    EXPECT_EQ(W(FromUtf16(loneHigh, 0x2001)), L"a");
    const std::uint16_t loneLow[] = {'a', 0xDC00, 0};
    EXPECT_EQ(Utf16ToUtf8(loneLow, 0x2001).Length(), 1u);
    const std::uint16_t highAtEnd[] = {'a', 0xDBFF, 0};
    EXPECT_EQ(Utf16ToUtf32(highAtEnd, 0x2001, 0x4001).Length(), 1u);
    const std::uint32_t big[] = {'a', 0x110000, 'b', 0};
    EXPECT_EQ(Utf32ToUtf8(big, 0x4001).Length(), 1u);
    const std::uint32_t surrogate[] = {'a', 0xDFFF, 0};
    EXPECT_EQ(Utf32ToUtf16(surrogate, 0x4001, 0x2001).Length(), 1u);
    const wchar_t wide[] = {L'a', static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ(ToUtf16(wide, 0x2001).Length(), 1u);
}

TEST(UniversalStringEncodingTest, UnknownOrderCodesMeanBigEndian)
{
    EXPECT_EQ(BytesOf(ToUtf16(L"A", 0x1234)), (std::vector<std::uint8_t>{0x00, 0x41}));
    EXPECT_EQ(BytesOf(ToUtf32(L"A", 0)), (std::vector<std::uint8_t>{0, 0, 0, 0x41}));
}

// ---------------------------------------------------------------- code pages

TEST(UniversalStringEncodingTest, EncodeAndDecodeText)
{
    EXPECT_EQ(BytesOf(EncodeText(L"\xC5", 0x1004)), (std::vector<std::uint8_t>{0xC5}));
    EXPECT_EQ(BytesOf(EncodeText(L"\xC5", 0x1001)), (std::vector<std::uint8_t>{0xC3, 0x85}));
    EXPECT_EQ(W(DecodeText("\xC3\x85", 0x1001)), L"\xC5");
    EXPECT_EQ(W(DecodeText("\x80", 0x1003)), L"\x20AC");
    UniversalString s;
    s.Assign(L"\x20AC");
    EXPECT_EQ(BytesOf(ToUtf8(s)), (std::vector<std::uint8_t>{0xE2, 0x82, 0xAC}));
}

// ToNarrow and FromNarrow use UTF-8 sized for the result: no multi-byte
// character is cut and the "C" locale does not refuse non-ASCII text.
TEST(UniversalStringEncodingTest, ToNarrowAndFromNarrowAreUtf8)
{
    const wchar_t text[] = {L'\xC5', L'\x20AC', static_cast<wchar_t>(0x1F600), 0};
    const UniversalStringA narrow = ToNarrow(text);
    EXPECT_STREQ(narrow.c_str(), "\xC3\x85\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(W(FromNarrow(narrow.c_str())), std::wstring(text));
    EXPECT_EQ(ToNarrow(nullptr).Get(), nullptr);
    EXPECT_EQ(FromNarrow("").Get(), nullptr);
}

// ---------------------------------------------------------------- trimming

TEST(UniversalStringTrimTest, Modes)
{
    UniversalString s;
    s.Assign(L" \t a b\tc \t");
    EXPECT_EQ(W(TrimWhitespace(s, 1)), L"a b\tc \t");
    EXPECT_EQ(W(TrimWhitespace(s, 2)), L" \t a b\tc");
    EXPECT_EQ(W(TrimWhitespace(s, 4)), L"abc");
    EXPECT_EQ(W(TrimWhitespace(s, 0)), L"a b\tc");
    EXPECT_EQ(W(TrimWhitespace(s, 3)), L"a b\tc");

    UniversalStringA a;
    a.Assign("  x y  ");
    EXPECT_STREQ(TrimWhitespace(a, 4).c_str(), "xy");
    a.Assign(" \t ");
    EXPECT_EQ(TrimWhitespace(a, 0).Get(), nullptr);
    EXPECT_EQ(TrimWhitespace(a, 4).Get(), nullptr);
}
