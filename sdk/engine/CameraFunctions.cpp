// The flat interface's cameras: opening, closing, the camera list and the
// queries the notification filters need, answered by the camera bridge.

#include "FlatFunction.h"
#include "KpxLibTransport.h"
#include "SdkLog.h"

#include <TavrinCpp/TavrinC.h>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;

ErrorCode OpenUsbCamera(int& cameraId, const char* serialNumber, const char* clientIdentity)
{
    static constexpr const char* kSource = "Q7::TavrinC::OpenUsbCamera";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    { return sdk.Transport().OpenUsbCamera(cameraId, serialNumber, clientIdentity); });
}

ErrorCode OpenIpCamera(int& cameraId, const char* address, const char* clientIdentity, int timeoutSeconds)
{
    static constexpr const char* kSource = "Q7::TavrinC::OpenIpCamera";
    return FlatCall(
        kSource, NoSdk::Report,
        [&](Sdk& sdk)
        {
            if (address == nullptr || *address == '\0')
            {
                return SetLastErrorInfo(CameraInvalidAddress, "Empty or null IP addresss", kSource);
            }
            return sdk.Transport().OpenIpCamera(cameraId, address, clientIdentity, timeoutSeconds);
        });
}

ErrorCode CloseCamera(int cameraId)
{
    static constexpr const char* kSource = "Q7::TavrinC::CloseCamera";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        // A camera without live view still closes. On a thread of
                        // the library the bridge's helper thread stops it, with
                        // the close it is handed.
                        if (!KpxLibTransport::OnLibraryThread() && DisableLiveView(cameraId) != Success)
                        {
                            SdkLog(2, "Failed to disable LiveView before closing camera!\n");
                        }
                        return sdk.Transport().CloseCamera(cameraId);
                    });
}

ErrorCode IsCameraOpen(int cameraId, bool& isOpen)
{
    static constexpr const char* kSource = "Q7::TavrinC::IsCameraOpen";
    // Whatever the caller's bool held, it says open only when the camera is.
    isOpen = false;
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        isOpen = sdk.Transport().IsCameraOpen(cameraId);
                        return Success;
                    });
}

ErrorCode ConnectionType(int cameraId, TetherConnection& connection)
{
    static constexpr const char* kSource = "Q7::TavrinC::ConnectionType";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().ConnectionType(cameraId, connection); });
}

ErrorCode GetCameraList(IVector<CameraSpecification>& cameras)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetCameraList";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        if (sdk.Factory() == nullptr)
                        {
                            return SetLastErrorInfo(SdkNoFactory, "No ABIFactory registered", kSource);
                        }
                        return sdk.Transport().ListCameras(cameras);
                    });
}

ErrorCode HasProperty(int cameraId, unsigned int propertyId, bool& has)
{
    static constexpr const char* kSource = "Q7::TavrinC::HasProperty";
    has = false;
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        Q7::Tavrin::PropertyValue scratch;
                        const ErrorCode read =
                            sdk.Transport().GetPropertyValue(cameraId, propertyId, scratch);
                        if (read == Success)
                        {
                            has = true;
                            return Success;
                        }
                        // A property the camera does not know, or does not list, is
                        // absent: no failure of the question itself.
                        if (read == PropertyNotFound || read == PropertyNotOnCamera)
                        {
                            return Success;
                        }
                        return read;
                    });
}

} // namespace Q7::TavrinC
