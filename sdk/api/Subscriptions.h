#pragma once
// The subscriptions of an open camera and their manager: whether the camera
// supports each, whether it is on, and the live-view options. The preview and
// live-view subscriptions learn their state from the camera's replies, which
// the library hands to the manager's subscription callback on its own threads.

#include <TavrinCpp/Subscriptions.h>
#include <TavrinCpp/TavrinC.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Q7::Tavrin
{

/// What the three kinds share: the camera id, the supported and enabled flags.
/// The flags are atomic: the camera's replies set them on library threads
/// while the application reads them.
class Subscription : public virtual ISubscription
{
public:
    explicit Subscription(int cameraId) : m_cameraId(cameraId) {}
    virtual ~Subscription() = default;

    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    bool IsSupported() override;
    bool IsEnabled() override;
    void Enable() override;
    void Disable() override;

    /// Asks the camera whether it offers the subscription; once, at open.
    virtual void QuerySupport() = 0;
    /// Asks the camera to switch the subscription on or off.
    virtual void SetEnabled(bool on) = 0;

    /// Records what the camera reports.
    void SetEnabledFlag(bool on) noexcept { m_enabled.store(on); }

    /// The camera closed: IsEnabled answers false from now on, whatever the
    /// camera still reports.
    void MarkClosed() noexcept
    {
        m_closed.store(true);
        m_enabled.store(false);
    }

protected:
    std::atomic<bool> m_supported{false};
    const int m_cameraId;
    std::atomic<bool> m_enabled{false};
    std::atomic<bool> m_closed{false}; // set once by MarkClosed
};

class PreviewSubscriptionImpl : public virtual IPreviewSubscription, public virtual Subscription
{
public:
    explicit PreviewSubscriptionImpl(int cameraId) : Subscription(cameraId) {}

    using Subscription::Enable;
    void Enable(ImageFormat format) override;
    std::vector<ImageFormat> SupportedFormats() override;
    ImageFormat Format() override;
    void SetFormat(ImageFormat format) override;

    void QuerySupport() override;
    void SetEnabled(bool on) override;

    /// The camera's reply to a subscription request: the enabled flag and,
    /// while subscribed, the format it holds. A failed reply changes nothing;
    /// so does a subscribed reply whose option names no format
    /// (std::runtime_error "Invalid subscription option", thrown before
    /// anything changed). An unsubscribed reply (option 0) keeps the format.
    void OnReply(const Q7::TavrinC::SetSubscriptionStruct& reply);

private:
    std::vector<ImageFormat> m_supportedFormats; // written once, before the manager hands it out
    std::atomic<ImageFormat> m_format{ImageFormat::RGB24};
};

class LiveViewSubscriptionImpl : public ILiveViewSubscription, public virtual Subscription
{
public:
    explicit LiveViewSubscriptionImpl(int cameraId) : Subscription(cameraId) {}

    using Subscription::Enable;
    std::vector<ImageFormat> SupportedFormats() override;
    void Enable(ImageFormat format) override;
    ImageFormat Format() override;
    ValueRect Crop() override;
    unsigned int PreferredMaxDimension() override;
    ValueArea FullImageSize() override;
    float Lightness() override;
    void SetFormat(ImageFormat format) override;
    void SetCrop(const ValueRect& crop) override;
    void ResetCrop() override;
    void SetPreferredMaxDimension(unsigned int dimension) override;
    void SetWhiteBalancePoint(const ValuePoint& point) override;
    void SetLightness(float lightness) override;
    std::string ToString() override;

    void QuerySupport() override;
    void SetEnabled(bool on) override;

private:
    std::vector<ImageFormat> m_supportedFormats; // written once, before the manager hands it out
};

class FullImageSubscriptionImpl : public virtual IFullImageSubscription, public virtual Subscription
{
public:
    explicit FullImageSubscriptionImpl(int cameraId) : Subscription(cameraId) {}

    void QuerySupport() override;
    void SetEnabled(bool on) override;
};

/// The preview format of a subscription option, and back: {1, JPEG}, {2,
/// RGB24}. std::runtime_error "Invalid api format" / "Invalid subscription
/// option" for anything else.
Q7::TavrinC::EnumSubscriptionOptions FormatToOption(ImageFormat format);
ImageFormat OptionToFormat(std::uint32_t option);

/// The live-view formats the capabilities offer: RGB24 for bit 0 of the
/// format mask, JPEG for bit 16, Auto when JPEG is offered, in this order.
std::vector<ImageFormat> LiveViewFormats(const Q7::TavrinC::LiveViewCapabilities& capabilities);

/// The text of ILiveViewSubscription::ToString for these values.
std::string LiveViewText(ImageFormat format, const ValueRect& crop, unsigned int preferredMaxDimension,
                         float lightness);

/// The three subscriptions of one camera. Made with the camera's
/// implementation; the subscriptions themselves are made at open
/// (CreateSubscriptions) and released at close (Reset).
class SubscriptionManager : public ISubscriptionManager
{
public:
    /// A manager for the camera, registered as the camera's subscription
    /// callback (its code is not examined). The callback holds the manager
    /// weakly: it may run after the manager is gone.
    static std::shared_ptr<SubscriptionManager> Create(int cameraId);

    explicit SubscriptionManager(int cameraId) : m_cameraId(cameraId) {}
    virtual ~SubscriptionManager() = default;

    SubscriptionManager(const SubscriptionManager&) = delete;
    SubscriptionManager& operator=(const SubscriptionManager&) = delete;

    std::shared_ptr<IPreviewSubscription> PreviewSubscription() override;
    std::shared_ptr<ILiveViewSubscription> LiveViewSubscription() override;
    std::shared_ptr<IFullImageSubscription> FullImageSubscription() override;

    /// Makes the three subscriptions, asks the camera which it supports, then
    /// stores them and wakes the getters. The camera is asked without the lock,
    /// which the callback takes on the camera's threads.
    void CreateSubscriptions();
    /// Marks the subscriptions closed (IsEnabled false, also for those the
    /// application keeps) and releases them; the getters then wait and give
    /// none.
    void Reset();

    /// What the camera reports about the subscriptions (on library threads).
    /// Never throws: a reply the facade cannot read is logged and changes
    /// nothing.
    void OnNotification(Q7::TavrinC::SubscriptionNotifications kind,
                        Q7::TavrinC::SubscriptionPayload&& payload) noexcept;

private:
    /// Waits up to 1000 ms for the subscriptions, then gives member's copy.
    template <typename Pointer>
    Pointer WaitFor(Pointer SubscriptionManager::*member);

    const std::uint32_t m_cameraId;
    std::mutex m_mutex; // guards the three pointers and m_ready
    std::condition_variable m_readyChanged;
    std::shared_ptr<PreviewSubscriptionImpl> m_preview;
    std::shared_ptr<LiveViewSubscriptionImpl> m_liveView;
    std::shared_ptr<FullImageSubscriptionImpl> m_fullImage;
    bool m_ready = false;
};

} // namespace Q7::Tavrin
