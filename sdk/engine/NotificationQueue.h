#pragma once
// The queue of one listener: events waiting to be taken, and the one thread
// that may wait for them.

#include "WakeSignal.h"

#include <TavrinCpp/NotificationEvent.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

/// The events of one listener, in the order they were inserted, without limit.
/// Shared by the Sdk's listener table, the registrations that route to it and
/// a thread waiting on it, so it outlives the listener's deregistration while
/// any of them still holds it. Thread-safe.
class NotificationQueue
{
public:
    NotificationQueue();
    /// Logs level 6 "Destroying non-empty Notification queue, count: %i\n" when
    /// events are left, and discards them.
    virtual ~NotificationQueue();

    NotificationQueue(const NotificationQueue&) = delete;
    NotificationQueue& operator=(const NotificationQueue&) = delete;

    /// Appends event and signals a waiting thread; true when it was queued. On a
    /// closed queue the event is dropped (false): no one can take it any more.
    /// Logs nothing, so that it can be called under the notification list's
    /// lock: the caller logs the insertion with LogInserted once it holds no
    /// lock. Throws std::bad_alloc only. Never blocks beyond the queue lock.
    bool Insert(std::shared_ptr<const Q7::Tavrin::INotificationEvent> event);

    /// Logs at level 5 that event was inserted into a queue. Never throws.
    static void LogInserted(const Q7::Tavrin::INotificationEvent& event) noexcept;

    /// The next event, taken off the queue (logged at level 5). Blocks until one
    /// comes, for at most timeoutMs milliseconds (0: without limit). Gives a new
    /// SdkWakeUp event (camera id -1) when woken by WakeUp, and at once when the
    /// queue is closed or closes while waiting; an empty pointer on time-out
    /// (logged at level 5). The time-out counts from the call: a wait that
    /// wakes without an event or a wake-up waits on until the same deadline.
    /// Throws std::bad_alloc only. One
    /// waiting thread at a time (the flat WaitForNotification sees to it).
    std::shared_ptr<const Q7::Tavrin::INotificationEvent> WaitForNotification(std::uint32_t timeoutMs);

    /// Releases a thread waiting now with the SdkWakeUp event; a wake-up while no
    /// thread waits is not remembered. Never throws.
    void WakeUp() noexcept;

    /// Closes the queue for good: wakes a waiting thread as WakeUp does, and
    /// every later wait returns the SdkWakeUp event at once. So a thread that
    /// found the queue just before the listener was removed or the SDK closed,
    /// and starts waiting only afterwards, cannot block for ever. The events
    /// left are released (one by one, outside the queue lock): no one can take
    /// them any more, and registrations that still route to the queue keep it
    /// alive. Never throws.
    void Close() noexcept;

    /// Number of events waiting. Never throws.
    std::size_t Count() const noexcept;

    /// Whether a thread waits on the queue at this moment. Never throws.
    bool Waiting() const noexcept;

private:
    mutable std::mutex m_mutex; // guards every member below but m_signal
    WakeSignal m_signal;        // signalled on insert while waiting, on wake-up and on close
    bool m_waiting = false;     // a thread waits on m_signal
    bool m_woken = false;       // WakeUp or Close released that thread
    bool m_closed = false;      // set once by Close, never cleared
    std::deque<std::shared_ptr<const Q7::Tavrin::INotificationEvent>> m_events;
};
