#include "Q7UniversalString.h"

#include "Q7PlatformGeneral_Cmn.h"
#include "Q7UniversalError.h"
#include "Q7UniversalUnicode.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <locale.h>
#include <memory>
#include <string>
#include <utility>

namespace Q7::Universal
{

namespace
{

// Results of more than this many characters are not formatted (empty result).
constexpr std::size_t kMaxFormattedLength = 131071;
// First try on the stack; most log lines and names fit.
constexpr std::size_t kStackFormatBuffer = 512;

// The locale of all formatting, made once and never freed: "C.UTF-8" (the "C"
// number formats, UTF-8 for narrow %s/%hs arguments), or "C" where that is missing.
locale_t FormatLocale() noexcept
{
    static const locale_t locale = []
    {
        locale_t made = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (made == static_cast<locale_t>(nullptr))
        {
            made = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        }
        return made;
    }();
    return locale;
}

// Switches the calling thread to the formatting locale for its lifetime, so that
// formatting never follows a locale the application set.
class ScopedFormatLocale
{
public:
    ScopedFormatLocale() noexcept
    {
        const locale_t c = FormatLocale();
        if (c != static_cast<locale_t>(nullptr))
        {
            m_previous = uselocale(c);
        }
    }
    ~ScopedFormatLocale()
    {
        if (m_previous != static_cast<locale_t>(nullptr))
        {
            uselocale(m_previous);
        }
    }
    ScopedFormatLocale(const ScopedFormatLocale&) = delete;
    ScopedFormatLocale& operator=(const ScopedFormatLocale&) = delete;

private:
    locale_t m_previous = static_cast<locale_t>(nullptr);
};

// One vswprintf attempt into size characters (terminator included). Answers the
// length, -1 when the buffer was too small, or -2 on any other failure (errno set).
int TryFormat(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args) noexcept
{
    va_list copy;
    va_copy(copy, args);
    errno = 0;
    buffer[0] = 0;
    const int result = std::vswprintf(buffer, size, format, copy);
    va_end(copy);
    if (result >= 0)
    {
        return result;
    }
    // glibc answers -1 without errno when the output did not fit.
    return errno == 0 || errno == EOVERFLOW ? -1 : -2;
}

// Reads code points from a text of code units, stopping at the terminator or at
// the first invalid sequence.
class WideReader
{
public:
    explicit WideReader(const wchar_t* text) noexcept : m_p(text) {}
    bool Next(char32_t& cp) noexcept
    {
        const auto value = static_cast<std::uint32_t>(*m_p);
        if (value == 0 || !Unicode::IsScalarValue(value))
        {
            return false;
        }
        cp = value;
        ++m_p;
        return true;
    }

private:
    const wchar_t* m_p;
};

class Utf32Reader
{
public:
    Utf32Reader(const std::uint32_t* text, bool swap) noexcept : m_p(text), m_swap(swap) {}
    bool Next(char32_t& cp) noexcept
    {
        const std::uint32_t value = m_swap ? Unicode::SwapBytes32(*m_p) : *m_p;
        if (value == 0 || !Unicode::IsScalarValue(value))
        {
            return false;
        }
        cp = value;
        ++m_p;
        return true;
    }

private:
    const std::uint32_t* m_p;
    bool m_swap;
};

class Utf16Reader
{
public:
    Utf16Reader(const std::uint16_t* text, bool swap) noexcept : m_p(text), m_swap(swap) {}
    bool Next(char32_t& cp) noexcept
    {
        char16_t units[2] = {Unit(0), 0};
        if (units[0] == 0)
        {
            return false;
        }
        std::size_t available = 1;
        if (units[0] >= 0xD800 && units[0] <= 0xDBFF)
        {
            units[1] = Unit(1); // zero when the text ends: the pair is then invalid
            available = 2;
        }
        bool valid = false;
        const std::size_t used = Unicode::DecodeUtf16(units, available, cp, valid);
        if (!valid)
        {
            return false;
        }
        m_p += used;
        return true;
    }

private:
    char16_t Unit(std::size_t i) const noexcept
    {
        return static_cast<char16_t>(m_swap ? Unicode::SwapBytes16(m_p[i]) : m_p[i]);
    }
    const std::uint16_t* m_p;
    bool m_swap;
};

class Utf8Reader
{
public:
    explicit Utf8Reader(const char* text) noexcept
        : m_p(reinterpret_cast<const unsigned char*>(text)), m_end(m_p + std::char_traits<char>::length(text))
    {
    }
    bool Next(char32_t& cp) noexcept
    {
        if (m_p == m_end)
        {
            return false;
        }
        bool valid = false;
        const std::size_t used = Unicode::DecodeUtf8(m_p, static_cast<std::size_t>(m_end - m_p), cp, valid);
        if (!valid)
        {
            return false;
        }
        m_p += used;
        return true;
    }

private:
    const unsigned char* m_p;
    const unsigned char* m_end;
};

struct Utf8Writer
{
    std::vector<char> out;
    void Put(char32_t cp)
    {
        char bytes[4];
        out.insert(out.end(), bytes, bytes + Unicode::EncodeUtf8(cp, bytes));
    }
};

struct Utf16Writer
{
    std::vector<std::uint16_t> out;
    bool swap = false;
    void Put(char32_t cp)
    {
        char16_t units[2];
        const std::size_t n = Unicode::EncodeUtf16(cp, units);
        for (std::size_t i = 0; i < n; ++i)
        {
            const auto u = static_cast<std::uint16_t>(units[i]);
            out.push_back(swap ? Unicode::SwapBytes16(u) : u);
        }
    }
};

struct Utf32Writer
{
    std::vector<std::uint32_t> out;
    bool swap = false;
    void Put(char32_t cp) { out.push_back(swap ? Unicode::SwapBytes32(cp) : static_cast<std::uint32_t>(cp)); }
};

struct WideWriter
{
    std::vector<wchar_t> out;
    void Put(char32_t cp) { out.push_back(static_cast<wchar_t>(cp)); }
};

// Runs a reader into a writer and assigns the result; an exception (allocation)
// is reported as an internal error and gives null.
template <typename Reader, typename Writer, typename Result>
Result Convert(Reader reader, Writer writer) noexcept
{
    Result result;
    try
    {
        char32_t cp = 0;
        while (reader.Next(cp))
        {
            writer.Put(cp);
        }
        using Unit = typename Result::UnitType;
        result.Assign(reinterpret_cast<const Unit*>(writer.out.data()), writer.out.size());
    }
    catch (const std::exception& e)
    {
        Q7_REPORT_INTERNAL_ERROR(StdExceptionError(e), nullptr);
        result.Clear();
    }
    return result;
}

bool IsLittle16(std::uint16_t encoding) noexcept
{
    return encoding == kEncoding_UTF16LE;
}

bool IsLittle32(std::uint16_t encoding) noexcept
{
    return encoding == kEncoding_UTF32LE;
}

template <typename StringT>
StringT Trim(const StringT& text, std::uint32_t mode) noexcept
{
    using Unit = typename StringT::UnitType;
    const auto isSpace = [](Unit c) { return c == Unit(' ') || c == Unit('\t'); };
    const Unit* s = text.c_str();
    std::size_t begin = 0;
    std::size_t end = StringT::LengthOf(s);
    if (mode != kTrim_Trailing)
    {
        while (begin < end && isSpace(s[begin]))
        {
            ++begin;
        }
    }
    if (mode != kTrim_Leading)
    {
        while (end > begin && isSpace(s[end - 1]))
        {
            --end;
        }
    }
    StringT result;
    if (mode == kTrim_All)
    {
        std::unique_ptr<Unit[]> words(new (std::nothrow) Unit[end - begin + 1]);
        if (!words)
        {
            return result;
        }
        std::size_t n = 0;
        for (std::size_t i = begin; i < end; ++i)
        {
            if (!isSpace(s[i]))
            {
                words[n++] = s[i];
            }
        }
        result.Assign(words.get(), n);
        return result;
    }
    result.Assign(s + begin, end - begin);
    return result;
}

} // namespace

UniversalString::UniversalString(const wchar_t* format, va_list args) noexcept
{
    FormatV(format, args);
}

void UniversalString::FormatImpl(const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void UniversalString::FormatV(const wchar_t* format, va_list args) noexcept
{
    // The old text is freed only when formatting is done: the format or an
    // argument may be this string's own text.
    const std::unique_ptr<wchar_t[]> old(std::exchange(m_pText, nullptr));
    if (format == nullptr)
    {
        return;
    }
    int failure = 0;
    {
        const ScopedFormatLocale formatLocale;
        wchar_t local[kStackFormatBuffer];
        int result = TryFormat(local, kStackFormatBuffer, format, args);
        if (result >= 0)
        {
            Assign(local, static_cast<std::size_t>(result));
            return;
        }
        // Grow by doubling up to the cap; a buffer of cap + 1 characters that is
        // still too small gives the empty result without a report.
        for (std::size_t size = kStackFormatBuffer * 2; result == -1 && size <= kMaxFormattedLength + 1;
             size *= 2)
        {
            std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[size]);
            if (!buffer)
            {
                return;
            }
            result = TryFormat(buffer.get(), size, format, args);
            if (result >= 0)
            {
                Assign(buffer.get(), static_cast<std::size_t>(result));
                return;
            }
        }
        if (result == -2)
        {
            failure = errno;
        }
    }
    if (failure != 0)
    {
        Q7_REPORT_INTERNAL_ERROR(StandardError(static_cast<std::uint32_t>(failure), nullptr), L"vswprintf");
    }
}

void UniversalString::Append(const wchar_t* text) noexcept
{
    Platform::AppendWide(m_pText, text);
}

void UniversalStringA::Append(const char* text) noexcept
{
    Platform::AppendWide(m_pText, text);
}

std::vector<std::uint8_t> GetByteOrderMark(std::uint16_t encoding)
{
    switch (encoding)
    {
    case kEncoding_UTF8:
        return {0xEF, 0xBB, 0xBF};
    case kEncoding_UTF16LE:
        return {0xFF, 0xFE};
    case kEncoding_UTF16BE:
        return {0xFE, 0xFF};
    case kEncoding_UTF32LE:
        return {0xFF, 0xFE, 0x00, 0x00};
    case kEncoding_UTF32BE:
        return {0x00, 0x00, 0xFE, 0xFF};
    default:
        return {};
    }
}

UniversalStringA EncodeText(const wchar_t* text, std::uint16_t encoding) noexcept
{
    return Platform::WideToMultiByte(text, encoding);
}

UniversalString DecodeText(const char* text, std::uint16_t encoding) noexcept
{
    return Platform::MultiByteToWide(text, encoding);
}

UniversalStringA ToUtf8(const UniversalString& text) noexcept
{
    return EncodeText(text.c_str(), kEncoding_UTF8);
}

UniversalStringA ToNarrow(const wchar_t* text) noexcept
{
    return Platform::WideToMultiByte(text, kEncoding_UTF8);
}

UniversalString FromNarrow(const char* text) noexcept
{
    return Platform::MultiByteToWide(text, kEncoding_UTF8);
}

UniversalString16 ToUtf16(const wchar_t* text, std::uint16_t encoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<WideReader, Utf16Writer, UniversalString16>(WideReader(text),
                                                               Utf16Writer{{}, !IsLittle16(encoding)});
}

UniversalString FromUtf16(const std::uint16_t* text, std::uint16_t encoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<Utf16Reader, WideWriter, UniversalString>(Utf16Reader(text, !IsLittle16(encoding)),
                                                             WideWriter{});
}

UniversalString32 ToUtf32(const wchar_t* text, std::uint16_t encoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<WideReader, Utf32Writer, UniversalString32>(WideReader(text),
                                                               Utf32Writer{{}, !IsLittle32(encoding)});
}

UniversalString FromUtf32(const std::uint32_t* text, std::uint16_t encoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<Utf32Reader, WideWriter, UniversalString>(Utf32Reader(text, !IsLittle32(encoding)),
                                                             WideWriter{});
}

UniversalStringA Utf16ToUtf8(const std::uint16_t* text, std::uint16_t encoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<Utf16Reader, Utf8Writer, UniversalStringA>(Utf16Reader(text, !IsLittle16(encoding)),
                                                              Utf8Writer{});
}

UniversalStringA Utf32ToUtf8(const std::uint32_t* text, std::uint16_t encoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<Utf32Reader, Utf8Writer, UniversalStringA>(Utf32Reader(text, !IsLittle32(encoding)),
                                                              Utf8Writer{});
}

UniversalString16 Utf8ToUtf16(const char* text, std::uint16_t wantedEncoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<Utf8Reader, Utf16Writer, UniversalString16>(Utf8Reader(text),
                                                               Utf16Writer{{}, !IsLittle16(wantedEncoding)});
}

UniversalString32 Utf8ToUtf32(const char* text, std::uint16_t wantedEncoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<Utf8Reader, Utf32Writer, UniversalString32>(Utf8Reader(text),
                                                               Utf32Writer{{}, !IsLittle32(wantedEncoding)});
}

UniversalString16 Utf32ToUtf16(const std::uint32_t* text, std::uint16_t encoding,
                               std::uint16_t wantedEncoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<Utf32Reader, Utf16Writer, UniversalString16>(Utf32Reader(text, !IsLittle32(encoding)),
                                                                Utf16Writer{{}, !IsLittle16(wantedEncoding)});
}

UniversalString32 Utf16ToUtf32(const std::uint16_t* text, std::uint16_t encoding,
                               std::uint16_t wantedEncoding) noexcept
{
    if (text == nullptr)
    {
        return {};
    }
    return Convert<Utf16Reader, Utf32Writer, UniversalString32>(Utf16Reader(text, !IsLittle16(encoding)),
                                                                Utf32Writer{{}, !IsLittle32(wantedEncoding)});
}

UniversalStringA TrimWhitespace(const UniversalStringA& text, std::uint32_t mode) noexcept
{
    return Trim(text, mode);
}

UniversalString TrimWhitespace(const UniversalString& text, std::uint32_t mode) noexcept
{
    return Trim(text, mode);
}

} // namespace Q7::Universal
