#pragma once
// The assertion of the libraries: active in every build type. A failed assertion
// is logged, shown (printed to standard error) and ends the process.

#include "Q7UniversalError.h"

namespace Q7::Universal
{

/// Posts "Assertion failed: " expression " " location "\n" (type 32), shows the
/// assertion text (ShowAssertionDialog), posts "Aborting the application\n" and
/// aborts. Never returns. Thread-safe.
[[noreturn]] void AssertionFailed(const wchar_t* expression, const SourceLocation& location) noexcept;

} // namespace Q7::Universal

/// Asserts expr; the failure text is the expression as written in the source.
#define Q7_ASSERT(expr)                                                                                      \
    do                                                                                                       \
    {                                                                                                        \
        if (!(expr))                                                                                         \
        {                                                                                                    \
            ::Q7::Universal::AssertionFailed(Q7_WIDEN(#expr), Q7_SOURCE_LOCATION);                           \
        }                                                                                                    \
    } while (false)
