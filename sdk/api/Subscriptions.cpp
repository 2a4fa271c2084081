#include "Subscriptions.h"

#include "LastError.h"
#include "SdkLog.h"

#include <TavrinCpp/Errors.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <variant>

namespace Q7::Tavrin
{

using namespace Q7::TavrinC;

// ---------------------------------------------------------------- Subscription

bool Subscription::IsSupported()
{
    return m_supported.load();
}

bool Subscription::IsEnabled()
{
    return m_enabled.load() && !m_closed.load();
}

void Subscription::Enable()
{
    if (!m_supported.load())
    {
        throw SdkException("This subscription is not supported in the camera", GeneralError);
    }
    if (!m_enabled.load())
    {
        SetEnabled(true);
    }
}

void Subscription::Disable()
{
    if (m_enabled.load())
    {
        SetEnabled(false);
    }
}

// ---------------------------------------------------------------- preview

namespace
{

struct OptionRow
{
    EnumSubscriptionOptions option;
    ImageFormat format;
};

constexpr OptionRow kPreviewOptions[] = {
    {kSubscriptionOptions_Jpeg, ImageFormat::JPEG},
    {kSubscriptionOptions_Rgb24, ImageFormat::RGB24},
};

const char* FormatName(ImageFormat format)
{
    switch (format)
    {
    case ImageFormat::None:
        return "None";
    case ImageFormat::JPEG:
        return "JPEG";
    case ImageFormat::RGB24:
        return "RGB24";
    case ImageFormat::Auto:
        return "Auto";
    case ImageFormat::RVF:
        return "RVF";
    }
    return "Unknown";
}

} // namespace

EnumSubscriptionOptions FormatToOption(ImageFormat format)
{
    for (const OptionRow& row : kPreviewOptions)
    {
        if (row.format == format)
        {
            return row.option;
        }
    }
    throw std::runtime_error("Invalid api format");
}

ImageFormat OptionToFormat(std::uint32_t option)
{
    for (const OptionRow& row : kPreviewOptions)
    {
        if (row.option == option)
        {
            return row.format;
        }
    }
    throw std::runtime_error("Invalid subscription option");
}

std::vector<ImageFormat> LiveViewFormats(const LiveViewCapabilities& capabilities)
{
    std::vector<ImageFormat> formats;
    if ((capabilities.formatMask & 0x1U) != 0)
    {
        formats.push_back(ImageFormat::RGB24);
    }
    if ((capabilities.formatMask & 0x10000U) != 0)
    {
        formats.push_back(ImageFormat::JPEG);
    }
    if (capabilities.jpeg)
    {
        formats.push_back(ImageFormat::Auto);
    }
    return formats;
}

std::string LiveViewText(ImageFormat format, const ValueRect& crop, unsigned int preferredMaxDimension,
                         float lightness)
{
    std::ostringstream text;
    text << "LiveView Subscription:\n * Format:\t" << FormatName(format);
    text << "\n * Crop:\t( (" << crop.x << ", " << crop.y << ") , (" << crop.w << ", " << crop.h << ") )\n";
    text << " * Pref. max dim.:\t" << preferredMaxDimension;
    text << "\n * Lightness:\t" << lightness;
    return text.str();
}

void PreviewSubscriptionImpl::Enable(ImageFormat format)
{
    m_format.store(format);
    Enable();
}

std::vector<ImageFormat> PreviewSubscriptionImpl::SupportedFormats()
{
    return m_supportedFormats;
}

ImageFormat PreviewSubscriptionImpl::Format()
{
    return m_format.load();
}

void PreviewSubscriptionImpl::SetFormat(ImageFormat format)
{
    m_format.store(format);
    SetEnabled(IsEnabled());
}

void PreviewSubscriptionImpl::QuerySupport()
{
    const auto [code, capabilities] = GetImageEnumCapabilities(m_cameraId);
    m_supported.store(code == Success && capabilities.has_value() && (capabilities->value52 & 1U) != 0);
    if (!m_supported.load())
    {
        return;
    }
    m_supportedFormats = {ImageFormat::JPEG, ImageFormat::RGB24};
    m_format.store(ImageFormat::RGB24);
}

void PreviewSubscriptionImpl::SetEnabled(bool on)
{
    const EnumSubscriptionOptions option = FormatToOption(m_format.load());
    // The camera's reply sets the enabled flag (OnReply).
    SetImageEnumerationSubscriptions(m_cameraId,
                                     on ? kSetSubscriptionFlags_Preview : kSetSubscriptionFlags_None, option);
}

void PreviewSubscriptionImpl::OnReply(const SetSubscriptionStruct& reply)
{
    if (reply.assembleStatus.HasFailed())
    {
        return;
    }
    if ((reply.flags & 1U) == 0)
    {
        // Unsubscribed: the camera holds no option (0), and the chosen format
        // stays for the next Enable.
        SetEnabledFlag(false);
        return;
    }
    const ImageFormat format = OptionToFormat(reply.option);
    m_format.store(format);
    SetEnabledFlag(true);
}

// ---------------------------------------------------------------- live view

std::vector<ImageFormat> LiveViewSubscriptionImpl::SupportedFormats()
{
    return m_supportedFormats;
}

void LiveViewSubscriptionImpl::Enable(ImageFormat format)
{
    Enable();
    SetFormat(format);
}

ImageFormat LiveViewSubscriptionImpl::Format()
{
    ImageFormat format = ImageFormat::None;
    ThrowOnErrorCode(GetLiveViewFormat(m_cameraId, format));
    return format;
}

ValueRect LiveViewSubscriptionImpl::Crop()
{
    ValueRect crop{};
    ThrowOnErrorCode(GetLiveViewCrop(m_cameraId, crop));
    return crop;
}

unsigned int LiveViewSubscriptionImpl::PreferredMaxDimension()
{
    unsigned int dimension = 0;
    ThrowOnErrorCode(GetLiveViewPreferredMaxDimension(m_cameraId, dimension));
    return dimension;
}

ValueArea LiveViewSubscriptionImpl::FullImageSize()
{
    unsigned int width = 0;
    unsigned int height = 0;
    ThrowOnErrorCode(GetLiveViewFullImageSize(m_cameraId, &width, &height));
    return ValueArea{static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
}

float LiveViewSubscriptionImpl::Lightness()
{
    float lightness = 0.0F;
    ThrowOnErrorCode(GetLiveViewLightness(m_cameraId, lightness));
    return lightness;
}

void LiveViewSubscriptionImpl::SetFormat(ImageFormat format)
{
    ThrowOnErrorCode(SetLiveViewFormat(m_cameraId, format));
}

void LiveViewSubscriptionImpl::SetCrop(const ValueRect& crop)
{
    ThrowOnErrorCode(SetLiveViewCrop(m_cameraId, crop));
}

void LiveViewSubscriptionImpl::ResetCrop()
{
    const ValueArea full = FullImageSize();
    SetCrop(ValueRect{0, 0, full.w, full.h});
}

void LiveViewSubscriptionImpl::SetPreferredMaxDimension(unsigned int dimension)
{
    ThrowOnErrorCode(SetLiveViewPreferredMaxDimension(m_cameraId, dimension));
}

void LiveViewSubscriptionImpl::SetWhiteBalancePoint(const ValuePoint& point)
{
    ThrowOnErrorCode(SetLiveViewWhiteBalancePoint(m_cameraId, point));
}

void LiveViewSubscriptionImpl::SetLightness(float lightness)
{
    ThrowOnErrorCode(SetLiveViewLightness(m_cameraId, lightness));
}

std::string LiveViewSubscriptionImpl::ToString()
{
    const ImageFormat format = Format();
    const ValueRect crop = Crop();
    const unsigned int dimension = PreferredMaxDimension();
    return LiveViewText(format, crop, dimension, Lightness());
}

void LiveViewSubscriptionImpl::QuerySupport()
{
    const auto [code, capabilities] = GetLiveViewCapabilities(m_cameraId);
    if (code != Success || !capabilities.has_value())
    {
        return;
    }
    // A camera without live view answers with a zeroed record: live view that
    // offers no format is not live view the camera can show.
    m_supportedFormats = LiveViewFormats(*capabilities);
    m_supported.store(!m_supportedFormats.empty());
}

void LiveViewSubscriptionImpl::SetEnabled(bool on)
{
    // The camera's live-view state sets the enabled flag (the callback).
    if (on)
    {
        EnableLiveView(m_cameraId);
    }
    else
    {
        DisableLiveView(m_cameraId);
    }
}

// ---------------------------------------------------------------- full image

void FullImageSubscriptionImpl::QuerySupport()
{
    m_supported.store(true);
}

void FullImageSubscriptionImpl::SetEnabled(bool on)
{
    if (EnableImageReceiving(m_cameraId, on) == Success)
    {
        SetEnabledFlag(on);
    }
}

// ---------------------------------------------------------------- manager

std::shared_ptr<SubscriptionManager> SubscriptionManager::Create(int cameraId)
{
    auto manager = std::make_shared<SubscriptionManager>(cameraId);
    // While the SDK closes, the camera's threads may outlive the manager: the
    // callback holds it weakly.
    std::weak_ptr<SubscriptionManager> weak = manager;
    SetSubscriptionNotificationCallback(cameraId,
                                        [weak](SubscriptionNotifications kind, SubscriptionPayload&& payload)
                                        {
                                            if (const auto alive = weak.lock())
                                            {
                                                alive->OnNotification(kind, std::move(payload));
                                            }
                                        });
    return manager;
}

template <typename Pointer>
Pointer SubscriptionManager::WaitFor(Pointer SubscriptionManager::*member)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_readyChanged.wait_for(lock, std::chrono::milliseconds(1000), [this] { return m_ready; });
    return this->*member;
}

std::shared_ptr<IPreviewSubscription> SubscriptionManager::PreviewSubscription()
{
    return WaitFor(&SubscriptionManager::m_preview);
}

std::shared_ptr<ILiveViewSubscription> SubscriptionManager::LiveViewSubscription()
{
    return WaitFor(&SubscriptionManager::m_liveView);
}

std::shared_ptr<IFullImageSubscription> SubscriptionManager::FullImageSubscription()
{
    return WaitFor(&SubscriptionManager::m_fullImage);
}

void SubscriptionManager::CreateSubscriptions()
{
    const int id = static_cast<int>(m_cameraId);
    auto preview = std::make_shared<PreviewSubscriptionImpl>(id);
    auto liveView = std::make_shared<LiveViewSubscriptionImpl>(id);
    auto fullImage = std::make_shared<FullImageSubscriptionImpl>(id);
    preview->QuerySupport();
    liveView->QuerySupport();
    fullImage->QuerySupport();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_preview = std::move(preview);
        m_liveView = std::move(liveView);
        m_fullImage = std::move(fullImage);
        m_ready = true;
    }
    m_readyChanged.notify_all();
}

