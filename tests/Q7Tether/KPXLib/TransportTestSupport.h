// Helpers shared by the transport tests (TCP and USB).
#pragma once

#include "Q7UniversalError.h"
#include "Transport/KPXTransport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace TransportTest
{

using namespace std::chrono_literals;
using Q7::KPX::Transport::NotifyCallback;

// Counts link-loss callbacks and lets a test wait for them.
class LinkLossCounter
{
public:
    void OnLinkLost()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        m_changed.notify_all();
        if (m_throw)
        {
            throw Q7::Universal::ModuleError(Q7::Universal::kError_Unexpected, L"callback failure");
        }
    }
    NotifyCallback Callback() { return NotifyCallback(this, &LinkLossCounter::OnLinkLost); }
    int Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    bool WaitForCount(int n)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 5s, [&] { return m_count >= n; });
    }
    void ThrowFromCallback() { m_throw = true; }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
    std::atomic<bool> m_throw{false};
};

} // namespace TransportTest
