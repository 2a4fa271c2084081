#include "NotificationQueue.h"

#include "SdkLog.h"

#include <chrono>
#include <utility>

using Q7::Tavrin::INotificationEvent;
using Q7::TavrinC::SdkLog;

namespace
{

// The SDK log receives the application's printer: it is called outside the
// queue lock.
void LogEvent(const char* format, const Q7::Tavrin::INotificationEvent& event)
{
    SdkLog(5, format, event.CameraId(), event.Type().name.c_str(), static_cast<int>(event.Id()));
}

std::shared_ptr<const Q7::Tavrin::INotificationEvent> MakeWakeUpEvent()
{
    return Q7::Tavrin::BuildNotificationEvent(Q7::Tavrin::SdkEventType::SdkWakeUp, Q7::Tavrin::CameraInfo{},
                                              -1);
}

} // namespace

NotificationQueue::NotificationQueue() = default;

NotificationQueue::~NotificationQueue()
{
    // No thread can wait here any more: each one holds the queue while it waits.
    if (!m_events.empty())
    {
        SdkLog(6, "Destroying non-empty Notification queue, count: %i\n", static_cast<int>(m_events.size()));
    }
}

bool NotificationQueue::Insert(std::shared_ptr<const INotificationEvent> event)
{
    bool waiting = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
        {
            return false;
        }
        m_events.push_back(std::move(event));
        waiting = m_waiting;
    }
    // Signalled once the lock is released: the woken thread takes the event
    // at once instead of blocking on the lock this thread still holds (one
    // wake-up, not two), and finds the lock free. A thread that waits now read
    // the signal count before the event was queued, so it is woken; one that
    // waits later finds the event.
    if (waiting)
    {
        m_signal.SignalOne();
    }
    return true;
}

void NotificationQueue::LogInserted(const INotificationEvent& event) noexcept
{
    LogEvent("NotificationQueue: Insert notification in queue: cameraId = %d, type = %s [propertyId = %d]\n",
             event);
}

std::shared_ptr<const Q7::Tavrin::INotificationEvent>
NotificationQueue::WaitForNotification(std::uint32_t timeoutMs)
{
    // One deadline for the whole wait, so that a spurious wake-up does not extend it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;)
    {
        if (m_closed)
        {
            lock.unlock();
            return MakeWakeUpEvent();
        }
        if (!m_events.empty())
        {
            std::shared_ptr<const INotificationEvent> event = std::move(m_events.front());
            m_events.pop_front();
            lock.unlock();
            LogEvent(
                "NotificationQueue: Remove notification from queue: cameraId = %d, type = %s [propertyId = "
                "%d]\n",
                *event);
            return event;
        }
        m_waiting = true;
        m_woken = false;
        // Read under the lock: a signal sent once it is released ends the wait.
        // The lock is not held while sleeping, nor taken by the wake-up itself:
        // the thread takes it once awake, and the signalling thread has
        // released it by then.
        const std::uint32_t seen = m_signal.Current();
        lock.unlock();
        bool timedOut = false;
        if (timeoutMs == 0)
        {
            m_signal.Wait(seen);
        }
        else
        {
            timedOut = !m_signal.WaitUntil(seen, deadline);
        }
        lock.lock();
        const bool woken = m_woken;
        m_waiting = false;
        m_woken = false;
        if (woken || m_closed)
        {
            lock.unlock();
            return MakeWakeUpEvent();
        }
        if (timedOut && m_events.empty())
        {
            lock.unlock();
            SdkLog(5, "NotificationQueue: WaitForNotification: timeout\n");
            return nullptr;
        }
    }
}

void NotificationQueue::WakeUp() noexcept
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waiting)
    {
        m_woken = true;
        m_signal.SignalAll();
    }
}

void NotificationQueue::Close() noexcept
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_closed = true;
    if (m_waiting)
    {
        m_woken = true;
    }
    m_signal.SignalAll();
    // Taken one at a time and released unlocked (without allocating): the last
    // reference to an event may free a large payload.
    while (!m_events.empty())
    {
        std::shared_ptr<const INotificationEvent> event = std::move(m_events.front());
        m_events.pop_front();
        lock.unlock();
        event.reset();
        lock.lock();
    }
}

std::size_t NotificationQueue::Count() const noexcept
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_events.size();
}

bool NotificationQueue::Waiting() const noexcept
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiting;
}
