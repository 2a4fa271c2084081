// The flat interface's camera queries that the notification filters need,
// answered by the camera bridge.

#include "KpxLibTransport.h"
#include "LastError.h"
#include "Sdk.h"

#include <TavrinCpp/TavrinC.h>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;

ErrorCode IsCameraOpen(int cameraId, bool& isOpen)
{
    static constexpr const char* kSource = "Q7::TavrinC::IsCameraOpen";
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        return ReportCurrentError(kSource);
    }
    isOpen = sdk->Transport().IsCameraOpen(cameraId);
    return Success;
}

ErrorCode HasProperty(int cameraId, unsigned int propertyId, bool& has)
{
    static constexpr const char* kSource = "Q7::TavrinC::HasProperty";
    has = false;
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        return ReportCurrentError(kSource);
    }
    Q7::Tavrin::PropertyValue scratch;
    const ErrorCode read = sdk->Transport().GetPropertyValue(cameraId, propertyId, scratch);
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
