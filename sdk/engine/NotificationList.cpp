#include "NotificationList.h"

#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

namespace Q7::TavrinC
{

namespace
{

using Registration = NotificationList::Registration;

// A filter that threw matches nothing; its first failure is logged.
void FilterFailed(Registration& registration, const char* what) noexcept
{
    if (!registration.filterFailed.exchange(true))
    {
        SdkLog(2, "NotificationList: the notification filter of listener %u threw (%s); it matches nothing\n",
               registration.listenerId, what);
    }
}

// Whether the registration's filter, as a prototype, equals event. The filter
// may be the application's: what its comparison throws is caught.
bool FilterEquals(Registration& registration, const INotificationEvent& event)
{
    try
    {
        return *registration.filter == event;
    }
    catch (const abi::__forced_unwind&)
    {
        throw; // a thread being cancelled must unwind
    }
    catch (const std::exception& error)
    {
        FilterFailed(registration, error.what());
    }
    catch (...)
    {
        FilterFailed(registration, "not a standard exception");
    }
    return false;
}

} // namespace

NotificationList::NotificationList() : m_registrations(std::make_shared<const Registrations>()) {}

NotificationList::~NotificationList() = default;

std::shared_ptr<const NotificationList::Registrations> NotificationList::Snapshot() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_registrations;
}

template <typename Keep>
std::size_t NotificationList::EraseLocked(Keep&& keep)
{
    auto kept = std::make_shared<Registrations>();
    kept->reserve(m_registrations->size());
    std::size_t erased = 0;
    for (const std::shared_ptr<Registration>& registration : *m_registrations)
    {
        if (keep(*registration))
        {
            kept->push_back(registration);
        }
        else
        {
            registration->removed = true;
            ++erased;
        }
    }
    if (erased > 0)
    {
        m_registrations = std::move(kept);
    }
    return erased;
}

bool NotificationList::Add(std::uint32_t listenerId, std::shared_ptr<NotificationQueue> queue,
                           std::shared_ptr<const INotificationEvent> filter)
{
    auto registration = std::make_shared<Registration>();
    registration->listenerId = listenerId;
    registration->queue = std::move(queue);
    registration->filter = std::move(filter);
    registration->catchAll = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const bool present =
            std::any_of(m_registrations->begin(), m_registrations->end(),
                        [&](const std::shared_ptr<Registration>& known)
                        { return known->listenerId == listenerId && known->filter == registration->filter; });
        if (!present)
        {
            auto grown = std::make_shared<Registrations>(*m_registrations);
            grown->push_back(std::move(registration));
            m_registrations = std::move(grown);
            return true;
        }
    }
    SdkLog(4, "NotificationList: Trying to insert same notification twice - ignoring\n");
    return false;
}

bool NotificationList::Remove(std::uint32_t listenerId, const INotificationEvent& filter)
{
    // The comparisons run without the lock (the filters may be the
    // application's); the first candidate still registered then goes.
    std::vector<std::shared_ptr<Registration>> candidates;
    const std::shared_ptr<const Registrations> registrations = Snapshot();
    for (const std::shared_ptr<Registration>& registration : *registrations)
    {
        // Catch-all registrations have no filter to compare.
        if (registration->listenerId == listenerId && !registration->catchAll &&
            FilterEquals(*registration, filter))
        {
            candidates.push_back(registration);
        }
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::shared_ptr<Registration>& candidate : candidates)
        {
            if (!candidate->removed)
            {
                EraseLocked([&](const Registration& registration)
                            { return &registration != candidate.get(); });
                return true;
            }
        }
    }
    int cameraId = 0;
    std::string type = "?";
    int id = 0;
    try
    {
        cameraId = filter.CameraId();
        type = filter.Type().name;
        id = static_cast<int>(filter.Id());
    }
    catch (...)
    {
        // The application's filter cannot describe itself: the line says less.
    }
    SdkLog(2,
           "Remove notification: Failed find notification: listenerId=%u, cameraId=%d, type=%s "
           "[propertyId=%d]\n",
           listenerId, cameraId, type.c_str(), id);
    return false;
}

