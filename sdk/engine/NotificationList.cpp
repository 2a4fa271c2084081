#include "NotificationList.h"

#include "SdkLog.h"

#include <algorithm>
#include <utility>

namespace Q7::TavrinC
{

NotificationList::NotificationList() = default;

NotificationList::~NotificationList() = default;

bool NotificationList::Add(std::uint32_t listenerId, std::shared_ptr<NotificationQueue> queue,
                           std::shared_ptr<const INotificationEvent> filter)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const bool present =
            std::any_of(m_registrations.begin(), m_registrations.end(),
                        [&](const Registration& registration)
                        { return registration.listenerId == listenerId && registration.filter == filter; });
        if (!present)
        {
            m_registrations.push_back({listenerId, std::move(queue), std::move(filter), false});
            return true;
        }
    }
    SdkLog(4, "NotificationList: Trying to insert same notification twice - ignoring\n");
    return false;
}

bool NotificationList::Remove(std::uint32_t listenerId, const INotificationEvent& filter)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // Catch-all registrations have no filter to compare.
        const auto found = std::find_if(m_registrations.begin(), m_registrations.end(),
                                        [&](const Registration& registration)
                                        {
                                            return registration.listenerId == listenerId &&
                                                   !registration.catchAll && *registration.filter == filter;
                                        });
        if (found != m_registrations.end())
        {
            m_registrations.erase(found);
            return true;
        }
    }
    SdkLog(2,
           "Remove notification: Failed find notification: listenerId=%u, cameraId=%d, type=%s "
           "[propertyId=%d]\n",
           listenerId, filter.CameraId(), filter.Type().name.c_str(), static_cast<int>(filter.Id()));
    return false;
}

void NotificationList::RemoveListener(std::uint32_t listenerId) noexcept
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_registrations,
                  [&](const Registration& registration) { return registration.listenerId == listenerId; });
}

bool NotificationList::RemoveForCamera(std::int32_t cameraId)
{
    std::size_t removed = 0;
    std::size_t leaving = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // Catch-all registrations have no filter and name no camera.
        removed =
            std::erase_if(m_registrations, [&](const Registration& registration)
                          { return !registration.catchAll && registration.filter->CameraId() == cameraId; });
        leaving = m_registrations.size();
    }
    SdkLog(5, "RemoveNotificationsForCamera: camid=%u, removed: %u (leaving: %u)\n",
           static_cast<unsigned int>(cameraId), static_cast<unsigned int>(removed),
           static_cast<unsigned int>(leaving));
    return removed > 0;
}

void NotificationList::SetCatchAll(bool enable, std::uint32_t listenerId,
                                   std::shared_ptr<NotificationQueue> queue)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_registrations, [&](const Registration& registration)
                  { return registration.listenerId == listenerId && registration.catchAll; });
    if (enable)
    {
        m_registrations.push_back({listenerId, std::move(queue), nullptr, true});
    }
}

void NotificationList::Post(const std::shared_ptr<const INotificationEvent>& event)
{
    // Inserted under the list lock: once a registration's removal has
    // returned, no post that matched it is still on its way to the queue, and
    // two posts reach every queue they share in the same order. Each
    // insertion is logged after the lock is released, since the log is the
    // application's printer.
    std::size_t inserted = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const Registration& registration : m_registrations)
        {
            // Catch-all first: its filter is empty.
            if ((registration.catchAll || *registration.filter == *event) &&
                registration.queue->Insert(event))
            {
                ++inserted;
            }
        }
    }
    for (std::size_t i = 0; i < inserted; ++i)
    {
        NotificationQueue::LogInserted(*event);
    }
}

void NotificationList::PostCameraEvent(const BaseEventType& type, std::int32_t cameraId)
{
    Post(Q7::Tavrin::BuildNotificationEvent(type, cameraId, 0));
}

void NotificationList::PostSdkEvent(const SdkEventType& type, std::int32_t cameraId)
{
    Post(Q7::Tavrin::BuildNotificationEvent(type, Q7::Tavrin::CameraInfo{}, cameraId));
}

std::size_t NotificationList::Size() const noexcept
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_registrations.size();
}

} // namespace Q7::TavrinC
