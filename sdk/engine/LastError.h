#pragma once
// The calling thread's last error: what every flat function leaves behind, and
// the echo of each failure into the SDK log.

#include <TavrinCpp/Errors.h>

#include <exception>

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

/// Runs body, the work of a flat function returning its ErrorCode, and gives its
/// result. An exception leaving body (memory ran out) is recorded under source
/// as -1 with its text instead, so none crosses the flat interface. Never
/// throws.
template <typename Body>
ErrorCode RecordExceptions(const char* source, Body&& body) noexcept
{
    try
    {
        return body();
    }
    catch (const std::exception& e)
    {
        return SetLastErrorInfo(Q7::Tavrin::GeneralError, e.what(), source);
    }
    catch (...)
    {
        return SetLastErrorInfo(Q7::Tavrin::GeneralError, "Unknown error", source);
    }
}

} // namespace Q7::TavrinC
