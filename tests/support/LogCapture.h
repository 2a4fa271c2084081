#pragma once
// Test helper: collects the log lines posted while it lives, so tests can
// count, wait for and read them.

#include "Q7UniversalLogMsg.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
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
// Lines may come from any thread.
class LogCapture
{
public:
    LogCapture() { Q7::Universal::LogMsgManager::AddHandler(Handler()); }
    ~LogCapture() { Q7::Universal::LogMsgManager::RemoveHandler(Handler()); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Number of lines that contain text, of the given type (of any type when
    // type is 0).
    size_t Count(const std::wstring& text, uint32_t type = 0) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return CountLocked(text, type);
    }

    // Waits up to timeout until at least count lines contain text.
    bool WaitFor(const std::wstring& text, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return CountLocked(text, 0) >= count; });
    }

    // Every line so far, in order.
    std::vector<CapturedLine> Captured() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

    // The whole lines of one type, in order.
    std::vector<std::wstring> LinesOfType(Q7::Universal::EnumLogMsgType type) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::wstring> lines;
        for (const CapturedLine& line : m_lines)
        {
            if (line.type == type)
            {
                lines.push_back(line.line);
            }
        }
        return lines;
    }

    // The bodies of every line, in order.
    std::vector<std::wstring> Bodies() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::wstring> bodies;
        for (const CapturedLine& line : m_lines)
        {
            bodies.push_back(line.body);
        }
        return bodies;
    }

private:
    Q7::Universal::LogMsgHandler Handler() { return Q7::Universal::LogMsgHandler(this, &LogCapture::OnLine); }

    void OnLine(Q7::Universal::EnumLogMsgType type, const wchar_t* text)
    {
        std::wstring line(text != nullptr ? text : L"");
        const auto bar = line.find(L") | ");
        std::wstring body = bar == std::wstring::npos ? line : line.substr(bar + 4);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back({type, std::move(line), std::move(body)});
        }
        m_changed.notify_all();
    }

    size_t CountLocked(const std::wstring& text, uint32_t type) const
    {
        size_t n = 0;
        for (const CapturedLine& line : m_lines)
        {
            if ((type == 0 || line.type == type) && line.line.find(text) != std::wstring::npos)
            {
                ++n;
            }
        }
        return n;
    }

    mutable std::mutex m_mutex; // guards m_lines
    mutable std::condition_variable m_changed;
    std::vector<CapturedLine> m_lines;
};

} // namespace TestSupport
