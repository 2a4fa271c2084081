#include "Q7PlatformGeneral_Cmn.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalUnicode.h"

#include <cstring>
#include <cwchar>
#include <exception>
#include <vector>

namespace Q7::Platform
{

namespace
{

namespace Unicode = Universal::Unicode;

// Windows-1252 bytes 0x80 to 0x9F. The five bytes that the code page leaves
// unassigned map to the C1 controls of the same value, as the system converter does.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

enum class CodePage
{
    Utf8,
    Windows1252,
    Latin1,
    Ascii,
};

CodePage CodePageOf(std::uint16_t encoding) noexcept
{
    switch (encoding)
    {
    case Universal::kEncoding_UTF8:
    case Universal::kEncoding_SystemAnsi:
        return CodePage::Utf8;
    case Universal::kEncoding_Windows1252:
        return CodePage::Windows1252;
    case Universal::kEncoding_ISO8859_1:
        return CodePage::Latin1;
    case Universal::kEncoding_USASCII:
        return CodePage::Ascii;
    default:
        Q7_REPORT_INTERNAL_ERROR_TEXT(L"Unknown encoding.");
        return CodePage::Utf8;
    }
}

// The byte of a code point in a single-byte code page, or '?' when it has none.
char SingleByteOf(char32_t cp, CodePage page) noexcept
{
    if (cp < 0x80)
    {
        return static_cast<char>(cp);
    }
    switch (page)
    {
    case CodePage::Latin1:
        return cp <= 0xFF ? static_cast<char>(cp) : '?';
    case CodePage::Windows1252:
        if (cp >= 0xA0 && cp <= 0xFF)
        {
            return static_cast<char>(cp);
        }
        for (unsigned i = 0; i < 32; ++i)
        {
            if (kWindows1252High[i] == cp)
            {
                return static_cast<char>(0x80 + i);
            }
        }
        return '?';
    case CodePage::Ascii:
    case CodePage::Utf8:
        break;
    }
    return '?';
}

char32_t CodePointOf(unsigned char byte, CodePage page) noexcept
{
    if (byte < 0x80)
    {
        return byte;
    }
    switch (page)
    {
    case CodePage::Latin1:
        return byte;
    case CodePage::Windows1252:
        return byte >= 0xA0 ? char32_t(byte) : char32_t(kWindows1252High[byte - 0x80]);
    case CodePage::Ascii:
    case CodePage::Utf8:
        break;
    }
    return Unicode::kReplacementCharacter;
}

template <typename UnitT>
void Append(UnitT*& text, const UnitT* addition) noexcept
{
    if (addition == nullptr || addition[0] == 0)
    {
        return;
    }
    std::size_t oldLength = 0;
    if (text != nullptr)
    {
        while (text[oldLength] != 0)
        {
            ++oldLength;
        }
    }
    std::size_t addLength = 0;
    while (addition[addLength] != 0)
    {
        ++addLength;
    }
    UnitT* joined = new (std::nothrow) UnitT[oldLength + addLength + 1];
    if (joined != nullptr)
    {
        if (oldLength != 0)
        {
            std::memcpy(joined, text, oldLength * sizeof(UnitT));
        }
        // addition may point into the old text, which is still alive here.
        std::memcpy(joined + oldLength, addition, addLength * sizeof(UnitT));
        joined[oldLength + addLength] = 0;
    }
    delete[] text;
    text = joined;
}

} // namespace

void AppendWide(wchar_t*& text, const wchar_t* addition) noexcept
{
    Append(text, addition);
}

void AppendWide(char*& text, const char* addition) noexcept
{
    Append(text, addition);
}

Universal::UniversalStringA WideToMultiByte(const wchar_t* text, std::uint16_t encoding) noexcept
{
    Universal::UniversalStringA result;
    const CodePage page = CodePageOf(encoding);
    if (text == nullptr || text[0] == 0)
    {
        return result;
    }
    try
    {
        std::vector<char> bytes;
        bytes.reserve(std::wcslen(text) + 1);
        for (const wchar_t* p = text; *p != 0; ++p)
        {
            char32_t cp = static_cast<char32_t>(static_cast<std::uint32_t>(*p));
            if (page == CodePage::Utf8)
            {
                if (!Unicode::IsScalarValue(cp))
                {
                    cp = Unicode::kReplacementCharacter;
                }
                char encoded[4];
                bytes.insert(bytes.end(), encoded, encoded + Unicode::EncodeUtf8(cp, encoded));
            }
            else
            {
                bytes.push_back(SingleByteOf(cp, page));
            }
        }
        result.Assign(bytes.data(), bytes.size());
    }
    catch (const std::exception&)
    {
        result.Clear(); // allocation failure: empty text, nothing thrown
    }
    return result;
}

Universal::UniversalString MultiByteToWide(const char* text, std::uint16_t encoding) noexcept
{
    Universal::UniversalString result;
    const CodePage page = CodePageOf(encoding);
    if (text == nullptr || text[0] == 0)
    {
        return result;
    }
    try
    {
        const auto* p = reinterpret_cast<const unsigned char*>(text);
        const std::size_t length = std::strlen(text);
        std::vector<wchar_t> wide;
        wide.reserve(length + 1);
        std::size_t i = 0;
        while (i < length)
        {
            if (page == CodePage::Utf8)
            {
                char32_t cp = 0;
                bool valid = false;
                // Each maximal ill-formed subpart becomes one U+FFFD (cp is set so).
                i += Unicode::DecodeUtf8(p + i, length - i, cp, valid);
                wide.push_back(static_cast<wchar_t>(cp));
            }
            else
            {
                wide.push_back(static_cast<wchar_t>(CodePointOf(p[i], page)));
                ++i;
            }
        }
        result.Assign(wide.data(), wide.size());
    }
    catch (const std::exception&)
    {
        result.Clear();
    }
    return result;
}

void DebugOutput(const wchar_t*) noexcept {}

} // namespace Q7::Platform
