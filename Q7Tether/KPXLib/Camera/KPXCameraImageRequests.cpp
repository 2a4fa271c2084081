// The KPX camera's requests to its agents of channels 3.0 (image
// enumeration) and 255.0 (development), each under its agent's slot lock, and
// what those agents hand upward: image-list records as notifications 51 to 58,
// the capabilities kept for GetImageEnumCapabilities, subscription answers to
// the subscription callback, development messages to the development
// receiver.

#include "Camera/KPXCamera.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <utility>

namespace Q7::KPX
{

using Platform::ScopedLock;
using Universal::ModuleError;
using Universal::UniversalError;

namespace
{

// The error of a request to an agent of a channel the camera does not offer.
[[noreturn]] void ThrowChannelNotSupported()
{
    throw ModuleError(0x15E0018, L"Kpx Channel not supported!");
}

} // namespace

// ---------------------------------------------------------------- callbacks

void Camera::SetSubscriptionNotificationCallback(SubscriptionFunction function)
{
    ScopedLock lock(m_subscriptionLock);
    m_subscriptionFunction = std::move(function);
}

void Camera::SetDevelopmentReceiver(const DevelopmentReceiver& receiver)
{
    ScopedLock lock(m_developmentReceiverLock);
    if (&receiver != &m_developmentReceiver)
        m_developmentReceiver = receiver; // an empty or unbound holder leaves it empty
}

// On the image-enumeration agent's notify thread; the record is this side's
// from here on.
void Camera::OnImageEnumNotify(ImageEnumeration::ImageEnumNotify kind, ImageEnumeration::RecordPtr record)
{
    using namespace ImageEnumeration;
    EnumNotify id;
    switch (kind)
    {
    case kImageEnumNotify_ImageAdded:
        id = kNotify_ImageAdded;
        break;
    case kImageEnumNotify_ImageRemoved:
        id = kNotify_ImageRemoved;
        break;
    case kImageEnumNotify_ImageListChanged:
        id = kNotify_ImageListChanged;
        break;
    case kImageEnumNotify_ImageChanged:
        id = kNotify_ImageChanged;
        break;
    case kImageEnumNotify_MetadataReady:
        id = kNotify_MetadataReady;
        break;
    case kImageEnumNotify_PreviewReady:
        id = kNotify_PreviewReady;
        break;
    case kImageEnumNotify_TileReady:
        id = kNotify_TileReady;
        break;
    case kImageEnumNotify_BasicImageInfoReady:
        id = kNotify_BasicImageInfoReady;
        break;
    case kImageEnumNotify_CapabilitiesReady:
    {
        if (record == nullptr)
            return;
        std::unique_ptr<const Capabilities> capabilities(static_cast<const Capabilities*>(record.release()));
        {
            std::lock_guard lock(m_capabilitiesLock);
            m_capabilities = std::move(capabilities);
        }
        m_capabilitiesArrived.notify_all();
        return;
    }
    case kImageEnumNotify_SubscriptionChanged:
    {
        // The answer is freed on return, whether or not a callback saw it.
        ScopedLock lock(m_subscriptionLock);
        if (m_subscriptionFunction)
        {
            const SubscriptionPayload payload(static_cast<const SetSubscriptionStruct*>(record.get()));
            const CallbackScope scope(*this);
            Universal::CallAndLogErrors(
                L"KPX camera HandleSubscriptionNotifications",
                [&] { m_subscriptionFunction(kSubscriptionNotification_SubscriptionState, payload); });
        }
        return;
    }
    default:
        Q7_REPORT_INTERNAL_ERROR(ModuleError(Universal::kError_NotImplemented),
                                 L"KPX camera unknown image list notification.");
        return;
    }
    // The payload owns the record: freed once no sink keeps a copy.
    Notify(id, NotifyPayload(std::move(record)));
}

// On the development agent's receive thread.
void Camera::OnDevelopmentMessage(unsigned char type, const void* data, unsigned int size)
{
    Universal::LogInfo(L"Got message callback from development: %u", unsigned{type});
    ScopedLock lock(m_developmentReceiverLock);
    if (m_developmentReceiver.IsNull())
    {
        Universal::LogWarning(L"No development receiver registered. Message lost.");
        return;
    }
    const CallbackScope scope(*this);
    Universal::CallAndLogErrors(L"KPX camera development receiver",
                                [&] { m_developmentReceiver(type, data, size); });
}

// ---------------------------------------------------------------- channel 3.0

template <typename Call>
auto Camera::WithImageEnumeration(Call&& call) const
{
    ScopedLock slot(m_ch3.lock);
    if (!m_ch3.agent)
        ThrowChannelNotSupported();
    return call(*m_ch3.agent);
}

bool Camera::RequestImageList(const ImageListCallback& callback)
{
    return WithImageEnumeration([&](ImageEnumerationAgent& agent) { return agent.WaitForImageList(callback); });
}

bool Camera::RequestBasicImageInfo(std::uint32_t imageId)
{
    return WithImageEnumeration([&](ImageEnumerationAgent& agent)
                                { return agent.RequestBasicImageInfo(imageId); });
}

bool Camera::RequestMetadata(std::uint32_t imageId)
{
    return WithImageEnumeration([&](ImageEnumerationAgent& agent) { return agent.RequestMetadata(imageId); });
}

bool Camera::RequestPreview(const ImageBufferRequestInfo& info)
{
    return WithImageEnumeration([&](ImageEnumerationAgent& agent) { return agent.RequestPreview(info); });
}

bool Camera::RequestTile(const ImageBufferRequestInfo& info)
{
    return WithImageEnumeration([&](ImageEnumerationAgent& agent) { return agent.RequestTile(info); });
}

bool Camera::RequestCapabilities()
{
    return WithImageEnumeration([](ImageEnumerationAgent& agent) { return agent.RequestCapabilities(); });
}

bool Camera::RateImage(std::uint32_t imageId, std::uint32_t rating)
{
    return WithImageEnumeration([&](ImageEnumerationAgent& agent)
                                { return agent.RateImage(imageId, rating); });
}

bool Camera::DeleteImage(std::uint32_t imageId)
{
    return WithImageEnumeration([&](ImageEnumerationAgent& agent) { return agent.DeleteImage(imageId); });
}

bool Camera::SetSubscriptions(std::uint32_t flags, std::uint32_t options, std::uint8_t optionByte)
{
    return WithImageEnumeration([&](ImageEnumerationAgent& agent)
                                { return agent.SetSubscriptions(flags, options, optionByte); });
}

void Camera::StartImageEnumeration()
{
    RefuseInCallback(L"StartImageEnumeration");
    ScopedLock slot(m_ch3.lock);
    if (m_ch3.agent)
        m_ch3.agent->Start();
}

void Camera::StopImageEnumeration()
{
    RefuseInCallback(L"StopImageEnumeration");
    // Stop waits for the agent's notify thread, which may be in the owner's
    // callback making a request of this camera: the slot lock is not held
    // while the agent stops. The main lock keeps Close from taking the agent
    // away meanwhile.
    ScopedLock main(m_mainLock);
    ImageEnumerationAgent* agent = nullptr;
    {
        ScopedLock slot(m_ch3.lock);
        agent = m_ch3.agent.get();
    }
    if (agent != nullptr)
        agent->Stop();
}

bool Camera::IsImageEnumerationRunning() const
{
    ScopedLock slot(m_ch3.lock);
    return m_ch3.agent && m_ch3.agent->IsRunning();
}

std::optional<Camera::ImageEnumCapabilities> Camera::GetImageEnumCapabilities() const
{
    std::unique_lock lock(m_capabilitiesLock);
    if (!m_capabilitiesArrived.wait_for(lock, std::chrono::milliseconds(m_timings.capabilitiesWaitMs),
                                        [this] { return m_capabilities != nullptr; }))
        return std::nullopt;
    return *m_capabilities;
}

bool Camera::HasImageEnumeration() const
{
    ScopedLock slot(m_ch3.lock);
    return m_ch3.agent != nullptr;
}

// ---------------------------------------------------------------- channel 255.0

template <typename Call>
auto Camera::WithDevelopment(Call&& call) const
{
    ScopedLock slot(m_ch255.lock);
    if (!m_ch255.agent)
        ThrowChannelNotSupported();
    return call(*m_ch255.agent);
}

void Camera::SendDevelopmentMessage(std::uint8_t type, const void* data, std::uint32_t size)
{
    WithDevelopment([&](DevelopmentAgent& agent) { agent.SendMessage(type, data, size, kSendNoTimeout); });
}

void Camera::StartDevelopment()
{
    RefuseInCallback(L"StartDevelopment");
    ScopedLock slot(m_ch255.lock);
    if (m_ch255.agent)
        m_ch255.agent->Start();
}

void Camera::StopDevelopment()
{
    RefuseInCallback(L"StopDevelopment");
    // As StopImageEnumeration: the receiver may be sending while it stops.
    ScopedLock main(m_mainLock);
    DevelopmentAgent* agent = nullptr;
    {
        ScopedLock slot(m_ch255.lock);
        agent = m_ch255.agent.get();
    }
    if (agent != nullptr)
        agent->StopThreads();
}

bool Camera::HasDevelopment() const
{
    ScopedLock slot(m_ch255.lock);
    return m_ch255.agent != nullptr;
}

} // namespace Q7::KPX
