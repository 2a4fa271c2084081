#include "SdkLog.h"

#include "SingleLockGuard.h"

#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace Q7::TavrinC
{

namespace
{

void SilentPrinter(int, const char*, va_list) {}

using Q7::Tavrin::LogMessageLevel;
using Handler = Q7::Tavrin::SdkLoggingHandler;

// The logging handler, replaced as a whole. A dispatch runs on its own
// reference to the handler it loaded, so replacing or clearing the handler
// never destroys one that is running.
class HandlerSlot
{
public:
    std::shared_ptr<const Handler> Load() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_handler;
    }
    // Whether a handler is stored, without taking the lock.
    bool Present() const noexcept { return m_present.load(std::memory_order_acquire); }
    void Store(std::shared_ptr<const Handler> handler)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_handler.swap(handler);
            m_present.store(m_handler != nullptr, std::memory_order_release);
        }
        // The previous handler is released here, outside the lock: its
        // destructor may log.
    }

private:
    mutable std::mutex m_mutex; // guards m_handler
    std::shared_ptr<const Handler> m_handler;
    std::atomic<bool> m_present{false}; // m_handler is set; written under m_mutex
};

// Printer, handler and verbose flag are set by the application at any time
// while library threads log: each is exchanged atomically.
constinit std::atomic<MessagePrinter> g_printer{&SilentPrinter};
constinit std::atomic<bool> g_verbose{false};

// The handler slot is never destroyed: library threads woken by the close at
// process exit still log while static destructors run.
HandlerSlot& TheHandlerSlot()
{
    static HandlerSlot& slot = *new HandlerSlot;
    return slot;
}

// The utility log's handler object for RouteUniversalLogMessage; two such
// objects are equal, so registering it twice lists it once.
Q7::Universal::LogMsgHandler RouterHandler()
{
    return Q7::Universal::LogMsgHandler(&RouteUniversalLogMessage);
}

// Whether printer does anything with a line of level: the silent printer
// does not, nor the handler's dispatch without a handler or for a level it
// drops.
bool Prints(MessagePrinter printer, int level) noexcept
{
    if (printer == nullptr || printer == &SilentPrinter)
    {
        return false;
    }
    if (printer == &SdkLoggingDispatch)
    {
        return level >= 1 && level <= 5 && TheHandlerSlot().Present();
    }
    return true;
}

void CallPrinter(MessagePrinter printer, int level, const char* format, va_list args) noexcept
{
    try
    {
        printer(level, format, args);
    }
    catch (...)
    {
        // The caller may be a library thread or a destructor: a failing printer
        // loses its line, nothing more.
    }
}

// Hands a line formatted earlier to the printer installed now.
void PrintFormatted(int level, const char* format, ...) noexcept
{
    const MessagePrinter printer = g_printer.load(std::memory_order_acquire);
    if (printer == nullptr)
    {
        return;
    }
    va_list args;
    va_start(args, format);
    CallPrinter(printer, level, format, args);
    va_end(args);
}

// Keeps a line logged while the thread holds a library lock: formatted now,
// printed once the lock is released. Lost when memory runs out.
void DeferLine(int level, const char* format, va_list args) noexcept
{
    try
    {
        va_list measure;
        va_copy(measure, args);
        const int length = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        if (length < 0)
        {
            return;
        }
        std::string text(static_cast<std::size_t>(length), '\0');
        std::vsnprintf(text.data(), text.size() + 1, format, args);
        LibraryLockScope::Defer([level, text = std::move(text)]
                                { PrintFormatted(level, "%s", text.c_str()); });
    }
    catch (...)
    {
        // Out of memory: the line is lost.
    }
}

} // namespace

