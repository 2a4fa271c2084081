#include "StoredImageHandleImpl.h"

#include <algorithm>
#include <chrono>

namespace Q7::Tavrin
{

namespace C = Q7::TavrinC;

IStoredImageHandle::~IStoredImageHandle() = default;

namespace
{

constexpr std::uint32_t kRequestLastField = 100;
constexpr std::uint32_t kMaxStars = 5;

std::string NameOf(const KpxImageListItem& item)
{
    const auto end = std::find(item.name.begin(), item.name.end(), std::uint8_t{0});
    return std::string(item.name.begin(), end);
}

} // namespace

std::string DeviceMaskNames(std::uint8_t mask)
{
    if (mask == 0)
    {
        return "None";
    }
    static constexpr std::pair<std::uint8_t, const char*> kNames[] = {
        {0x1, "Host"}, {0x2, "Xqd"}, {0x4, "Sd"}, {0x8, "XqdJpeg"}, {0x10, "SdJpeg"}};
    std::string names;
    for (const auto& [bit, name] : kNames)
    {
        if ((mask & bit) != 0)
        {
            names += names.empty() ? "" : "+";
            names += name;
        }
    }
    return names.empty() ? "Unknown device mask: " + std::to_string(mask) : names;
}

std::uint32_t RequestFormatCode(ImageFormat format) noexcept
{
    switch (format)
    {
    case ImageFormat::JPEG:
        return 2;
    case ImageFormat::RGB24:
        return 4;
    default:
        return 1;
    }
}

C::ImageBufferRequestInfo PreviewRequestInfo(std::uint32_t imageId, ImageFormat format) noexcept
{
    C::ImageBufferRequestInfo info;
    info.imageId = imageId;
    info.field8 = 1.0F;
    info.field9 = RequestFormatCode(format);
    info.field10 = kRequestLastField;
    return info;
}

C::ImageBufferRequestInfo TileRequestInfo(std::uint32_t imageId, const TileRequest& request) noexcept
{
    C::ImageBufferRequestInfo info;
    info.imageId = imageId;
    info.field2 = request.height;
    info.field3 = request.width;
    info.field6 = request.x;
    info.field7 = request.y;
    info.field8 = request.scale;
    info.field9 = RequestFormatCode(request.format);
    info.field10 = kRequestLastField;
    return info;
}

// ---------------------------------------------------------------- waiter

ImageRequestWaiter::ImageRequestWaiter(std::int32_t cameraId,
                                       std::initializer_list<const BaseEventType*> types)
    : m_types(types), m_cameraId(cameraId)
{
    // A failed registration leaves an id that may be another listener's: it is
    // neither waited on nor removed.
    m_registered = C::RegisterListener(m_listenerId) == Success;
    if (!m_registered)
    {
        return;
    }
    for (const BaseEventType* type : types)
    {
        if (C::EnableNotification(m_listenerId, BuildNotificationEvent(*type, m_cameraId, 0)) != Success)
        {
            return;
        }
    }
    // The camera's end: no answer comes after it.
    if (C::EnableNotification(m_listenerId, BuildNotificationEvent(SdkEventType::SdkCameraClosed,
                                                                   CameraInfo{}, m_cameraId)) != Success ||
        C::EnableNotification(
            m_listenerId, BuildNotificationEvent(EventType::CameraDisconnected, m_cameraId, 0)) != Success)
    {
        return;
    }
    m_ready = true;
}

ImageRequestWaiter::~ImageRequestWaiter()
{
    if (m_registered)
    {
        C::DeregisterListener(m_listenerId);
    }
}

std::shared_ptr<const INotificationEvent> ImageRequestWaiter::Wait(std::uint32_t timeoutMs)
{
    if (!m_ready)
    {
        return nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        std::uint32_t left = 0; // without limit
        if (timeoutMs != 0)
        {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
            {
                return nullptr;
            }
            // At least 1 ms: 0 would wait without limit.
            left = static_cast<std::uint32_t>(std::max<std::chrono::milliseconds::rep>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(), 1));
        }
        ErrorCode code = Success;
        const std::shared_ptr<const INotificationEvent> event =
            C::WaitForNotification(m_listenerId, code, left);
        if (event == nullptr)
        {
            return nullptr;
        }
        if (std::find(m_types.begin(), m_types.end(), &event->Type()) != m_types.end())
        {
            return event;
        }
        // The camera's end, or the wake-up of the SDK's close: no answer.
        if (&event->Type() == &SdkEventType::SdkCameraClosed ||
            &event->Type() == &EventType::CameraDisconnected || &event->Type() == &SdkEventType::SdkWakeUp)
        {
            return nullptr;
        }
    }
}

