#pragma once
// The SDK as the C++ interface sees it: opening and closing it, its version and
// build texts, and its log delivered as finished lines to a handler.
//
// The C++ interface opens the SDK by itself on its first static call
// (EnsureOpen) and closes it when the process ends; an SDK once closed cannot be
// opened again in the same process.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/Descriptions.h>

#include <cstdint>
#include <functional>

namespace Q7::Tavrin
{

/// Opens the SDK once for the whole process, if that has not happened yet, and
/// arranges for it to be closed at process exit. Throws the exception of
/// ThrowOnErrorCode when it cannot be opened (SdkNotOpenExc after a close);
/// the next call tries again. Thread-safe; blocks while another thread opens.
TAVRIN_API void EnsureOpen();

/// Closes the SDK for good (the flat CloseSdk with reportIfNotOpen false). Never
/// throws. Thread-safe.
TAVRIN_API void EnsureClosed();

/// The SDK version, 3.1.8. Thread-safe.
TAVRIN_API Version GetSdkVersion();
/// The compiler that built the library and its version. Thread-safe.
TAVRIN_API const char* GetSdkBuildCompiler();
/// The build's date and time. Thread-safe.
TAVRIN_API const char* GetSdkBuildDate();
/// Eight hexadecimal digits naming the build's source revision. Thread-safe.
TAVRIN_API const char* GetSdkBuildHash();

/// Severity of a line handed to the logging handler, 0 the most severe.
enum class LogMessageLevel : std::uint32_t
{
    Error = 0,   ///< SDK log level 1
    Warning = 1, ///< level 2: warnings and failures
    Info = 2,    ///< levels 3 and 4: notable events
    Debug = 3,   ///< level 5: progress and details (and tracing in verbose mode)
};

/// Receives one finished line of the SDK log (at most 4095 characters) and its
/// level.
using SdkLoggingHandler = std::function<void(const char* line, LogMessageLevel level)>;

/// Installs handler as the receiver of the SDK log, replacing any message
/// printer. Level-6 tracing reaches it only in verbose mode (EnablePG13), as
/// Debug. The handler runs on whatever thread logs, the library's own included,
/// and concurrently: it must be thread-safe; an exception it throws is dropped.
/// Thread-safe; a call of the previous handler may still be running on another
/// thread when it returns (each call holds its own reference to the handler it
/// started with).
TAVRIN_API void SetSdkLoggingHandler(SdkLoggingHandler handler);

/// Silences the SDK log (a message printer set earlier included) and releases
/// the handler once no call of it is running. Thread-safe.
TAVRIN_API void ClearSdkLoggingHandler();

/// The verbose mode; see Q7::TavrinC::EnablePG13. Thread-safe.
TAVRIN_API void EnablePG13(bool enable);

} // namespace Q7::Tavrin