void SdkLog(int level, const char* format, ...) noexcept
{
    if (g_verbose.load(std::memory_order_relaxed) && level > 5)
    {
        level = 5;
    }
    const MessagePrinter printer = g_printer.load(std::memory_order_acquire);
    if (!Prints(printer, level))
    {
        return;
    }
    va_list args;
    va_start(args, format);
    if (LibraryLockScope::Active())
    {
        // The printer is the application's code: not called while this thread
        // holds a lock that an application call may need.
        DeferLine(level, format, args);
    }
    else
    {
        CallPrinter(printer, level, format, args);
    }
    va_end(args);
}

void SdkLoggingDispatch(int level, const char* format, va_list args)
{
    const std::shared_ptr<const Handler> handler = TheHandlerSlot().Load();
    if (handler == nullptr)
    {
        return;
    }
    LogMessageLevel mapped;
    switch (level)
    {
    case 1:
        mapped = LogMessageLevel::Error;
        break;
    case 2:
        mapped = LogMessageLevel::Warning;
        break;
    case 3:
    case 4:
        mapped = LogMessageLevel::Info;
        break;
    case 5:
        mapped = LogMessageLevel::Debug;
        break;
    default:
        return;
    }
    char line[4096] = {};
    std::vsnprintf(line, sizeof line, format, args);
    (*handler)(line, mapped);
}

void RouteUniversalLogMessage(Q7::Universal::EnumLogMsgType type, const wchar_t* text) noexcept
{
    const Q7::Universal::UniversalStringA utf8 =
        Q7::Universal::EncodeText(text, Q7::Universal::kEncoding_UTF8);
    const char* line = utf8.c_str();
    switch (type)
    {
    case Q7::Universal::kLogMsgType_Debug:
        SdkLog(5, "%s", line);
        break;
    case Q7::Universal::kLogMsgType_Info:
        SdkLog(4, "%s", line);
        break;
    case Q7::Universal::kLogMsgType_Warning:
        SdkLog(2, "%s", line);
        break;
    case Q7::Universal::kLogMsgType_Error:
        SdkLog(1, "%s", line);
        break;
    case Q7::Universal::kLogMsgType_InternalError:
        SdkLog(1, "INTERNAL ERROR: %s", line);
        break;
    case Q7::Universal::kLogMsgType_Assertion:
        SdkLog(1, "ASSERT FAILED: %s", line);
        break;
    default:
        SdkLog(2, "PG-13 rated log content received unsupported LogMsgType!");
        break;
    }
}

void SetMessagePrinter(MessagePrinter printer)
{
    g_printer.store(printer, std::memory_order_release);
}

void EnablePG13(bool enable)
{
    g_verbose.store(enable, std::memory_order_relaxed);
    try
    {
        if (enable)
        {
            SdkLog(4, "\n\tEnabling Rated PG-13 log content - Parental Discretion Iz Advised!\n\n");
            Q7::Universal::LogMsgManager::AddHandler(RouterHandler());
        }
        else
        {
            Q7::Universal::LogMsgManager::RemoveHandler(RouterHandler());
        }
    }
    catch (...)
    {
        // Only running out of memory fails here: the utility log then stays
        // unrouted (or routed), the verbose flag is set either way.
    }
}

} // namespace Q7::TavrinC

namespace Q7::Tavrin
{

void SetSdkLoggingHandler(SdkLoggingHandler handler)
{
    std::shared_ptr<const SdkLoggingHandler> shared;
    if (handler)
    {
        shared = std::make_shared<const SdkLoggingHandler>(std::move(handler));
    }
    Q7::TavrinC::TheHandlerSlot().Store(std::move(shared));
    Q7::TavrinC::SetMessagePrinter(&Q7::TavrinC::SdkLoggingDispatch);
}

void ClearSdkLoggingHandler()
{
    Q7::TavrinC::SetMessagePrinter(nullptr);
    Q7::TavrinC::TheHandlerSlot().Store(nullptr);
}

void EnablePG13(bool enable)
{
    Q7::TavrinC::EnablePG13(enable);
}

} // namespace Q7::Tavrin
