#pragma once
// General services of the platform library that need no operating-system call:
// the wide-text append of the library string, the code-page conversions behind
// EncodeText/DecodeText, and the debug-output hook.

#include "Q7UniversalString.h"

#include <cstdint>

namespace Q7::Platform
{

/// Appends addition to the owned array text (array new / array delete): nothing
/// for a null or empty addition; otherwise a new array holds both texts and the
/// old one is freed. addition may point into text. On allocation failure text
/// becomes null. Never throws. Reentrant.
void AppendWide(wchar_t*& text, const wchar_t* addition) noexcept;

/// The 8-bit twin of AppendWide.
void AppendWide(char*& text, const char* addition) noexcept;

/// Converts wide text to 8-bit text in the encoding 0x1001 (UTF-8), 0x1002 (the
/// system code page: UTF-8 here), 0x1003 (Windows-1252), 0x1004 (ISO-8859-1) or
/// 0x1005 (US-ASCII). Any other code is reported as the internal error "Unknown
/// encoding." and converts as UTF-8. Characters the code page cannot hold become
/// '?'; invalid code points (surrogates, values above U+10FFFF) become U+FFFD in
/// UTF-8. Null or empty input gives null. Never throws. Thread-safe.
Universal::UniversalStringA WideToMultiByte(const wchar_t* text, std::uint16_t encoding) noexcept;

/// Converts 8-bit text in one of the encodings of WideToMultiByte to wide text.
/// Each invalid UTF-8 sequence (maximal ill-formed subpart: overlong form,
/// encoded surrogate, value above U+10FFFF, stray or missing continuation byte)
/// and each US-ASCII byte above 0x7F becomes U+FFFD. Windows-1252 maps its five
/// unassigned bytes to the C1 controls of the same value. Null or empty input
/// gives null. Never throws. Thread-safe.
Universal::UniversalString MultiByteToWide(const char* text, std::uint16_t encoding) noexcept;

/// Debug-output hook of the log dispatcher: receives the texts of exceptions that
/// log handlers or the dispatch threw. Does nothing. Thread-safe.
void DebugOutput(const wchar_t* text) noexcept;

} // namespace Q7::Platform
