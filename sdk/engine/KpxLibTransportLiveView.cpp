// The camera bridge's live view: starting and stopping it, reading and
// changing the camera's live-view configuration, and the frames it delivers,
// posted as CameraNewLiveViewImage.

#include "KpxLibTransport.h"

#include "ImagePayloads.h"
#include "KpxLibTransportCalls.h"
#include "KpxLibTypeConverter.h"
#include "LastError.h"
#include "Sdk.h"
#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <exception>
#include <functional>
#include <mutex>
#include <utility>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
using Calls::Guarded;
using Calls::Queued;
using Calls::WithCamera;
using Q7::KPX::LiveView::Configuration;

namespace
{

// The camera's image format codes of the formats the SDK carries.
constexpr std::uint32_t kKpxFormatJpeg = Q7::KPX::LiveView::kFormat_Jpeg;
constexpr std::uint32_t kKpxFormatRgb24 = Q7::KPX::LiveView::kFormat_Rgb24;

// Reads the camera's configuration into what `read` takes.
ErrorCode ReadConfiguration(KpxLibTransport& bridge, int cameraId, const char* moduleContext,
                            const char* internalContext,
                            const std::function<ErrorCode(const Configuration&)>& read)
{
    return WithCamera(bridge, cameraId, moduleContext, internalContext,
                      [&](KpxLibTransport::Camera& camera)
                      { return read(camera.GetLiveViewConfiguration()); });
}

// Gives a configuration about to be written an id of its own (from protocol
// 1.1): the camera echoes it, and the agent then takes no late echo of an
// earlier write for the camera's current configuration, which the next
// read-change-write would otherwise build on.
void NewConfigId(Configuration& configuration)
{
    if (configuration.configID.present)
    {
        const std::uint16_t next = static_cast<std::uint16_t>(configuration.configID.value + 1);
        configuration.configID.value = next != 0 ? next : 1;
    }
}

} // namespace

std::shared_ptr<std::mutex> KpxLibTransport::LiveViewConfigLock(int cameraId)
{
    SingleLockGuard lock(m_cameraLock);
    const auto found = m_cameras.find(cameraId);
    return found != m_cameras.end() ? found->second.liveViewConfigLock : nullptr;
}

namespace
{

// The setters' read-change-write, under the camera's configuration lock: a
// second setter reads what the first one wrote.
ErrorCode ChangeConfiguration(KpxLibTransport& bridge, int cameraId, const std::shared_ptr<std::mutex>& lock,
                              const char* moduleContext, const char* internalContext,
                              const std::function<void(Configuration&)>& change)
{
    std::shared_ptr<KpxLibTransport::Camera> camera;
    if (const ErrorCode found = bridge.GetCamera(cameraId, camera); found != Success)
    {
        return found;
    }
    if (lock == nullptr)
    {
        return SetLastErrorInfo(CameraNotOpen, "The camera is not open", "KpxLibTransport::GetCamera");
    }
    // Held as a library lock: another setter waits for it.
    const LibraryLockScope scope;
    const std::lock_guard<std::mutex> serialised(*lock);
    return Guarded(moduleContext, internalContext,
                   [&]
                   {
                       Configuration configuration = camera->GetLiveViewConfiguration();
                       change(configuration);
                       NewConfigId(configuration);
                       camera->SetLiveViewConfiguration(configuration);
                       return Success;
                   });
}

} // namespace

ErrorCode KpxLibTransport::EnableLiveView(int cameraId, bool enable)
{
    return WithCamera(*this, cameraId, "Error while changing LiveView state",
                      "Internal error while changing LiveView state",
                      [&](Camera& camera)
                      {
                          if (enable)
                          {
                              camera.StartLiveView();
                          }
                          else
                          {
                              camera.StopLiveView();
                          }
                          return Success;
                      });
}

ErrorCode KpxLibTransport::GetLiveViewFormat(int cameraId, ImageFormat& format)
{
    return WithCamera(*this, cameraId, "Error while getting liveview configuration",
                      "Internal error while getting liveview configuration",
                      [&](Camera& camera)
                      {
                          const Configuration configuration = camera.GetLiveViewConfiguration();
                          if (camera.IsLiveViewAutoFormat())
                          {
                              format = ImageFormat::Auto;
                              return Success;
                          }
                          switch (configuration.format)
                          {
                          case kKpxFormatJpeg:
                              format = ImageFormat::JPEG;
                              return Success;
                          case kKpxFormatRgb24:
                              format = ImageFormat::RGB24;
                              return Success;
                          case 0:
                          case 2:
                          case 4:
                              SdkLog(2, "Incoming LiveView format not supported in SDK\n");
                              format = ImageFormat::None;
                              return Success;
                          default:
                              return SetLastErrorInfo(GeneralError, "Unsupported LiveView image format!",
                                                      "KpxLibTransport::GetLiveViewFormat");
                          }
                      });
}

