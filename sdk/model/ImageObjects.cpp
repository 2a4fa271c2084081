#include <TavrinCpp/ImageObjects.h>

namespace Q7::Tavrin
{

// The interfaces' destructors live here, so their virtual tables and type
// information exist once, in the library.
IImageBuffer::~IImageBuffer() = default;
IImageBufferFrame::~IImageBufferFrame() = default;
IImageFileCommon::~IImageFileCommon() = default;
IFullImage::~IFullImage() = default;
IPreview::~IPreview() = default;
ITile::~ITile() = default;
ILiveView::~ILiveView() = default;
IImageFileBasicInfo::~IImageFileBasicInfo() = default;

} // namespace Q7::Tavrin
