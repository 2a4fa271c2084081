#include "Q7UniversalLogMsg.h"

#include "Q7PlatformGeneral_Cmn.h"
#include "Q7PlatformGeneral_Posix.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7PlatformThread_Posix.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <optional>

namespace Q7::Universal
{

struct LogMsgManager::Entry
{
    explicit Entry(const LogMsgHandler& h) : handler(h) {}

    const LogMsgHandler handler;   // owned clone; never changes while listed
    bool removed = false;          // log mutex
    std::uint32_t activeCalls = 0; // threads inside handler now; log mutex
};

namespace
{

// The process's one log mutex: made on first use, never destroyed, so that
// messages posted during static destruction still find it.
Platform::Mutex_Posix& LogMutex()
{
    static Platform::Mutex_Posix* const mutex = new Platform::Mutex_Posix();
    return *mutex;
}

// Adapts the log mutex for std::condition_variable_any. Only used by a thread
// that holds the log mutex exactly once (RemoveHandler), so unlock releases it.
struct LogMutexLockable
{
    void lock() { LogMutex().Lock(Platform::kInfinite); }
    void unlock() { LogMutex().Unlock(); }
};

// Signalled whenever a call of a removed handler ends. Waits use the log mutex.
std::condition_variable_any& RemovedCallEnded()
{
    static auto* const condition = new std::condition_variable_any();
    return *condition;
}

// The manager; null until the first handler is added and after the last is
// purged. Guarded by the log mutex.
LogMsgManager* g_pManager = nullptr;

// The handler calls running on this thread, innermost first (one frame per
// nested call, on the dispatching stack).
struct CallFrame
{
    const void* entry;
    CallFrame* next;
};
thread_local CallFrame* t_pCalls = nullptr;

std::uint32_t CallsOnThisThread(const void* entry) noexcept
{
    std::uint32_t count = 0;
    for (const CallFrame* frame = t_pCalls; frame != nullptr; frame = frame->next)
    {
        if (frame->entry == entry)
        {
            ++count;
        }
    }
    return count;
}

void PostBody(EnumLogMsgType type, const wchar_t* lead, const wchar_t* format, va_list args) noexcept
{
    UniversalString body;
    body.Assign(lead);
    const UniversalString text(format, args);
    body.Append(text.c_str());
    body.Append(L"\n");
    LogMsgManager::PostMessage(type, body.c_str());
}

} // namespace

// ---------------------------------------------------------------- posting functions

void LogDebug(const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    PostBody(kLogMsgType_Debug, nullptr, format, args);
    va_end(args);
}

void LogInfo(const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    PostBody(kLogMsgType_Info, nullptr, format, args);
    va_end(args);
}

void LogWarning(const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    PostBody(kLogMsgType_Warning, L"Warning: ", format, args);
    va_end(args);
}

void LogErrorText(const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    PostBody(kLogMsgType_Error, L"Error: ", format, args);
    va_end(args);
}

void LogErrorV(const UniversalError& error, const wchar_t* format, va_list args) noexcept
{
    const UniversalString prefix(format, args);
    UniversalString body;
    body.Assign(L"Error: ");
    body.Append(FormatErrorText(error, prefix.Get()).c_str());
    body.Append(L"\n");
    LogMsgManager::PostMessage(kLogMsgType_Error, body.c_str());
}

void LogError(const UniversalError& error, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    LogErrorV(error, format, args);
    va_end(args);
}

void LogStandardError(const wchar_t* format, ...) noexcept
{
    const StandardError error(static_cast<std::uint32_t>(errno), nullptr);
    va_list args;
    va_start(args, format);
    LogErrorV(error, format, args);
    va_end(args);
}

void LogSystemError(std::uint32_t code, const wchar_t* format, ...) noexcept
{
    const Platform::SystemError_Posix error(code, nullptr);
    va_list args;
    va_start(args, format);
    LogErrorV(error, format, args);
    va_end(args);
}

void ReportInternalError(const wchar_t* text, const SourceLocation& location) noexcept
{
    UniversalString body;
    body.Assign(L"Internal Error: ");
    body.Append(text);
    body.Append(L" ");
    body.Append(location.ToString().c_str());
    body.Append(L"\n");
    LogMsgManager::PostMessage(kLogMsgType_InternalError, body.c_str());
}

void AssertionFailed(const wchar_t* expression, const SourceLocation& location) noexcept
{
    UniversalString body;
    body.Assign(L"Assertion failed: ");
    body.Append(expression);
    body.Append(L" ");
    body.Append(location.ToString().c_str());
    body.Append(L"\n");
    LogMsgManager::PostMessage(kLogMsgType_Assertion, body.c_str());
    Platform::ShowAssertionDialog(expression, location);
    LogMsgManager::PostMessage(kLogMsgType_Assertion, L"Aborting the application\n");
    std::abort();
}

// ---------------------------------------------------------------- LogMsgManager

LogMsgManager::LogMsgManager() = default;
LogMsgManager::~LogMsgManager() = default;

void LogMsgManager::PostMessage(EnumLogMsgType type, const wchar_t* text) noexcept
{
    Platform::DateTime now;
    Platform::GetDateTime(now, true);
    wchar_t prefix[128];
    std::swprintf(prefix, 128, L"%4i-%02i-%02i %02i:%02i:%02i.%03u (%-5llu) | ", now.time.tm_year + 1900,
                  now.time.tm_mon + 1, now.time.tm_mday, now.time.tm_hour, now.time.tm_min, now.time.tm_sec,
                  now.milliseconds, static_cast<unsigned long long>(Platform::CurrentThreadId()));
    UniversalString line;
    line.Assign(prefix);
    line.Append(text);

    const Platform::ScopedLock lock(LogMutex());
    if (g_pManager != nullptr)
    {
        g_pManager->PostMessageIntern(type, line.c_str());
    }
}

void LogMsgManager::PostMessageIntern(EnumLogMsgType type, const wchar_t* line) noexcept
{
    ++m_busyCount;
    try
    {
        // Indexed walk: entries appended while the mutex is released are reached;
        // nothing is erased while m_busyCount is non-zero.
        for (std::size_t i = 0; i < m_entries.size(); ++i)
        {
            Entry* entry = m_entries[i].get();
            if (entry->removed)
            {
                continue;
            }
            ++entry->activeCalls;
            CallFrame frame{entry, t_pCalls};
            t_pCalls = &frame;
            LogMutex().Unlock();
            try
            {
                if (!entry->handler.IsNull())
                {
                    entry->handler(type, line);
                }
            }
            catch (...)
            {
                Platform::DebugOutput(L"Ignoring exception thrown by LogMsgHandler");
            }
            LogMutex().Lock(Platform::kInfinite);
            t_pCalls = frame.next;
            --entry->activeCalls;
            if (entry->removed)
            {
                RemovedCallEnded().notify_all();
            }
        }
    }
    catch (const std::exception& e)
    {
        Platform::DebugOutput(
            FormatErrorText(StdExceptionError(e), L"Ignoring exception thrown in PostMessageIntern").c_str());
    }
    --m_busyCount;
    if (m_busyCount == 0 && m_purgePending)
    {
        m_purgePending = false;
        Purge(); // may destroy this manager: nothing may follow
    }
}

void LogMsgManager::Purge() noexcept
{
    LogMsgManager* manager = g_pManager;
    if (manager == nullptr)
    {
        return;
    }
    std::erase_if(manager->m_entries, [](const std::shared_ptr<Entry>& entry) { return entry->removed; });
    if (manager->m_entries.empty())
    {
        g_pManager = nullptr;
        delete manager;
    }
}

void LogMsgManager::AddHandler(const LogMsgHandler& handler)
{
    std::optional<StdExceptionError> failure;
    {
        const Platform::ScopedLock lock(LogMutex());
        try
        {
            if (g_pManager == nullptr)
            {
                g_pManager = new LogMsgManager();
            }
            std::shared_ptr<Entry> found;
            for (const auto& entry : g_pManager->m_entries)
            {
                if (entry->handler == handler)
                {
                    found = entry;
                    break;
                }
            }
            if (found)
            {
                if (found->removed)
                {
                    // Revived: a RemoveHandler waiting for calls of this entry
                    // must stop waiting now.
                    found->removed = false;
                    RemovedCallEnded().notify_all();
                }
            }
            else
            {
                g_pManager->m_entries.push_back(std::make_shared<Entry>(handler));
            }
        }
        catch (const std::exception& e)
        {
            failure.emplace(e);
        }
    }
    if (failure)
    {
        Q7_THROW_INTERNAL_ERROR(*failure, nullptr);
    }
}

void LogMsgManager::RemoveHandler(const LogMsgHandler& handler)
{
    const Platform::ScopedLock lock(LogMutex());
    if (g_pManager == nullptr)
    {
        return;
    }
    std::shared_ptr<Entry> found;
    for (const auto& entry : g_pManager->m_entries)
    {
        if (entry->handler == handler)
        {
            found = entry;
            break;
        }
    }
    if (!found)
    {
        return;
    }
    found->removed = true;
    if (g_pManager->m_busyCount == 0)
    {
        Purge(); // no walk runs, so nobody is inside the handler
        return;
    }
    g_pManager->m_purgePending = true;

    // Wait, with the log mutex released, until no other thread is inside the
    // handler. Calls of this thread itself (a handler removing itself) are not
    // waited for. A handler revived by AddHandler meanwhile ends the wait.
    LogMutexLockable lockable;
    RemovedCallEnded().wait(
        lockable,
        [&found] { return !found->removed || found->activeCalls <= CallsOnThisThread(found.get()); });
}

// ---------------------------------------------------------------- LogFileMsgReceiver

LogFileMsgReceiver::LogFileMsgReceiver(const wchar_t* path, bool openNow)
    : m_pControlMutex(std::make_unique<Platform::Mutex_Posix>()),
      m_pMutex(std::make_unique<Platform::Mutex_Posix>())
{
    m_path.Assign(path);
    if (openNow && path != nullptr && path[0] != 0)
    {
        try
        {
            Open();
        }
        catch (...)
        {
            LogErrorText(L"Ignoring unexpected exception from LogFileMsgReceiver::Open().");
        }
    }
}

LogFileMsgReceiver::~LogFileMsgReceiver()
{
    // Unregistered whatever the state says: once the destructor has returned, no
    // log line may reach this object.
    const Platform::ScopedLock control(*m_pControlMutex);
    CloseControlled(true);
}

LogMsgHandler LogFileMsgReceiver::Handler()
{
    return LogMsgHandler(this, &LogFileMsgReceiver::Write);
}

void LogFileMsgReceiver::Open()
{
    const Platform::ScopedLock control(*m_pControlMutex);
    CloseControlled(false);
    try
    {
        UniversalString path;
        {
            const Platform::ScopedLock lock(*m_pMutex);
            path = m_path;
        }
        int openError = ENOENT;
        std::FILE* file = nullptr;
        if (!path.IsEmpty())
        {
            const UniversalStringA narrowPath = ToNarrow(path.c_str());
            file = std::fopen(narrowPath.c_str(), "ae"); // append; close on exec
            openError = file == nullptr ? errno : 0;
        }
        if (file == nullptr)
        {
            ThrowStandardError(StandardError(static_cast<std::uint32_t>(openError), path.Get()),
                               L"Failed to open file.");
        }
        if (std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) == 0)
        {
            static constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
            std::fwrite(kBom, 1, sizeof kBom, file);
            std::fflush(file);
        }
        {
            const Platform::ScopedLock lock(*m_pMutex);
            m_pFile = file;
        }
        LogMsgManager::AddHandler(Handler());
    }
    catch (...)
    {
        CloseControlled(false);
        throw;
    }
}