ErrorCode KpxLibTransport::SetLiveViewFormat(int cameraId, ImageFormat format)
{
    std::shared_ptr<Camera> camera;
    if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
    {
        return found;
    }
    if (format != ImageFormat::Auto && format != ImageFormat::JPEG && format != ImageFormat::RGB24)
    {
        SdkLog(2, "Cannot convert SDK LiveView image format to kpx image format");
        return SetLastErrorInfo(GeneralError, "Subsystem cannot support the chosen LiveView format",
                                "KpxLibTransport::SetLiveViewFormat");
    }
    const std::shared_ptr<std::mutex> lock = LiveViewConfigLock(cameraId);
    if (lock == nullptr)
    {
        return SetLastErrorInfo(CameraNotOpen, "The camera is not open", "KpxLibTransport::GetCamera");
    }
    // Held as a library lock: another setter waits for it.
    const LibraryLockScope scope;
    const std::lock_guard<std::mutex> serialised(*lock);
    if (format == ImageFormat::Auto)
    {
        // The camera's own choice: the configuration is not written.
        try
        {
            camera->SetLiveViewAutoFormat(true);
            return Success;
        }
        catch (const Q7::Universal::ModuleError& error)
        {
            return HandleModuleError(error, "Auto format not supported.");
        }
        catch (const Q7::Universal::UniversalError& error)
        {
            return HandleUniversalError(error, "Internal error while setting liveview configuration");
        }
        catch (const std::exception& error)
        {
            return HandleUniversalError(Q7::Universal::StdExceptionError(error),
                                        "Internal error while setting liveview configuration");
        }
    }
    return Guarded("Error while setting liveview configuration",
                   "Internal error while setting liveview configuration",
                   [&]
                   {
                       Configuration configuration = camera->GetLiveViewConfiguration();
                       configuration.format = format == ImageFormat::JPEG ? kKpxFormatJpeg : kKpxFormatRgb24;
                       camera->SetLiveViewAutoFormat(false);
                       NewConfigId(configuration);
                       camera->SetLiveViewConfiguration(configuration);
                       return Success;
                   });
}

ErrorCode KpxLibTransport::GetLiveViewCrop(int cameraId, ValueRect& crop)
{
    return ReadConfiguration(
        *this, cameraId, "Error while getting LiveView crop", "Internal error while getting LiveView crop",
        [&](const Configuration& configuration)
        {
            crop = KpxLibTypeConverter::FromKpxRect({configuration.cropX, configuration.cropY,
                                                     configuration.cropWidth, configuration.cropHeight});
            return Success;
        });
}

ErrorCode KpxLibTransport::SetLiveViewCrop(int cameraId, const ValueRect& crop)
{
    const auto rect = KpxLibTypeConverter::ToKpxRect(crop);
    return ChangeConfiguration(*this, cameraId, LiveViewConfigLock(cameraId),
                               "Error while changing LiveView crop",
                               "Internal error while changing LiveView crop",
                               [&](Configuration& configuration)
                               {
                                   configuration.cropX = rect[0];
                                   configuration.cropY = rect[1];
                                   configuration.cropWidth = rect[2];
                                   configuration.cropHeight = rect[3];
                               });
}

ErrorCode KpxLibTransport::GetLiveViewLightness(int cameraId, float& lightness)
{
    return ReadConfiguration(*this, cameraId, "Error while getting LiveView lightness",
                             "Internal error while getting LiveView lightness",
                             [&](const Configuration& configuration)
                             {
                                 lightness = configuration.lightness;
                                 return Success;
                             });
}

ErrorCode KpxLibTransport::SetLiveViewLightness(int cameraId, float lightness)
{
    return ChangeConfiguration(*this, cameraId, LiveViewConfigLock(cameraId),
                               "Error while changing LiveView lightness",
                               "Internal error while changing LiveView lightness",
                               [&](Configuration& configuration) { configuration.lightness = lightness; });
}

