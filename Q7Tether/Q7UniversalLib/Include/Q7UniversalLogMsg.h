#pragma once
// Typed log messages of the libraries: the posting functions, the process-wide
// manager that hands every line to the registered handlers, and a ready handler
// that appends the lines to a UTF-8 file.
//
// Every posting function is thread-safe and never throws. A line is
// "YYYY-MM-DD hh:mm:ss.mmm (tid  ) | " followed by the body of its type; nobody
// listens by default, so an unheard message costs only its formatting. Handlers
// run on the posting thread, never with the log mutex held; an exception thrown
// by a handler never reaches the posting thread.

#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Q7UniversalString.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

namespace Q7::Platform
{
class Mutex_Posix;
}

namespace Q7::Universal
{

/// Type of a log message, one bit each.
enum EnumLogMsgType : std::uint32_t
{
    kLogMsgType_Debug = 1,          ///< body: text "\n"
    kLogMsgType_Info = 2,           ///< body: text "\n"
    kLogMsgType_Warning = 4,        ///< body: "Warning: " text "\n"
    kLogMsgType_Error = 8,          ///< body: "Error: " text "\n"
    kLogMsgType_InternalError = 16, ///< body: "Internal Error: " text " " location "\n"
    kLogMsgType_Assertion = 32,     ///< body: "Assertion failed: " expression " " location "\n"
};

/// A log handler: called with the message type and the whole line (ending in "\n").
using LogMsgHandler = FunctionPointer2<void, EnumLogMsgType, const wchar_t*>;

// Posting functions. Each formats printf-style (wide format, %ls for wide text),
// builds the body of its type and posts it. A text that cannot be formatted is
// posted empty after its prefix.

/// Posts a debug message (type 1).
void LogDebug(const wchar_t* format, ...) noexcept;
/// Posts an information message (type 2).
void LogInfo(const wchar_t* format, ...) noexcept;
/// Posts a warning (type 4): "Warning: " text "\n".
void LogWarning(const wchar_t* format, ...) noexcept;
/// Posts an error text (type 8): "Error: " text "\n".
void LogErrorText(const wchar_t* format, ...) noexcept;
/// Posts an error (type 8): "Error: " FormatErrorText(error, formatted text) "\n";
/// no prefix when format is null or empty.
void LogError(const UniversalError& error, const wchar_t* format = nullptr, ...) noexcept;
/// LogError with a va_list.
void LogErrorV(const UniversalError& error, const wchar_t* format, va_list args) noexcept;
/// LogError of a StandardError of the current errno (no context).
void LogStandardError(const wchar_t* format, ...) noexcept;
/// LogError of a SystemError_Posix of code (no context).
void LogSystemError(std::uint32_t code, const wchar_t* format, ...) noexcept;

/// The process-wide dispatcher of log lines to handlers. All members are static
/// and thread-safe.
class LogMsgManager
{
public:
    /// Prefixes text with the local date and time and the calling thread's id and
    /// hands the line to every registered handler, in registration order, on the
    /// calling thread. Never throws; blocks only while another thread walks the
    /// handler list (not while handlers run).
    static void PostMessage(EnumLogMsgType type, const wchar_t* text) noexcept;

    /// Registers a clone of handler. A handler equal to a registered one is not
    /// listed twice (a handler removed while a dispatch runs is revived in its old
    /// place). Throws StdExceptionError (internal error) when the list cannot
    /// grow. May be called from inside a handler.
    static void AddHandler(const LogMsgHandler& handler);

    /// Unregisters the handler equal to handler; nothing when none is registered.
    /// Once it returns, no other thread is inside that handler and none will enter
    /// it: it waits, without holding the log mutex, for calls running on other
    /// threads to end. Called from inside the handler itself it does not wait for
    /// its own call. Never call it while holding a lock that the handler takes,
    /// nor from one handler while another thread may remove the first from the
    /// second (each would wait for the other).
    static void RemoveHandler(const LogMsgHandler& handler);

    LogMsgManager(const LogMsgManager&) = delete;
    LogMsgManager& operator=(const LogMsgManager&) = delete;

private:
    struct Entry;

