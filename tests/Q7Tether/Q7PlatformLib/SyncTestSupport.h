#pragma once
// Test helpers for the synchronisation, thread, error-dispatch and progress
// tests: a log capture and a bounded wait for a condition.

#include "Q7UniversalLogMsg.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Q7::Testing
{

/// Registers itself as a log handler for its lifetime and keeps every line.
class LogCapture
{
public:
    struct Line
    {
        Q7::Universal::EnumLogMsgType type;
        std::wstring text;
    };

    LogCapture() { Q7::Universal::LogMsgManager::AddHandler(Handler()); }
    ~LogCapture() { Q7::Universal::LogMsgManager::RemoveHandler(Handler()); }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// Lines that contain text (of any type when type is 0).
    size_t Count(const std::wstring& text, uint32_t type = 0) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return CountLocked(text, type);
    }

    /// Waits up to timeout for a line that contains text.
    bool WaitFor(const std::wstring& text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return CountLocked(text, 0) > 0; });
    }

    std::vector<Line> Lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

    /// Lines that contain text, of the given thread id column.
    std::vector<std::wstring> Matching(const std::wstring& text) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::wstring> result;
        for (const Line& line : m_lines)
        {
            if (line.text.find(text) != std::wstring::npos)
                result.push_back(line.text);
        }
        return result;
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    Q7::Universal::LogMsgHandler Handler() { return Q7::Universal::LogMsgHandler(this, &LogCapture::OnLine); }

    void OnLine(Q7::Universal::EnumLogMsgType type, const wchar_t* text)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back({type, text != nullptr ? text : L""});
        }
        m_changed.notify_all();
    }

    size_t CountLocked(const std::wstring& text, uint32_t type) const
    {
        size_t n = 0;
        for (const Line& line : m_lines)
        {
            if ((type == 0 || line.type == type) && line.text.find(text) != std::wstring::npos)
                ++n;
        }
        return n;
    }

    mutable std::mutex m_mutex; // guards m_lines
    mutable std::condition_variable m_changed;
    std::vector<Line> m_lines;
};

/// Milliseconds elapsed since start on the steady clock.
inline long long ElapsedMs(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace Q7::Testing