ErrorCode KpxLibTransport::GetLiveViewPreferredMaxDimension(int cameraId, std::uint32_t& dimension)
{
    return ReadConfiguration(*this, cameraId, "Error while getting LiveView max dimension",
                             "Internal error while getting LiveView max dimension",
                             [&](const Configuration& configuration)
                             {
                                 dimension = configuration.preferredMaxDimension;
                                 return Success;
                             });
}

ErrorCode KpxLibTransport::SetLiveViewPreferredMaxDimension(int cameraId, std::uint32_t dimension)
{
    return ChangeConfiguration(
        *this, cameraId, LiveViewConfigLock(cameraId), "Error while changing LiveView max dimension",
        "Internal error while changing LiveView max dimension",
        [&](Configuration& configuration) { configuration.preferredMaxDimension = dimension; });
}

ErrorCode KpxLibTransport::GetLiveViewFullImageSize(int cameraId, std::uint32_t& width, std::uint32_t& height)
{
    return WithCamera(*this, cameraId, "Error while getting LiveView full image dimensions",
                      "Internal error while getting LiveView full image dimensions",
                      [&](Camera& camera)
                      {
                          const Q7::KPX::LiveView::Capabilities capabilities =
                              camera.GetLiveViewCapabilities();
                          width = capabilities.sourceAreaWidth;
                          height = capabilities.sourceAreaHeight;
                          return Success;
                      });
}

ErrorCode KpxLibTransport::SetLiveViewWhiteBalancePoint(int cameraId, const ValuePoint& point)
{
    return WithCamera(*this, cameraId, "Error while setting LiveView white balance point",
                      "Internal error while setting LiveView white balance point",
                      [&](Camera& camera)
                      {
                          if (!camera.IsLiveViewWhiteBalancePointSupported())
                          {
                              return SetLastErrorInfo(
                                  GeneralError, "Setting while balance point is not supported on this camera",
                                  "KpxLibTransport::SetLiveViewWhiteBalancePoint");
                          }
                          const auto kpx = KpxLibTypeConverter::ToKpxPoint(point);
                          return Queued(camera.SetLiveViewWhiteBalancePoint(kpx[0], kpx[1]));
                      });
}

std::pair<ErrorCode, std::optional<Q7::KPX::LiveView::Capabilities>>
KpxLibTransport::GetLiveViewCapabilities(int cameraId)
{
    std::optional<Q7::KPX::LiveView::Capabilities> capabilities;
    const ErrorCode code = WithCamera(*this, cameraId, "Error while getting LiveView capabilities",
                                      "Internal error while getting LiveView capabilities",
                                      [&](Camera& camera)
                                      {
                                          capabilities = camera.GetLiveViewCapabilities();
                                          return Success;
                                      });
    return {code, std::move(capabilities)};
}

// ---------------------------------------------------------------- frames

void KpxLibTransport::LiveViewImageArrivesFromKpx(int cameraId,
                                                  const Q7::KPX::ImageReceivePackage& package) noexcept
{
    if (Sdk::GetInstance(false) == nullptr)
    {
        SdkLog(1, "LiveViewImageArrivesFromKpx: Sdk not open - ignoring notification\n");
        return;
    }
    try
    {
        auto frame = std::make_shared<const Q7::KPX::LiveViewImage>(package);
        const bool jpeg = frame->IsJpeg();
        std::uint32_t word37 = 0;
        const bool timed = frame->GetHeaderWord37(word37);
        if (timed || !jpeg)
        {
            // The look-up that leaves a pending error to the application.
            if (const std::shared_ptr<Camera> camera = FindConnectedCamera(cameraId))
            {
                camera->LiveViewImageDelivered(word37, frame->GetPayloadSize(), frame->GetImageSize(), jpeg);
            }
        }
        PostWhileOpen(cameraId, BuildLiveViewEvent(cameraId, std::move(frame)));
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        SdkLog(1, "Camera %i KPX LiveView image threw exception: %s\n", cameraId,
               Q7::Universal::ToUtf8(error.GetMessage()).c_str());
    }
    catch (const std::exception& error)
    {
        // Not thrown into the agent's delivery thread: the frame is lost.
        SdkLog(1, "Camera %i KPX LiveView image threw exception: %s\n", cameraId, error.what());
    }
}

} // namespace Q7::TavrinC
