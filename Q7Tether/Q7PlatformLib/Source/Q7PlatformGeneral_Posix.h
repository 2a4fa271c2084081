#pragma once
// General services of the platform library that call the operating system: the
// wall-clock date and time and the assertion "dialog".

#include "Q7UniversalError.h"

#include <cstdint>
#include <ctime>

namespace Q7::Platform
{

/// Wall-clock time as filled by GetDateTime.
struct DateTime
{
    std::uint64_t seconds = 0;      ///< seconds since 1970-01-01 00:00 UTC
    std::uint32_t milliseconds = 0; ///< 0 to 999
    std::tm time{};                 ///< broken-down time; all zero when the conversion failed
};

/// Fills record with the time now (CLOCK_REALTIME), broken down in local time
/// (localtime_r) when local is true, else in UTC (gmtime_r). Never throws.
/// Thread-safe.
void GetDateTime(DateTime& record, bool local) noexcept;

/// Builds the assertion text ("Assertion failed!\n\n", "Expression: ( e )\n\n",
/// "Function: f\n\n", "File: \"path\"\nLine: n\n\n", "Press OK to abort the
/// application.") and writes it to standard error (UTF-8). Answers 0. There is no
/// message box on this platform. Thread-safe.
int ShowAssertionDialog(const wchar_t* expression, const Universal::SourceLocation& location) noexcept;

/// The text that ShowAssertionDialog shows.
Universal::UniversalString AssertionDialogText(const wchar_t* expression,
                                               const Universal::SourceLocation& location) noexcept;

} // namespace Q7::Platform