void SubscriptionManager::Reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ready = false;
    // A subscription the application still holds outlives the camera: it is
    // off from now on.
    for (Subscription* subscription :
         {static_cast<Subscription*>(m_preview.get()), static_cast<Subscription*>(m_liveView.get()),
          static_cast<Subscription*>(m_fullImage.get())})
    {
        if (subscription != nullptr)
        {
            subscription->MarkClosed();
        }
    }
    m_preview.reset();
    m_liveView.reset();
    m_fullImage.reset();
}

void SubscriptionManager::OnNotification(SubscriptionNotifications kind,
                                         SubscriptionPayload&& payload) noexcept
{
    try
    {
        if (kind == kSubscriptionNotification_SubscriptionState)
        {
            std::shared_ptr<PreviewSubscriptionImpl> preview;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                preview = m_preview;
            }
            if (!preview)
            {
                return;
            }
            const SetSubscriptionStruct* const reply = std::get<const SetSubscriptionStruct*>(payload);
            if (reply != nullptr)
            {
                preview->OnReply(*reply);
            }
        }
        else if (kind == kSubscriptionNotification_LiveViewState)
        {
            std::shared_ptr<LiveViewSubscriptionImpl> liveView;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                liveView = m_liveView;
            }
            if (liveView)
            {
                liveView->SetEnabledFlag(std::get<EnumLiveViewState>(payload) == kLiveViewState_Started);
            }
        }
    }
    catch (const std::exception& e)
    {
        // What the camera sent cannot be read; nothing changes, and nothing
        // may leave for the camera's thread.
        SdkLog(1, "SubscriptionManager: Ignoring a subscription notification of camera-id %u: %s\n",
               m_cameraId, e.what());
    }
}

} // namespace Q7::Tavrin
