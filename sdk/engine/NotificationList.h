#pragma once
// The registrations of listeners for events, and the delivery of each posted
// event to the queue of every listener that asked for it.

#include "NotificationQueue.h"

#include <TavrinCpp/NotificationEvent.h>

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
/// or a catch-all one that receives every event. Thread-safe; callbacks (the
/// SDK log) run outside its lock.
class NotificationList
{
public:
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
    /// filter, when there is none. filter must not be null. Catch-all
    /// registrations are not looked at.
    bool Remove(std::uint32_t listenerId, const INotificationEvent& filter);

    /// Erases every registration of the listener, catch-all ones included.
    void RemoveListener(std::uint32_t listenerId) noexcept;

    /// Erases every filter registration whose filter names the camera cameraId
    /// and logs the count at level 5; true when one was erased.
    bool RemoveForCamera(std::int32_t cameraId);

    /// Erases the listener's catch-all registration; with enable, appends a new
    /// one for queue. Throws std::bad_alloc only.
    void SetCatchAll(bool enable, std::uint32_t listenerId, std::shared_ptr<NotificationQueue> queue);

    /// Inserts event into the queue of every registration that is catch-all or
    /// whose filter equals it (filter first), once per registration, in
    /// registration order, all under the list lock: no event reaches a queue
    /// through a registration whose removal has returned, and every queue sees
    /// concurrent posts in one order. Logs each insertion after the lock is
    /// released. Throws std::bad_alloc only. Never blocks beyond the list and
    /// queue locks; called on the camera bridge's threads.
    void Post(const std::shared_ptr<const INotificationEvent>& event);

    /// Posts a plain event of type for the camera (id 0). Throws std::bad_alloc
    /// only.
    void PostCameraEvent(const BaseEventType& type, std::int32_t cameraId);

    /// Posts an SDK event of type with an empty camera description. Throws
    /// std::bad_alloc only.
    void PostSdkEvent(const SdkEventType& type, std::int32_t cameraId);

    /// Number of registrations. Never throws.
    std::size_t Size() const noexcept;

private:
    struct Registration
    {
        std::uint32_t listenerId;
        std::shared_ptr<NotificationQueue> queue;
        std::shared_ptr<const INotificationEvent> filter; // empty for a catch-all registration
        bool catchAll;
    };

    mutable std::mutex m_mutex; // guards m_registrations
    std::vector<Registration> m_registrations;
};

} // namespace Q7::TavrinC
