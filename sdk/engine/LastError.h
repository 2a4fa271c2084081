#pragma once
// The calling thread's last error: what every flat function leaves behind, and
// the echo of each failure into the SDK log.

#include <TavrinCpp/Errors.h>

namespace Q7::TavrinC
{

using Q7::Tavrin::ErrorCode;

/// Stores code and a copy of message (null is the empty text) as the calling
/// thread's last error and returns code. A non-zero code is echoed to the SDK
/// log at level 2 as "%-32s: ErrorCode=%d \"%s\"\n" with source ("?" when null),
/// the code and message ("null" when null); a zero code is not echoed. Never
/// throws (when memory runs out, the message is stored empty). Thread-safe.
ErrorCode SetLastErrorInfo(ErrorCode code, const char* message, const char* source) noexcept;

/// Records the calling thread's stored code and message again under source
/// (echoing it as SetLastErrorInfo does) and returns the code. Never throws.
/// Thread-safe.
ErrorCode ReportCurrentError(const char* source) noexcept;

} // namespace Q7::TavrinC