// ---------------------------------------------------------------- handle

StoredImageHandleImpl::StoredImageHandleImpl(const KpxImageListItem& item, std::int32_t cameraId)
    : StoredImageHandleImpl(std::make_shared<const KpxImageListItem>(item), cameraId)
{
}

StoredImageHandleImpl::StoredImageHandleImpl(std::shared_ptr<const KpxImageListItem> item,
                                             std::int32_t cameraId)
    : m_item(item ? std::move(item) : std::make_shared<const KpxImageListItem>()),
      m_fileName(NameOf(*m_item)), m_cameraId(cameraId)
{
}

StoredImageHandleImpl::~StoredImageHandleImpl() = default;

std::uint32_t StoredImageHandleImpl::Id() const
{
    return m_item->imageId;
}

std::uint32_t StoredImageHandleImpl::ItemWord() const
{
    return m_item->attribute;
}

const std::string& StoredImageHandleImpl::FileName() const
{
    return m_fileName;
}

std::uint8_t StoredImageHandleImpl::DeviceMask() const
{
    return m_item->attribute23;
}

std::string StoredImageHandleImpl::DeviceNames() const
{
    return DeviceMaskNames(DeviceMask());
}

ErrorCode StoredImageHandleImpl::RequestBasicInfo() const
{
    return C::RequestBasicImageInfo(m_cameraId, Id());
}

bool StoredImageHandleImpl::RequestImage() const
{
    return C::RequestImage(m_cameraId, Id()) == Success;
}

ErrorCode StoredImageHandleImpl::RequestPreview(ImageFormat format) const
{
    return C::RequestPreview(m_cameraId, PreviewRequestInfo(Id(), format));
}

ErrorCode StoredImageHandleImpl::RequestTile(const TileRequest& request) const
{
    return C::RequestTile(m_cameraId, TileRequestInfo(Id(), request));
}

ErrorCode StoredImageHandleImpl::Delete() const
{
    return C::DeleteImage(m_cameraId, Id());
}

ErrorCode StoredImageHandleImpl::Rate(std::uint32_t stars) const
{
    return C::RateImage(m_cameraId, Id(), std::min(stars, kMaxStars));
}

template <typename Request>
std::shared_ptr<const INotificationEvent>
StoredImageHandleImpl::Await(const BaseEventType& type, std::uint32_t timeoutMs, Request&& request) const
{
    ImageRequestWaiter waiter(m_cameraId, {&type});
    if (!waiter.Ready())
    {
        return nullptr;
    }
    // A request that failed sent nothing: no answer will come to wait for.
    if (request() != Success)
    {
        return nullptr;
    }
    return waiter.Wait(timeoutMs);
}

std::shared_ptr<const IImageFileBasicInfo> StoredImageHandleImpl::GetBasicInfo(std::uint32_t timeoutMs) const
{
    const auto event =
        Await(EventType::CameraImageBasicImageInfo, timeoutMs, [&] { return RequestBasicInfo(); });
    return event ? event->BasicInfo() : nullptr;
}

std::shared_ptr<const IPreview> StoredImageHandleImpl::GetPreview(ImageFormat format,
                                                                  std::uint32_t timeoutMs) const
{
    const auto event =
        Await(EventType::CameraPreviewReady, timeoutMs, [&] { return RequestPreview(format); });
    return event ? event->Preview() : nullptr;
}

std::shared_ptr<const ITile> StoredImageHandleImpl::GetTile(const TileRequest& request,
                                                            std::uint32_t timeoutMs) const
{
    const auto event = Await(EventType::CameraTileReady, timeoutMs, [&] { return RequestTile(request); });
    return event ? event->Tile() : nullptr;
}

} // namespace Q7::Tavrin