void LogFileMsgReceiver::Close() noexcept
{
    const Platform::ScopedLock control(*m_pControlMutex);
    CloseControlled(false);
}

void LogFileMsgReceiver::CloseControlled(bool unregisterAlways) noexcept
{
    bool open = false;
    {
        const Platform::ScopedLock lock(*m_pMutex);
        open = m_pFile != nullptr;
    }
    if (!open && !unregisterAlways)
    {
        return;
    }
    // Unregister without the receiver's mutex: RemoveHandler waits for Write
    // calls of other threads, which take that mutex.
    try
    {
        LogMsgManager::RemoveHandler(Handler());
    }
    catch (...)
    {
        LogErrorText(L"Ignoring exception from LogMsgManager::RemoveHandler().");
    }
    int closeError = 0;
    UniversalString path;
    {
        const Platform::ScopedLock lock(*m_pMutex);
        if (m_pFile != nullptr)
        {
            if (std::fclose(m_pFile) != 0)
            {
                closeError = errno;
                path = m_path;
            }
            m_pFile = nullptr;
        }
    }
    if (closeError != 0)
    {
        LogError(StandardError(static_cast<std::uint32_t>(closeError), path.Get()), L"Failed to close file.");
    }
}

void LogFileMsgReceiver::Write(EnumLogMsgType type, const wchar_t* text)
{
    const UniversalStringA bytes = ToNarrow(text);
    const Platform::ScopedLock lock(*m_pMutex);
    if (m_pFile == nullptr || (type == kLogMsgType_Debug && !m_verbose))
    {
        return;
    }
    std::fwrite(bytes.c_str(), 1, bytes.Length(), m_pFile);
    std::fflush(m_pFile);
}

void LogFileMsgReceiver::SetPath(const wchar_t* path)
{
    const Platform::ScopedLock control(*m_pControlMutex);
    {
        const Platform::ScopedLock lock(*m_pMutex);
        if (m_pFile == nullptr)
        {
            m_path.Assign(path);
            return;
        }
    }
    CloseControlled(false);
    {
        const Platform::ScopedLock lock(*m_pMutex);
        m_path.Assign(path);
    }
    if (path != nullptr)
    {
        Open(); // an empty path fails there, logged and raised
    }
}

void LogFileMsgReceiver::SetVerbose(bool verbose)
{
    const Platform::ScopedLock lock(*m_pMutex);
    m_verbose = verbose;
}

bool LogFileMsgReceiver::GetVerbose() const
{
    const Platform::ScopedLock lock(*m_pMutex);
    return m_verbose;
}

bool LogFileMsgReceiver::IsOpen() const
{
    const Platform::ScopedLock lock(*m_pMutex);
    return m_pFile != nullptr;
}

UniversalString LogFileMsgReceiver::GetPath() const
{
    const Platform::ScopedLock lock(*m_pMutex);
    return m_path;
}

} // namespace Q7::Universal
