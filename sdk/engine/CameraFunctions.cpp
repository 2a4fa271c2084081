// The flat interface's camera queries that the notification filters need.
//
// Until the Sdk holds its camera bridge no camera can be open: IsCameraOpen
// answers false and a property read fails as the bridge's does for a camera
// that is not open. The bridge replaces the two marked lines below with its
// IsCameraOpen and GetPropertyValue.

#include "LastError.h"
#include "Sdk.h"

#include <TavrinCpp/TavrinC.h>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;

ErrorCode IsCameraOpen(int cameraId, bool& isOpen)
{
    static constexpr const char* kSource = "Q7::TavrinC::IsCameraOpen";
    if (Sdk::GetInstance(false) == nullptr)
    {
        return ReportCurrentError(kSource);
    }
    static_cast<void>(cameraId);
    isOpen = false; // the bridge's IsCameraOpen (cameraId)
    return Success;
}

ErrorCode HasProperty(int cameraId, unsigned int propertyId, bool& has)
{
    static constexpr const char* kSource = "Q7::TavrinC::HasProperty";
    has = false;
    if (Sdk::GetInstance(false) == nullptr)
    {
        return ReportCurrentError(kSource);
    }
    static_cast<void>(cameraId);
    static_cast<void>(propertyId);
    // The bridge's GetPropertyValue (cameraId, propertyId) into a scratch value:
    const ErrorCode read = SetLastErrorInfo(CameraNotOpen, "The camera is not open", kSource);
    if (read == Success)
    {
        has = true;
        return Success;
    }
    // A property the camera does not know, or does not list, is absent: no
    // failure of the question itself.
    if (read == PropertyNotFound || read == PropertyNotOnCamera)
    {
        return Success;
    }
    return read;
}

} // namespace Q7::TavrinC
