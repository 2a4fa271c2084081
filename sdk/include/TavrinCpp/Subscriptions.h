#pragma once
// Subscriptions of an open camera (Camera::Subscriptions): previews of new
// captures, live view with its options, and the captured images themselves.
// Each knows whether the camera supports it and whether it is enabled. The
// preview and live-view subscriptions count as enabled only once the camera
// confirms it (its reply arrives on a library thread); the full-image
// subscription once the library switched receiving on.
//
// Thread-safe: any thread may call every member; IsSupported and IsEnabled
// never block. The objects live in shared pointers and stay valid after the
// camera closes. Then Enable and Disable (and the preview's Enable(format) and
// SetFormat) return without an exception and change nothing: IsEnabled tells
// whether a subscription is on. The live-view getters and setters, and its
// Enable(format), throw CameraNotOpenExc.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/ImageObjects.h>
#include <TavrinCpp/PropertyValue.h>

#include <memory>
#include <string>
#include <vector>

namespace Q7::Tavrin
{

/// What every subscription offers.
struct TAVRIN_API ISubscription
{
    /// Whether the camera offers the subscription (decided once, at open).
    virtual bool IsSupported() = 0;
    /// Whether the subscription is on.
    virtual bool IsEnabled() = 0;
    /// Switches the subscription on. Throws SdkException -1 "This subscription
    /// is not supported in the camera" when the camera does not offer it; does
    /// nothing when it is on already. A failure of the camera, or a camera
    /// closed meanwhile, is not thrown: the subscription then stays off
    /// (IsEnabled false).
    virtual void Enable() = 0;
    /// Switches the subscription off; nothing when it is off.
    virtual void Disable() = 0;

protected:
    ~ISubscription() = default;
};

/// Previews of each new capture, JPEG or RGB24.
struct TAVRIN_API IPreviewSubscription : public virtual ISubscription
{
    using ISubscription::Enable;
    /// Stores the format, then Enable(); when on already, only stores it.
    virtual void Enable(ImageFormat format) = 0;
    /// JPEG and RGB24 when supported; empty otherwise.
    virtual std::vector<ImageFormat> SupportedFormats() = 0;
    /// The format of the previews (RGB24 at first).
    virtual ImageFormat Format() = 0;
    /// Stores the format and sends the subscription again with it; a failure
    /// to send (the camera closed) is not thrown. Throws std::runtime_error
    /// "Invalid api format" for a format other than JPEG and RGB24 (which stays
    /// stored).
    virtual void SetFormat(ImageFormat format) = 0;

protected:
    ~IPreviewSubscription() = default;
};

/// Live view. Its getters and setters throw the exception of the flat code
/// (CameraNotOpenExc once the camera closed).
struct TAVRIN_API ILiveViewSubscription : public virtual ISubscription
{
    using ISubscription::Enable;
    /// At most RGB24, JPEG and Auto, in this order, as the camera offers them.
    virtual std::vector<ImageFormat> SupportedFormats() = 0;
    /// Enable(), then SetFormat(format).
    virtual void Enable(ImageFormat format) = 0;
    virtual ImageFormat Format() = 0;
    /// The part of the full image that live view shows.
    virtual ValueRect Crop() = 0;
    virtual unsigned int PreferredMaxDimension() = 0;
    /// The size of the full image in live-view pixels.
    virtual ValueArea FullImageSize() = 0;
    virtual float Lightness() = 0;
    virtual void SetFormat(ImageFormat format) = 0;
    virtual void SetCrop(const ValueRect& crop) = 0;
    /// Sets the crop to the whole image: {0, 0, full width, full height}.
    virtual void ResetCrop() = 0;
    virtual void SetPreferredMaxDimension(unsigned int dimension) = 0;
    virtual void SetWhiteBalancePoint(const ValuePoint& point) = 0;
    virtual void SetLightness(float lightness) = 0;
    /// "LiveView Subscription:\n * Format:\t<name>\n * Crop:\t( (x, y) , (w, h)
    /// )\n * Pref. max dim.:\t<n>\n * Lightness:\t<v>", read from the camera.
    virtual std::string ToString() = 0;

protected:
    ~ILiveViewSubscription() = default;
};

/// The captured images (events CameraImageReady). Always supported.
struct TAVRIN_API IFullImageSubscription : public virtual ISubscription
{
protected:
    ~IFullImageSubscription() = default;
};

/// The three subscriptions of a camera.
struct TAVRIN_API ISubscriptionManager
{
    /// Each getter waits up to 1000 ms for the subscriptions made at open, then
    /// gives the subscription. Once the camera closed, each call blocks the
    /// full 1000 ms and then gives an empty pointer: check Camera::IsOpen (or
    /// keep the subscription pointers) rather than ask a closed camera's
    /// manager.
    virtual std::shared_ptr<IPreviewSubscription> PreviewSubscription() = 0;
    virtual std::shared_ptr<ILiveViewSubscription> LiveViewSubscription() = 0;
    virtual std::shared_ptr<IFullImageSubscription> FullImageSubscription() = 0;

protected:
    ~ISubscriptionManager() = default;
};

} // namespace Q7::Tavrin
