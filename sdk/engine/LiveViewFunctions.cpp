// The flat interface's live view: start and stop, the capabilities converted
// to the public record, and the configuration, whose crop and maximum
// dimension are not sent again when unchanged.

#include "FlatFunction.h"
#include "KpxLibTransport.h"
#include "SdkLog.h"

#include <TavrinCpp/TavrinC.h>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;

namespace
{

LiveViewCapabilities ToPublic(const Q7::KPX::LiveView::Capabilities& capabilities)
{
    LiveViewCapabilities converted;
    converted.flags = capabilities.flags;
    converted.sourceWidth = capabilities.sourceAreaWidth;
    converted.sourceHeight = capabilities.sourceAreaHeight;
    converted.maxDimension = capabilities.maxDimension;
    converted.minQuality = capabilities.qualityMin;
    converted.maxQuality = capabilities.qualityMax;
    converted.minLightness = capabilities.lightnessMin;
    converted.maxLightness = capabilities.lightnessMax;
    converted.formatMask = capabilities.formatMask;
    converted.colorMask = capabilities.colorMask;
    if (capabilities.minCompQuality.present)
    {
        converted.minCompQuality = capabilities.minCompQuality.value;
    }
    converted.minCompQualityReason = capabilities.minCompQuality.reason;
    if (capabilities.maxCompQuality.present)
    {
        converted.maxCompQuality = capabilities.maxCompQuality.value;
    }
    converted.maxCompQualityReason = capabilities.maxCompQuality.reason;
    converted.jpeg = capabilities.jpeg;
    return converted;
}

} // namespace

ErrorCode EnableLiveView(int cameraId)
{
    static constexpr const char* kSource = "Q7::TavrinC::EnableLiveView";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().EnableLiveView(cameraId, true); });
}

ErrorCode DisableLiveView(int cameraId)
{
    static constexpr const char* kSource = "Q7::TavrinC::DisableLiveView";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().EnableLiveView(cameraId, false); });
}

std::pair<ErrorCode, std::optional<LiveViewCapabilities>> GetLiveViewCapabilities(int cameraId)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetLiveViewCapabilities";
    std::optional<LiveViewCapabilities> capabilities;
    const ErrorCode code = FlatCall(kSource, NoSdk::Silent,
                                    [&](Sdk& sdk)
                                    {
                                        const auto read = sdk.Transport().GetLiveViewCapabilities(cameraId);
                                        if (read.second)
                                        {
                                            capabilities = ToPublic(*read.second);
                                        }
                                        return read.first;
                                    });
    return {code, code == Success ? capabilities : std::nullopt};
}

ErrorCode GetLiveViewCrop(int cameraId, ValueRect& crop)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetLiveViewCrop";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().GetLiveViewCrop(cameraId, crop); });
}

ErrorCode SetLiveViewCrop(int cameraId, const ValueRect& crop)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetLiveViewCrop";
    return FlatCall(
        kSource, NoSdk::Report,
        [&](Sdk& sdk)
        {
            ValueRect current{};
            if (const ErrorCode read = sdk.Transport().GetLiveViewCrop(cameraId, current); read != Success)
            {
                return read;
            }
            if (current.x == crop.x && current.y == crop.y && current.w == crop.w && current.h == crop.h)
            {
                SdkLog(2, "LiveView Crop: You are setting a crop that is similar to the current one. "
                          "Setting crops is a (very) expensive operation, it should be done as rarely "
                          "as possible!\n");
                return Success;
            }
            return sdk.Transport().SetLiveViewCrop(cameraId, crop);
        });
}

ErrorCode GetLiveViewFormat(int cameraId, ImageFormat& format)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetLiveViewFormat";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().GetLiveViewFormat(cameraId, format); });
}

ErrorCode SetLiveViewFormat(int cameraId, ImageFormat format)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetLiveViewFormat";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().SetLiveViewFormat(cameraId, format); });
}

ErrorCode GetLiveViewFullImageSize(int cameraId, unsigned int* width, unsigned int* height)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetLiveViewFullImageSize";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        if (width == nullptr || height == nullptr)
                        {
                            return SetLastErrorInfo(GeneralError,
                                                    width == nullptr ? "The width pointer is null"
                                                                     : "The height pointer is null",
                                                    kSource);
                        }
                        return sdk.Transport().GetLiveViewFullImageSize(cameraId, *width, *height);
                    });
}

ErrorCode GetLiveViewLightness(int cameraId, float& lightness)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetLiveViewLightness";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().GetLiveViewLightness(cameraId, lightness); });
}

ErrorCode SetLiveViewLightness(int cameraId, float lightness)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetLiveViewLightness";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().SetLiveViewLightness(cameraId, lightness); });
}

ErrorCode GetLiveViewPreferredMaxDimension(int cameraId, unsigned int& dimension)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetLiveViewPreferredMaxDimension";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    { return sdk.Transport().GetLiveViewPreferredMaxDimension(cameraId, dimension); });
}

ErrorCode SetLiveViewPreferredMaxDimension(int cameraId, unsigned int dimension)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetLiveViewPreferredMaxDimension";
    return FlatCall(
        kSource, NoSdk::Report,
        [&](Sdk& sdk)
        {
            std::uint32_t current = 0;
            if (const ErrorCode read = sdk.Transport().GetLiveViewPreferredMaxDimension(cameraId, current);
                read != Success)
            {
                return read;
            }
            if (current == dimension)
            {
                SdkLog(2, "LiveView Preferred Max Dimension: You are setting a value that is similar to "
                          "the current one. Setting max dimension is an expensive operation, it should "
                          "be done as rarely as possible!\n");
                return Success;
            }
            return sdk.Transport().SetLiveViewPreferredMaxDimension(cameraId, dimension);
        });
}

ErrorCode SetLiveViewWhiteBalancePoint(int cameraId, const ValuePoint& point)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetLiveViewWhiteBalancePoint";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().SetLiveViewWhiteBalancePoint(cameraId, point); });
}

} // namespace Q7::TavrinC
