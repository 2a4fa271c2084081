#include "CameraImpl.h"
#include "LastError.h"
#include "PimplListener.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Listener.h>
#include <TavrinCpp/TavrinC.h>

namespace Q7::Tavrin
{

namespace
{

/// The id of the camera the Camera holds, open or closed. Without one, records
/// -10 as the thread's last error and throws CameraNotOpenExc, before any other
/// flat call.
std::int32_t CameraIdOf(const CameraImpl* impl)
{
    if (impl == nullptr)
    {
        Q7::TavrinC::SetLastErrorInfo(CameraNotOpen, "The camera is not open", "Q7::Tavrin::Listener");
        throw CameraNotOpenExc(CameraNotOpen);
    }
    return impl->cameraId;
}

const PropertyEventType& PropertyFilterType(bool specification)
{
    return specification ? PropertyEventType::PropertySpecificationChange
                         : PropertyEventType::PropertyValueChange;
}

} // namespace

Listener::Listener() : m_impl(std::make_shared<PimplListener>()) {}

Listener::Listener(const Camera& camera, const EventType& type)
{
    const std::int32_t cameraId = CameraIdOf(camera.m_impl.get());
    m_impl = std::make_shared<PimplListener>();
    // A failure destroys the listener again, which deregisters it.
    ThrowOnErrorCode(m_impl->Enable(type, cameraId, 0));
}

Listener::Listener(const Camera& camera, unsigned int propertyId, bool specification)
{
    const std::int32_t cameraId = CameraIdOf(camera.m_impl.get());
    m_impl = std::make_shared<PimplListener>();
    ThrowOnErrorCode(m_impl->Enable(PropertyFilterType(specification), cameraId, propertyId));
}

Listener::~Listener() = default;

void Listener::EnableNotification(const Camera& camera, const EventType& type)
{
    ThrowOnErrorCode(m_impl->Enable(type, CameraIdOf(camera.m_impl.get()), 0));
}

void Listener::EnableNotification(const Camera& camera, unsigned int propertyId, bool specification)
{
    ThrowOnErrorCode(
        m_impl->Enable(PropertyFilterType(specification), CameraIdOf(camera.m_impl.get()), propertyId));
}

void Listener::EnableNotification(const SdkEventType& type)
{
    ThrowOnErrorCode(m_impl->Enable(type, -1, 0));
}

void Listener::DisableNotification(const Camera& camera, const EventType& type)
{
    ThrowOnErrorCode(m_impl->Disable(type, CameraIdOf(camera.m_impl.get()), 0));
}

void Listener::DisableNotification(const Camera& camera, unsigned int propertyId, bool specification)
{
    ThrowOnErrorCode(
        m_impl->Disable(PropertyFilterType(specification), CameraIdOf(camera.m_impl.get()), propertyId));
}

void Listener::DisableNotification(const SdkEventType& type)
{
    ThrowOnErrorCode(m_impl->Disable(type, -1, 0));
}

void Listener::EnableCatchAllNotifications()
{
    ThrowOnErrorCode(Q7::TavrinC::EnableCatchAllNotifications(m_impl->Id()));
}

void Listener::DisableCatchAllNotifications()
{
    ThrowOnErrorCode(Q7::TavrinC::DisableCatchAllNotifications(m_impl->Id()));
}

std::shared_ptr<const INotificationEvent> Listener::WaitForNotification(unsigned int timeoutMs)
{
    ErrorCode code = Success;
    std::shared_ptr<const INotificationEvent> event =
        Q7::TavrinC::WaitForNotification(m_impl->Id(), code, timeoutMs);
    if (code == NotificationTimeout)
    {
        return nullptr;
    }
    ThrowOnErrorCode(code);
    return event;
}

void Listener::WakeUpWaitingThread()
{
    ThrowOnErrorCode(Q7::TavrinC::WakeUpWaitingThread(m_impl->Id()));
}

} // namespace Q7::Tavrin
