#pragma once
// The calling thread's last error: what every flat function leaves behind, and
// the echo of each failure into the SDK log.

#include "Q7UniversalError.h"

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

/// Records an error of the protocol layers that reached a flat function as the
/// bridge maps it (KpxLibTransport::HandleModuleError for a ModuleError,
/// HandleUniversalError for another), logging source; returns the code. Never
/// throws.
ErrorCode RecordUniversalError(const Q7::Universal::UniversalError& error, const char* source) noexcept;

/// Runs body, the work of a flat function returning its ErrorCode, and gives its
/// result. An exception leaving body is recorded instead, so none crosses the
/// flat interface: an error of the protocol layers as RecordUniversalError
/// maps it, a std::exception (memory ran out) under source as -1 with its
/// text, anything else as -1 "Unknown error". Never throws.
template <typename Body>
ErrorCode RecordExceptions(const char* source, Body&& body) noexcept
{
    try
    {
        return body();
    }
    catch (const Q7::Universal::UniversalError& e)
    {
        return RecordUniversalError(e, source);
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