    LogMsgManager();
    ~LogMsgManager();

    // The dispatch itself; log mutex held on entry and exit, released around
    // every handler call.
    void PostMessageIntern(EnumLogMsgType type, const wchar_t* line) noexcept;
    // Erases removed entries; destroys the manager when none is left. Log mutex
    // held, no dispatch running.
    static void Purge() noexcept;

    std::vector<std::shared_ptr<Entry>> m_entries; // insertion order; guarded by the log mutex
    std::uint32_t m_busyCount = 0;                 // dispatches walking m_entries; log mutex
    bool m_purgePending = false;                   // an entry was removed during a walk; log mutex
};

/// A log handler that appends every line to a UTF-8 file (with a byte-order mark
/// when the file is new or empty). Debug lines are written only in verbose mode.
/// Thread-safe: all members may be called from any thread; Open, Close, SetPath
/// and the destructor run one at a time; lines of different threads never
/// interleave within a line. Never call Open, Close or SetPath from inside a log
/// handler while another thread may be in one of them for this receiver.
class LogFileMsgReceiver
{
public:
    /// Stores the path; with openNow and a path, opens at once. A failure of that
    /// open is logged ("Ignoring unexpected exception from
    /// LogFileMsgReceiver::Open().") and the receiver stays closed.
    explicit LogFileMsgReceiver(const wchar_t* path = nullptr, bool openNow = false);
    /// Unregisters (whether open or not, waiting for running Write calls of other
    /// threads), then closes the file. No log line reaches the receiver once it
    /// has returned.
    ~LogFileMsgReceiver();

    LogFileMsgReceiver(const LogFileMsgReceiver&) = delete;
    LogFileMsgReceiver& operator=(const LogFileMsgReceiver&) = delete;

    /// Closes, then opens the file at the path for appending and registers the
    /// receiver as a log handler. Throws StandardError (logged, "Failed to open
    /// file.", the path as context) when the file does not open, also for an
    /// empty path; the receiver is closed then. Blocks on the file system.
    void Open();
    /// Unregisters the receiver (waiting for running Write calls of other
    /// threads), then closes the file. A failed close is logged ("Failed to close
    /// file."); the receiver is closed afterwards either way. Never throws.
    void Close() noexcept;
    /// The handler body: writes the line (UTF-8) and flushes.
    void Write(EnumLogMsgType type, const wchar_t* text);
    /// Stores the path; an open receiver is closed first and, for a non-null path,
    /// opened again there (throws as Open: an empty path fails).
    void SetPath(const wchar_t* path);

    void SetVerbose(bool verbose);
    bool GetVerbose() const;
    bool IsOpen() const;
    /// The path, or an empty text when none.
    UniversalString GetPath() const;

private:
    LogMsgHandler Handler();
    // Close with the control mutex held; with unregisterAlways also unregisters a
    // receiver that has no file.
    void CloseControlled(bool unregisterAlways) noexcept;

    // Serialises Open, Close, SetPath and the destructor, so that the receiver is
    // registered exactly while it has a file. Write never takes it.
    std::unique_ptr<Platform::Mutex_Posix> m_pControlMutex;
    std::unique_ptr<Platform::Mutex_Posix> m_pMutex; // guards the members below; taken by Write
    std::FILE* m_pFile = nullptr;                    // null when closed
    UniversalString m_path;
    bool m_verbose = false;
};

/// Runs `call`, a callback of the library's user (a sink, a receiver), and
/// logs whatever it throws as ModuleError 0x6500CB with `text` and the
/// exception's message, so that it never reaches the library's thread.
template <typename Call>
void CallAndLogErrors(const wchar_t* text, Call&& call) noexcept
{
    try
    {
        call();
    }
    catch (const UniversalError& error)
    {
        LogError(ModuleError(kError_UnexpectedException, text), L"%ls", error.GetMessage().c_str());
    }
    catch (const std::exception& exception)
    {
        LogError(ModuleError(kError_UnexpectedException, text), L"%ls", FromNarrow(exception.what()).c_str());
    }
    catch (...)
    {
        LogError(ModuleError(kError_UnexpectedException, text));
    }
}

} // namespace Q7::Universal
