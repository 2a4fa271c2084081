#pragma once
// Strict UTF-8, UTF-16 and UTF-32 code-unit codecs shared by the library string
// conversions and the platform code-page conversions. Nothing here allocates,
// throws or depends on the process locale.

#include <cstddef>
#include <cstdint>

namespace Q7::Universal::Unicode
{

/// U+FFFD, substituted for ill-formed input by the lenient decoders.
inline constexpr char32_t kReplacementCharacter = 0xFFFD;

/// True for a Unicode scalar value: 0 to 0x10FFFF without the surrogates.
constexpr bool IsScalarValue(char32_t c) noexcept
{
    return c < 0xD800u || (c > 0xDFFFu && c <= 0x10FFFFu);
}

/// Reverses the two bytes of a UTF-16 code unit.
constexpr std::uint16_t SwapBytes16(std::uint16_t u) noexcept
{
    return static_cast<std::uint16_t>((u >> 8) | (u << 8));
}

/// Reverses the four bytes of a UTF-32 code unit.
constexpr std::uint32_t SwapBytes32(std::uint32_t u) noexcept
{
    return (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
}

/// Decodes one UTF-8 sequence from the start of [p, p + available).
/// On success stores the scalar value in cp, sets valid and answers the length of
/// the sequence (1 to 4). On ill-formed input (overlong form, encoded surrogate,
/// value above U+10FFFF, stray continuation byte, truncated sequence) clears
/// valid and answers the length of the maximal ill-formed subpart (at least 1), so
/// that a lenient caller can substitute one U+FFFD for it and go on.
/// available must be at least 1. Reentrant.
std::size_t DecodeUtf8(const unsigned char* p, std::size_t available, char32_t& cp, bool& valid) noexcept;

/// Writes the UTF-8 form of the scalar value cp into out and answers its length
/// (1 to 4). cp must be a scalar value (IsScalarValue). Reentrant.
std::size_t EncodeUtf8(char32_t cp, char out[4]) noexcept;

/// Decodes one UTF-16 sequence (a unit or a surrogate pair) from the start of
/// [p, p + available), both in native order. On success stores the scalar value
/// and answers 1 or 2; a lone surrogate clears valid and answers 1. Reentrant.
std::size_t DecodeUtf16(const char16_t* p, std::size_t available, char32_t& cp, bool& valid) noexcept;

/// Writes the UTF-16 form of the scalar value cp (native order) and answers its
/// length (1 or 2). Reentrant.
std::size_t EncodeUtf16(char32_t cp, char16_t out[2]) noexcept;

} // namespace Q7::Universal::Unicode
