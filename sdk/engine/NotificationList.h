#pragma once
// The registrations of listeners for events, and the delivery of each posted
// event to the queue of every listener that asked for it.

#include "NotificationQueue.h"

#include <TavrinCpp/NotificationEvent.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Q7::TavrinC
{

using Q7::Tavrin::BaseEventType;
using Q7::Tavrin::INotificationEvent;
using Q7::Tavrin::SdkEventType;

/// Registrations in the order they were made: a filter event per registration,
/// or a catch-all one that receives every event. Thread-safe.
///
/// A filter may be the application's own INotificationEvent: its members
/// (operator== above all) are the application's code. They run without the
/// list's lock, and what they throw is caught: a filter that throws matches
/// nothing (the first failure of each registration is logged), and every
/// other registration is served as usual. The SDK log (the application's
/// printer) is written outside the list's lock too.
class NotificationList
{
public:
    struct Registration;

    /// An event and the registrations whose filters matched it: made by Match
    /// without any lock, handed to the queues by Deliver under the list lock.
    class Delivery
    {
    public:
        const std::shared_ptr<const INotificationEvent>& Event() const noexcept { return m_event; }

    private:
        friend class NotificationList;
        std::shared_ptr<const INotificationEvent> m_event;
        std::vector<std::shared_ptr<Registration>> m_targets;
    };

    NotificationList();
    virtual ~NotificationList();

    NotificationList(const NotificationList&) = delete;
    NotificationList& operator=(const NotificationList&) = delete;

    /// Registers filter for the listener's queue. False, with the level-4 log
    /// line "NotificationList: Trying to insert same notification twice -
    /// ignoring\n", when the listener already has this very filter object.
    /// Throws std::bad_alloc only.
    bool Add(std::uint32_t listenerId, std::shared_ptr<NotificationQueue> queue,
             std::shared_ptr<const INotificationEvent> filter);

    /// Erases the listener's first registration whose filter, as a prototype,
    /// equals filter. False, with a level-2 log line naming the listener and the
    /// filter, when there is none. Catch-all registrations are not looked at.
    /// Throws std::bad_alloc only.
    bool Remove(std::uint32_t listenerId, const INotificationEvent& filter);

    /// Erases every registration of the listener, catch-all ones included.
    void RemoveListener(std::uint32_t listenerId) noexcept;

    /// Erases every filter registration whose filter names the camera cameraId
    /// and logs the count at level 5; true when one was erased. Throws
    /// std::bad_alloc only.
    bool RemoveForCamera(std::int32_t cameraId);

    /// Erases the listener's catch-all registration; with enable, appends a new
    /// one for queue. Throws std::bad_alloc only.
    void SetCatchAll(bool enable, std::uint32_t listenerId, std::shared_ptr<NotificationQueue> queue);

    /// The registrations that take event: each catch-all one, and each whose
    /// filter equals it (filter first), in registration order, once per
    /// registration. Runs the filters, so call it holding no lock that an
    /// application call may need. Throws std::bad_alloc only.
    Delivery Match(std::shared_ptr<const INotificationEvent> event) const;

    /// Inserts the event into the queue of each registration of the delivery
    /// that has not been removed meanwhile, all under the list lock: no event
    /// reaches a queue through a registration whose removal has returned, and
    /// every queue sees deliveries in one order. Gives the number of
    /// insertions. Runs no application code and logs nothing, so it may be
    /// called under the camera bridge's locks. Throws std::bad_alloc only.
    std::size_t Deliver(const Delivery& delivery) const;

    /// Logs count insertions of the delivery's event (NotificationQueue::
    /// LogInserted). Never throws.
    static void LogDelivered(const Delivery& delivery, std::size_t count) noexcept;

    /// Match, Deliver and LogDelivered. Called by a thread inside a
    /// LibraryLockScope (holding a library lock), the post waits until the
    /// scope ends. Throws std::bad_alloc only. Never blocks beyond the list and
    /// queue locks (and the filters); called on the camera bridge's threads.
    void Post(const std::shared_ptr<const INotificationEvent>& event);

    /// Posts a plain event of type for the camera (id 0). Throws std::bad_alloc
    /// only.
    void PostCameraEvent(const BaseEventType& type, std::int32_t cameraId);

    /// Posts an SDK event of type with an empty camera description. Throws
    /// std::bad_alloc only.
    void PostSdkEvent(const SdkEventType& type, std::int32_t cameraId);

    /// Number of registrations. Never throws.
    std::size_t Size() const noexcept;

    struct Registration
    {
        std::uint32_t listenerId;
        std::shared_ptr<NotificationQueue> queue;
        std::shared_ptr<const INotificationEvent> filter; // empty for a catch-all registration
        bool catchAll;
        bool removed = false;                  // guarded by the list lock
        std::atomic<bool> filterFailed{false}; // its filter threw (and that was logged)
    };

private:
    using Registrations = std::vector<std::shared_ptr<Registration>>;

    // The registrations now; the vector is never changed, only replaced.
    std::shared_ptr<const Registrations> Snapshot() const;
    // Replaces the registrations by those of the current list that keep
    // returns true for, marking the others removed; hold m_mutex.
    template <typename Keep>
    std::size_t EraseLocked(Keep&& keep);

    mutable std::mutex m_mutex; // guards m_registrations and each Registration::removed
    std::shared_ptr<const Registrations> m_registrations;
};

} // namespace Q7::TavrinC
