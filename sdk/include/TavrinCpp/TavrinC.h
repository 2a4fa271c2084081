#pragma once
// The flat interface: free functions that return an ErrorCode and leave it,
// with a message, as the calling thread's last error.
//
// Every function records its outcome in the last error of the calling thread
// (a record made by one thread is never seen by another), and a failure is also
// echoed into the SDK log as "<source padded to 32>: ErrorCode=<code>
// \"<message>\"". The SDK log is silent until a message printer (here) or a
// logging handler (Sdk.h) is installed.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>

#include <cstdarg>

namespace Q7::TavrinC
{

using Q7::Tavrin::ErrorCode;

// ---------------------------------------------------------------- SDK instance

/// Opens the SDK: 0 when it is open afterwards (also when it was open already,
/// with the message "SDK is already open"). After CloseSdk the SDK cannot be
/// opened again in the process: -3 "SDK not open (closed/deleted)". Thread-safe.
TAVRIN_API ErrorCode OpenSdk();

/// Closes the SDK for good: wakes and forgets every listener, closes the
/// cameras, ends the object factory; afterwards every flat call fails with -3.
/// When the SDK is not open, gives 0, or with reportIfNotOpen the recorded -3
/// ("Sdk not open" before the first OpenSdk, "SDK not open (closing)" while
/// another thread closes it, "SDK not open (closed/deleted)" afterwards).
/// Blocks while cameras close. Thread-safe: of several concurrent calls one
/// closes; the others act as if the SDK were not open.
TAVRIN_API ErrorCode CloseSdk(bool reportIfNotOpen);

/// True while the SDK is open and not closing; otherwise false, with -3 in the
/// last error. Thread-safe.
TAVRIN_API bool IsSdkOpen();

/// The SDK version, 3.1.8. Thread-safe.
TAVRIN_API Q7::Tavrin::Version GetSdkVersion();
/// The compiler that built the library and its version ("GCC 12.2.0"). Thread-safe.
TAVRIN_API const char* GetSdkBuildCompiler();
/// The build's date and time ("Mmm dd yyyy hh:mm:ss"). Thread-safe.
TAVRIN_API const char* GetSdkBuildDate();
/// Eight lower-case hexadecimal digits naming the source revision of the build
/// ("00000000" when unknown). Thread-safe.
TAVRIN_API const char* GetSdkBuildHash();

// ---------------------------------------------------------------- last error

/// The calling thread's last code (0 when it made no call). Thread-safe.
TAVRIN_API ErrorCode GetErrorCode();

/// The calling thread's last message (empty when it made no call); valid until
/// the thread's next flat call. Thread-safe.
TAVRIN_API const char* GetErrorMessage();

/// Sets code to the calling thread's last code and returns it. When buffer is
/// not null and size is positive, also copies the last message into it: at most
/// size - 1 characters and a terminating NUL; a size of 0 or less writes
/// nothing. Thread-safe.
TAVRIN_API ErrorCode GetLastError(ErrorCode& code, char* buffer, int size);

// ---------------------------------------------------------------- SDK log

/// Receives every line of the SDK log: level 1 error, 2 warning or failure, 4
/// notable event, 5 progress or detail, 6 tracing; a printf format and its
/// arguments. Called on whatever thread logs, the library's own included, and
/// concurrently: it must be thread-safe. An exception it throws is dropped.
using MessagePrinter = void (*)(int level, const char* format, va_list args);

/// Replaces the message printer; null silences the SDK log. Replaces a logging
/// handler's dispatch as well. Thread-safe; a call of the previous printer may
/// still be running on another thread when it returns.
TAVRIN_API void SetMessagePrinter(MessagePrinter printer);

/// The verbose mode: while on, level-6 tracing is logged as level 5, and the log
/// of the protocol and platform layers reaches the SDK log (its debug lines at
/// level 5, information at 4, warnings at 2, errors at 1). Enabling twice routes
/// each line once. Thread-safe.
TAVRIN_API void EnablePG13(bool enable);

} // namespace Q7::TavrinC
