// The camera bridge's image list: one stored-image handle per image the
// camera lists.

#include "KpxLibTransport.h"

#include "LastError.h"
#include "StoredImageHandleImpl.h"

#include <exception>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalError;

ErrorCode KpxLibTransport::GetImageEnumeration(int cameraId,
                                               std::vector<std::shared_ptr<IStoredImageHandle>>& images)
{
    images.clear();
    try
    {
        std::shared_ptr<Camera> camera;
        if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
        {
            return found;
        }
        std::vector<std::shared_ptr<IStoredImageHandle>> handles;
        const bool complete = camera->RequestImageList(
            [&](const Q7::KPX::ImageEnumeration::ImageList& list)
            {
                for (const KpxImageListItem& item : list)
                {
                    handles.push_back(std::make_shared<StoredImageHandleImpl>(item, cameraId));
                }
            });
        images = std::move(handles);
        if (!complete)
        {
            // What arrived is handed over all the same; the code tells that
            // it may not be the whole list.
            return SetLastErrorInfo(GeneralError,
                                    "The camera's image list is incomplete: its reply failed or did not end "
                                    "in time.",
                                    "KpxLibTransport::GetImageEnumeration");
        }
        return Success;
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error while getting image list");
    }
    catch (const UniversalError& error)
    {
        return HandleUniversalError(error, "Internal error while getting image list");
    }
}

} // namespace Q7::TavrinC
