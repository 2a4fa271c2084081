#pragma once
// Test helper: collects the log lines posted while it lives.

#include "Q7UniversalLogMsg.h"

#include <mutex>
#include <string>
#include <vector>

namespace TestSupport
{

struct CapturedLine
{
    Q7::Universal::EnumLogMsgType type;
    std::wstring line; // the whole line, prefix included
    std::wstring body; // the text after the "(tid) | " prefix
};

// Registers a handler that records every line; unregisters in its destructor.
// One capture at a time per process.
class LogCapture
{
public:
    LogCapture()
    {
        {
            std::lock_guard<std::mutex> lock(Mutex());
            Lines().clear();
        }
        Q7::Universal::LogMsgManager::AddHandler(Handler());
    }
    ~LogCapture() { Q7::Universal::LogMsgManager::RemoveHandler(Handler()); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedLine> Captured() const
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return Lines();
    }

    std::vector<std::wstring> Bodies() const
    {
        std::vector<std::wstring> bodies;
        for (const auto& line : Captured())
        {
            bodies.push_back(line.body);
        }
        return bodies;
    }

    static Q7::Universal::LogMsgHandler Handler() { return Q7::Universal::LogMsgHandler(&Record); }

private:
    static void Record(Q7::Universal::EnumLogMsgType type, const wchar_t* text)
    {
        std::wstring line(text);
        const auto bar = line.find(L") | ");
        std::wstring body = bar == std::wstring::npos ? line : line.substr(bar + 4);
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().push_back({type, line, body});
    }
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<CapturedLine>& Lines()
    {
        static std::vector<CapturedLine> lines;
        return lines;
    }
};

} // namespace TestSupport
