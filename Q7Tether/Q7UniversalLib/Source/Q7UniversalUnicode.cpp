#include "Q7UniversalUnicode.h"

namespace Q7::Universal::Unicode
{

std::size_t DecodeUtf8(const unsigned char* p, std::size_t available, char32_t& cp, bool& valid) noexcept
{
    valid = false;
    cp = kReplacementCharacter;
    const unsigned char b0 = p[0];
    if (b0 < 0x80)
    {
        cp = b0;
        valid = true;
        return 1;
    }

    // Well-formed sequences (Unicode table 3-7): the lead byte fixes the length
    // and the allowed range of the second byte, which excludes overlong forms,
    // surrogates and values above U+10FFFF.
    std::size_t length = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    char32_t value = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF)
    {
        length = 2;
        value = b0 & 0x1Fu;
    }
    else if (b0 >= 0xE0 && b0 <= 0xEF)
    {
        length = 3;
        value = b0 & 0x0Fu;
        if (b0 == 0xE0)
        {
            lo = 0xA0;
        }
        else if (b0 == 0xED)
        {
            hi = 0x9F;
        }
    }
    else if (b0 >= 0xF0 && b0 <= 0xF4)
    {
        length = 4;
        value = b0 & 0x07u;
        if (b0 == 0xF0)
        {
            lo = 0x90;
        }
        else if (b0 == 0xF4)
        {
            hi = 0x8F;
        }
    }
    else
    {
        return 1; // continuation byte, C0, C1 or F5..FF as a lead
    }

    for (std::size_t i = 1; i < length; ++i)
    {
        if (i >= available)
        {
            return i; // truncated: the bytes so far form the ill-formed subpart
        }
        const unsigned char b = p[i];
        const unsigned char low = (i == 1) ? lo : 0x80;
        const unsigned char high = (i == 1) ? hi : 0xBF;
        if (b < low || b > high)
        {
            return i;
        }
        value = (value << 6) | (b & 0x3Fu);
    }
    cp = value;
    valid = true;
    return length;
}

std::size_t EncodeUtf8(char32_t cp, char out[4]) noexcept
{
    if (cp < 0x80)
    {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800)
    {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000)
    {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

std::size_t DecodeUtf16(const char16_t* p, std::size_t available, char32_t& cp, bool& valid) noexcept
{
    const char32_t u0 = p[0];
    if (u0 < 0xD800 || u0 > 0xDFFF)
    {
        cp = u0;
        valid = true;
        return 1;
    }
    if (u0 <= 0xDBFF && available >= 2)
    {
        const char32_t u1 = p[1];
        if (u1 >= 0xDC00 && u1 <= 0xDFFF)
        {
            cp = 0x10000 + ((u0 - 0xD800) << 10) + (u1 - 0xDC00);
            valid = true;
            return 2;
        }
    }
    cp = kReplacementCharacter;
    valid = false;
    return 1;
}

std::size_t EncodeUtf16(char32_t cp, char16_t out[2]) noexcept
{
    if (cp < 0x10000)
    {
        out[0] = static_cast<char16_t>(cp);
        return 1;
    }
    const char32_t v = cp - 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (v >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    return 2;
}

} // namespace Q7::Universal::Unicode
