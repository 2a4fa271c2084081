#pragma once
// The shared core of a Listener: its listener id, registered with the SDK's
// notification routing for as long as the object lives.

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/NotificationEvent.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Q7::Tavrin
{

class PimplListener
{
public:
    /// Registers a listener (the flat RegisterListener). Throws the exception
    /// of its code.
    PimplListener();
    /// Deregisters the listener; a failure is logged at level 1 "Failed to
    /// destruct Listener object, with error: %s\n" with the thread's last-error
    /// text. Never throws.
    ~PimplListener();

    PimplListener(const PimplListener&) = delete;
    PimplListener& operator=(const PimplListener&) = delete;

    std::uint32_t Id() const noexcept { return m_id; }

    /// Registers the filter of type, camera id and id: the filter object of an
    /// earlier registration with the same three is handed again, so that the
    /// flat layer refuses it as enabled twice (-40) instead of queueing every
    /// event twice. Gives the flat code. Thread-safe.
    ErrorCode Enable(const BaseEventType& type, std::int32_t cameraId, std::uint32_t id);
    /// Removes the registration of type, camera id and id (a fresh prototype
    /// finds it). Gives the flat code. Thread-safe.
    ErrorCode Disable(const BaseEventType& type, std::int32_t cameraId, std::uint32_t id);

private:
    static std::shared_ptr<const INotificationEvent> Build(const BaseEventType& type, std::int32_t cameraId,
                                                           std::uint32_t id);

    std::uint32_t m_id = 0;
    std::mutex m_filtersLock; // guards m_filters
    /// The filters of the registrations made through this listener.
    std::vector<std::shared_ptr<const INotificationEvent>> m_filters;
};

} // namespace Q7::Tavrin
