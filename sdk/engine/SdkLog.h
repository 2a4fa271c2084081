#pragma once
// The SDK log: one function that hands a level, a printf format and its
// arguments to the installed message printer, the printer that feeds the C++
// interface's logging handler, and the route of the utility log into the SDK
// log in verbose mode.

#include "Q7UniversalLogMsg.h"

#include <cstdarg>

namespace Q7::TavrinC
{

/// Logs one message: level 1 error, 2 warning or failure, 4 notable event, 5
/// progress or detail, 6 tracing (logged as 5 in verbose mode). Hands level,
/// format and arguments to the message printer; nothing when there is none (or
/// when it would drop the line). The printer is the application's code: while
/// the calling thread holds a library lock (LibraryLockScope) the line is
/// formatted and kept, and reaches the printer as "%s" with its text once the
/// lock is released. An exception from the printer is dropped. Never throws;
/// allocates only for a kept line. Thread-safe.
void SdkLog(int level, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

/// The message printer installed by Q7::Tavrin::SetSdkLoggingHandler: formats
/// into 4096 bytes (longer text is cut at 4095 characters) and calls the logging
/// handler with level 1 as Error, 2 Warning, 3 and 4 Info, 5 Debug; other levels
/// are dropped. Does nothing without a handler. Throws what the handler throws.
/// Thread-safe: each call runs on its own reference to the handler.
void SdkLoggingDispatch(int level, const char* format, va_list args);

/// The utility log's handler in verbose mode: logs the UTF-8 form of text at the
/// level of its type (debug 5, information 4, warning 2, error 1, internal error
/// 1 "INTERNAL ERROR: ", assertion 1 "ASSERT FAILED: "; any other type logs a
/// level-2 notice instead of the text). Never throws. Thread-safe.
void RouteUniversalLogMessage(Q7::Universal::EnumLogMsgType type, const wchar_t* text) noexcept;

} // namespace Q7::TavrinC
