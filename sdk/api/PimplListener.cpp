#include "PimplListener.h"

#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/TavrinC.h>

#include <algorithm>

namespace Q7::Tavrin
{

PimplListener::PimplListener()
{
    ThrowOnErrorCode(Q7::TavrinC::RegisterListener(m_id));
}

PimplListener::~PimplListener()
{
    if (Q7::TavrinC::DeregisterListener(m_id) != Success)
    {
        Q7::TavrinC::SdkLog(1, "Failed to destruct Listener object, with error: %s\n",
                            Q7::TavrinC::GetErrorMessage());
    }
}

std::shared_ptr<const INotificationEvent> PimplListener::Build(const BaseEventType& type,
                                                               std::int32_t cameraId, std::uint32_t id)
{
    if (type.category == BaseEventType::PropertyCategory)
    {
        return BuildNotificationEvent(static_cast<const PropertyEventType&>(type), cameraId, id);
    }
    if (type.category == BaseEventType::SdkCategory)
    {
        return BuildNotificationEvent(static_cast<const SdkEventType&>(type), CameraInfo::Invalid, cameraId);
    }
    return BuildNotificationEvent(type, cameraId, id);
}

namespace
{

bool SameFilter(const INotificationEvent& filter, const BaseEventType& type, std::int32_t cameraId,
                std::uint32_t id)
{
    return &filter.Type() == &type && filter.CameraId() == cameraId && filter.Id() == id;
}

} // namespace

ErrorCode PimplListener::Enable(const BaseEventType& type, std::int32_t cameraId, std::uint32_t id)
{
    // The log of the flat call waits until the filters' lock is released:
    // another thread of the application may wait for it.
    const Q7::TavrinC::LibraryLockScope scope;
    std::lock_guard<std::mutex> lock(m_filtersLock);
    const auto known =
        std::find_if(m_filters.begin(), m_filters.end(),
                     [&](const auto& filter) { return SameFilter(*filter, type, cameraId, id); });
    std::shared_ptr<const INotificationEvent> filter =
        known != m_filters.end() ? *known : Build(type, cameraId, id);
    std::shared_ptr<const INotificationEvent> kept = filter;
    const ErrorCode code = Q7::TavrinC::EnableNotification(m_id, std::move(filter));
    if (code == Success && known == m_filters.end())
    {
        m_filters.push_back(std::move(kept));
    }
    return code;
}

ErrorCode PimplListener::Disable(const BaseEventType& type, std::int32_t cameraId, std::uint32_t id)
{
    // The log of the flat call waits until the filters' lock is released:
    // another thread of the application may wait for it.
    const Q7::TavrinC::LibraryLockScope scope;
    std::lock_guard<std::mutex> lock(m_filtersLock);
    const ErrorCode code = Q7::TavrinC::DisableNotification(m_id, Build(type, cameraId, id));
    if (code == Success)
    {
        const auto known =
            std::find_if(m_filters.begin(), m_filters.end(),
                         [&](const auto& filter) { return SameFilter(*filter, type, cameraId, id); });
        if (known != m_filters.end())
        {
            m_filters.erase(known);
        }
    }
    return code;
}

} // namespace Q7::Tavrin
