#pragma once
// The library string: one owned, zero-terminated text with null standing for the
// empty text, in wide (UniversalString), 8-bit (UniversalStringA), UTF-16
// (UniversalString16) and UTF-32 (UniversalString32) forms; printf-style wide
// formatting; the encoding codes, byte-order marks and conversions between the
// forms; whitespace trimming.
//
// wchar_t is 32 bits here, so a UniversalString holds UTF-32 code points; the
// UTF-16 conversions are real conversions with surrogate pairs.
//
// String objects are reentrant (one object per thread at a time); the free
// functions are thread-safe. Nothing here throws: failures leave null texts.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace Q7::Universal
{

/// Encoding codes shared by the string conversions and the platform code-page
/// conversions. The high nibble gives the width of one code unit in bytes.
enum EnumEncoding : std::uint16_t
{
    kEncoding_UTF8 = 0x1001,
    kEncoding_SystemAnsi = 0x1002, ///< UTF-8 on this platform
    kEncoding_Windows1252 = 0x1003,
    kEncoding_ISO8859_1 = 0x1004,
    kEncoding_USASCII = 0x1005,
    kEncoding_UTF16LE = 0x2001,
    kEncoding_UTF16BE = 0x2002,
    kEncoding_UTF32LE = 0x4001,
    kEncoding_UTF32BE = 0x4002,
};

namespace Detail
{

/// One owned heap array of units ending in a zero unit, or null for the empty
/// text. No length is stored. Allocation failures leave the text null.
template <typename UnitT>
class OwnedText
{
public:
    using UnitType = UnitT;

    OwnedText() noexcept = default;
    OwnedText(const OwnedText& other) noexcept { Assign(other.m_pText); }
    OwnedText(OwnedText&& other) noexcept : m_pText(std::exchange(other.m_pText, nullptr)) {}
    ~OwnedText() { Clear(); }

    OwnedText& operator=(const OwnedText& other) noexcept
    {
        Assign(other.m_pText);
        return *this;
    }
    OwnedText& operator=(OwnedText&& other) noexcept
    {
        if (this != &other)
        {
            Clear();
            m_pText = std::exchange(other.m_pText, nullptr);
        }
        return *this;
    }

    /// The text, or an empty text when null; never null.
    const UnitT* c_str() const noexcept
    {
        static constexpr UnitT kEmpty[1] = {};
        return m_pText != nullptr ? m_pText : kEmpty;
    }

    /// The owned pointer itself: null for the empty text.
    const UnitT* Get() const noexcept { return m_pText; }

    /// True when null or empty.
    bool IsEmpty() const noexcept { return m_pText == nullptr || m_pText[0] == 0; }

    /// Number of units before the terminating zero (walks the text).
    std::size_t Length() const noexcept { return LengthOf(m_pText); }

    /// Replaces the text with a copy of text. The string's own pointer (or a
    /// pointer into its own text) is safe to pass. Null or empty leaves the
    /// string null, as does an allocation failure.
    void Assign(const UnitT* text) noexcept { Assign(text, LengthOf(text)); }

    /// Replaces the text with a copy of the first length units of text.
    void Assign(const UnitT* text, std::size_t length) noexcept
    {
        // Compared as addresses (the string's own text is a no-op copy); a pointer
        // comparison here makes g++ -O2 report a false use-after-free below.
        if (text != nullptr &&
            reinterpret_cast<std::uintptr_t>(text) == reinterpret_cast<std::uintptr_t>(m_pText) &&
            LengthOf(m_pText) == length)
        {
            return;
        }
        UnitT* copy = nullptr;
        if (text != nullptr && length != 0)
        {
            copy = new (std::nothrow) UnitT[length + 1];
            if (copy != nullptr)
            {
                for (std::size_t i = 0; i < length; ++i)
                {
                    copy[i] = text[i];
                }
                copy[length] = 0;
            }
        }
        delete[] m_pText;
        m_pText = copy;
    }

    /// Frees the text and sets null.
    void Clear() noexcept
    {
        delete[] m_pText;
        m_pText = nullptr;
    }

    /// Units compared up to the terminating zero; null equals empty.
    friend bool operator==(const OwnedText& a, const OwnedText& b) noexcept
    {
        const UnitT* x = a.c_str();
        const UnitT* y = b.c_str();
        while (*x != 0 && *x == *y)
        {
            ++x;
            ++y;
        }
        return *x == *y;
    }

    /// Counts the units of a zero-terminated text; 0 for null.
    static std::size_t LengthOf(const UnitT* text) noexcept
    {
        std::size_t n = 0;
        if (text != nullptr)
        {
            while (text[n] != 0)
            {
                ++n;
            }
        }
        return n;
    }

protected:
    UnitT* m_pText = nullptr; // owned (array new), null when empty
};

template <typename T>
inline constexpr bool kIsFormatArgument =
    std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T> || std::is_null_pointer_v<T>;

} // namespace Detail

/// The wide library string (UTF-32 code points on this platform).
class UniversalString : public Detail::OwnedText<wchar_t>
{
public:
    UniversalString() noexcept = default;

    /// Formats printf-style: %ls for wide text, %s or %hs for UTF-8 text. A null
    /// format gives null; a result that needs more than 131071 characters gives
    /// null; an invalid format or argument (such as invalid UTF-8 for %s) is
    /// reported as an internal error and gives null. Numbers are formatted as in
    /// the "C" locale, whatever locale the process set.
    template <typename... Args>
    explicit UniversalString(const wchar_t* format, Args... args) noexcept
    {
        static_assert((Detail::kIsFormatArgument<Args> && ...),
                      "only numbers, enums and pointers can be formatted; pass text with c_str()");
        FormatImpl(format, args...);
    }

    /// As the formatting constructor, with a va_list.
    UniversalString(const wchar_t* format, va_list args) noexcept;

    /// Replaces the text with the formatted text (see the formatting constructor).
    template <typename... Args>
    void Format(const wchar_t* format, Args... args) noexcept
    {
        static_assert((Detail::kIsFormatArgument<Args> && ...),
                      "only numbers, enums and pointers can be formatted; pass text with c_str()");
        FormatImpl(format, args...);
    }

    /// Replaces the text with the formatted text, from a va_list.
    void FormatV(const wchar_t* format, va_list args) noexcept;

    /// Appends a wide text (nothing for null or empty); on allocation failure the
    /// string becomes null.
    void Append(const wchar_t* text) noexcept;

private:
    void FormatImpl(const wchar_t* format, ...) noexcept;
};

/// The 8-bit library string (UTF-8, a code page, as the producer chose).
class UniversalStringA : public Detail::OwnedText<char>
{
public:
    /// Appends an 8-bit text (nothing for null or empty); on allocation failure
    /// the string becomes null.
    void Append(const char* text) noexcept;
};

/// UTF-16 code units in a stated byte order (the bytes in memory are in that order).
class UniversalString16 : public Detail::OwnedText<std::uint16_t>
{
};

/// UTF-32 code units in a stated byte order.
class UniversalString32 : public Detail::OwnedText<std::uint32_t>
{
};

/// The byte-order mark of an encoding code (EF BB BF, FF FE, FE FF, FF FE 00 00,
/// 00 00 FE FF); no bytes for every other code. Thread-safe.
std::vector<std::uint8_t> GetByteOrderMark(std::uint16_t encoding);

/// Converts wide text to 8-bit text in the encoding 0x1001 to 0x1005 (others are
/// reported as "Unknown encoding." and give UTF-8). Characters that the encoding
/// cannot hold become '?'; invalid code points become U+FFFD in UTF-8.
UniversalStringA EncodeText(const wchar_t* text, std::uint16_t encoding) noexcept;

/// Converts 8-bit text in the encoding 0x1001 to 0x1005 (others as UTF-8, with
/// the "Unknown encoding." report) to wide text; each invalid sequence becomes
/// U+FFFD.
UniversalString DecodeText(const char* text, std::uint16_t encoding) noexcept;

/// EncodeText of the string's text with UTF-8.
UniversalStringA ToUtf8(const UniversalString& text) noexcept;

/// Wide text to UTF-8 with the library's own codec (invalid code points become
/// U+FFFD). Independent of the C locale.
UniversalStringA ToNarrow(const wchar_t* text) noexcept;

/// UTF-8 text to wide text with the library's own codec (invalid sequences become
/// U+FFFD). Independent of the C locale.
UniversalString FromNarrow(const char* text) noexcept;

// Strict Unicode conversions. A null or empty input gives a null result. Each
// stops at the first invalid sequence (overlong form, surrogate, value above
// U+10FFFF, lone surrogate unit) and converts the text before it. UTF-16 codes
// other than 0x2001 and UTF-32 codes other than 0x4001 mean big-endian. No
// byte-order mark is added or stripped: U+FEFF passes as a character.

/// Wide text to UTF-16 in the order 0x2001 or 0x2002.
UniversalString16 ToUtf16(const wchar_t* text, std::uint16_t encoding) noexcept;
/// UTF-16 text in the given order to wide text.
UniversalString FromUtf16(const std::uint16_t* text, std::uint16_t encoding) noexcept;
/// Wide text to UTF-32 in the order 0x4001 or 0x4002.
UniversalString32 ToUtf32(const wchar_t* text, std::uint16_t encoding) noexcept;
/// UTF-32 text in the given order to wide text.
UniversalString FromUtf32(const std::uint32_t* text, std::uint16_t encoding) noexcept;
/// UTF-16 (given order) to UTF-8.
UniversalStringA Utf16ToUtf8(const std::uint16_t* text, std::uint16_t encoding) noexcept;
/// UTF-32 (given order) to UTF-8.
UniversalStringA Utf32ToUtf8(const std::uint32_t* text, std::uint16_t encoding) noexcept;
/// UTF-8 to UTF-16 in the wanted order.
UniversalString16 Utf8ToUtf16(const char* text, std::uint16_t wantedEncoding) noexcept;
/// UTF-8 to UTF-32 in the wanted order.
UniversalString32 Utf8ToUtf32(const char* text, std::uint16_t wantedEncoding) noexcept;
/// UTF-32 (given order) to UTF-16 (wanted order).
UniversalString16 Utf32ToUtf16(const std::uint32_t* text, std::uint16_t encoding,
                               std::uint16_t wantedEncoding) noexcept;
/// UTF-16 (given order) to UTF-32 (wanted order).
UniversalString32 Utf16ToUtf32(const std::uint16_t* text, std::uint16_t encoding,
                               std::uint16_t wantedEncoding) noexcept;

/// Trim modes of TrimWhitespace (whitespace is space and tab).
enum EnumTrimMode : std::uint32_t
{
    kTrim_Leading = 1,  ///< leading whitespace only
    kTrim_Trailing = 2, ///< trailing whitespace only
    kTrim_All = 4,      ///< both ends and every space and tab inside
    // any other value: both ends
};

/// A trimmed copy of text (see EnumTrimMode). A text of whitespace only becomes
/// null.
UniversalStringA TrimWhitespace(const UniversalStringA& text, std::uint32_t mode) noexcept;
/// A trimmed copy of text (see EnumTrimMode).
UniversalString TrimWhitespace(const UniversalString& text, std::uint32_t mode) noexcept;

} // namespace Q7::Universal
