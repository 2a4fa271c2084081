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
/// Debug. Thread-safe; a call of the previous handler may still be running on
/// another thread when it returns (each call holds its own reference to the
/// handler it started with).
///
/// The handler runs on whatever thread logs: the application's threads inside
/// SDK calls, and the library's own (the cameras' "KPX ..." threads, the USB
/// and device threads, the library's helper thread), concurrently: it must be
/// thread-safe; an exception it throws is dropped. It is never called while
/// the library holds a lock that an SDK call needs (a line logged meanwhile
/// comes once the lock is released, on the same thread), so it may take the
/// application's own locks and call any SDK function. On a thread of the
/// library a close (Camera::Close, destroying a Camera, CloseCamera,
/// CloseSdk) is handed to a thread of the library's own and returns at once;
/// SdkCameraClosed follows. The handler must not wait there for that close,
/// or for anything else the library's threads do: its thread is one of them.
/// In verbose mode the lines of the protocol layers come as those layers log
/// them, possibly while they hold their own locks.
TAVRIN_API void SetSdkLoggingHandler(SdkLoggingHandler handler);

/// Silences the SDK log (a message printer set earlier included) and releases
/// the handler once no call of it is running. Thread-safe.
TAVRIN_API void ClearSdkLoggingHandler();

/// The verbose mode; see Q7::TavrinC::EnablePG13. Thread-safe.
TAVRIN_API void EnablePG13(bool enable);

} // namespace Q7::Tavrin