void NotificationList::RemoveListener(std::uint32_t listenerId) noexcept
{
    try
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        EraseLocked([&](const Registration& registration) { return registration.listenerId != listenerId; });
    }
    catch (const std::bad_alloc&)
    {
        // No room for the smaller list: the registrations are marked removed
        // in place, so that nothing reaches the listener's queue any more.
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::shared_ptr<Registration>& registration : *m_registrations)
        {
            if (registration->listenerId == listenerId)
            {
                registration->removed = true;
            }
        }
    }
}

bool NotificationList::RemoveForCamera(std::int32_t cameraId)
{
    // Catch-all registrations have no filter and name no camera. The filters'
    // camera ids are read without the lock (they may be the application's).
    std::vector<const Registration*> named;
    const std::shared_ptr<const Registrations> registrations = Snapshot();
    for (const std::shared_ptr<Registration>& registration : *registrations)
    {
        if (registration->catchAll)
        {
            continue;
        }
        try
        {
            if (registration->filter->CameraId() == cameraId)
            {
                named.push_back(registration.get());
            }
        }
        catch (...)
        {
            // A filter that cannot tell its camera names none.
        }
    }
    std::size_t removed = 0;
    std::size_t leaving = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        removed =
            EraseLocked([&](const Registration& registration)
                        { return std::find(named.begin(), named.end(), &registration) == named.end(); });
        leaving = m_registrations->size();
    }
    SdkLog(5, "RemoveNotificationsForCamera: camid=%u, removed: %u (leaving: %u)\n",
           static_cast<unsigned int>(cameraId), static_cast<unsigned int>(removed),
           static_cast<unsigned int>(leaving));
    return removed > 0;
}

void NotificationList::SetCatchAll(bool enable, std::uint32_t listenerId,
                                   std::shared_ptr<NotificationQueue> queue)
{
    std::shared_ptr<Registration> registration;
    if (enable)
    {
        registration = std::make_shared<Registration>();
        registration->listenerId = listenerId;
        registration->queue = std::move(queue);
        registration->catchAll = true;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    auto kept = std::make_shared<Registrations>();
    kept->reserve(m_registrations->size() + 1);
    for (const std::shared_ptr<Registration>& known : *m_registrations)
    {
        if (known->listenerId == listenerId && known->catchAll)
        {
            continue;
        }
        kept->push_back(known);
    }
    if (registration)
    {
        kept->push_back(std::move(registration));
    }
    // Marked only once nothing can fail any more.
    for (const std::shared_ptr<Registration>& known : *m_registrations)
    {
        if (known->listenerId == listenerId && known->catchAll)
        {
            known->removed = true;
        }
    }
    m_registrations = std::move(kept);
}

NotificationList::Delivery NotificationList::Match(std::shared_ptr<const INotificationEvent> event) const
{
    Delivery delivery;
    // Held for the loop: the list may be replaced meanwhile.
    const std::shared_ptr<const Registrations> registrations = Snapshot();
    for (const std::shared_ptr<Registration>& registration : *registrations)
    {
        if (registration->catchAll || FilterEquals(*registration, *event))
        {
            delivery.m_targets.push_back(registration);
        }
    }
    delivery.m_event = std::move(event);
    return delivery;
}

std::size_t NotificationList::Deliver(const Delivery& delivery) const
{
    std::size_t inserted = 0;
    if (delivery.m_targets.empty())
    {
        return inserted;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::shared_ptr<Registration>& registration : delivery.m_targets)
    {
        if (!registration->removed && registration->queue->Insert(delivery.m_event))
        {
            ++inserted;
        }
    }
    return inserted;
}

void NotificationList::LogDelivered(const Delivery& delivery, std::size_t count) noexcept
{
    for (std::size_t i = 0; i < count; ++i)
    {
        NotificationQueue::LogInserted(*delivery.m_event);
    }
}

void NotificationList::Post(const std::shared_ptr<const INotificationEvent>& event)
{
    if (LibraryLockScope::Active())
    {
        // The filters and the log are the application's code: not run while
        // this thread holds a lock that an application call may need.
        LibraryLockScope::Defer([this, event] { Post(event); });
        return;
    }
    const Delivery delivery = Match(event);
    LogDelivered(delivery, Deliver(delivery));
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
    return m_registrations->size();
}

} // namespace Q7::TavrinC
