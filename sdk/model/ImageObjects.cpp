#include <TavrinCpp/ImageObjects.h>

#include <ostream>

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

std::ostream& operator<<(std::ostream& out, const ICameraCapabilities& capabilities)
{
    return out << "Camera capabilities:\n"
               << "Max no of pixels per tile: " << capabilities.MaxPixelsPerTile();
}

std::ostream& operator<<(std::ostream& out, const IImageBuffer& image)
{
    return out << "Format:    " << image.FormatName() << "\n"
               << "Size:      " << image.Size() << " bytes\n"
               << "Type:      " << image.KindName();
}

std::ostream& operator<<(std::ostream& out, const IImageBufferFrame& image)
{
    return out << static_cast<const IImageBuffer&>(image) << "\n"
               << "Width:  " << image.Width() << " pixels\n"
               << "Height: " << image.Height() << " pxiels";
}

std::ostream& operator<<(std::ostream& out, const IFullImage& image)
{
    return out << static_cast<const IImageBuffer&>(image) << "\n"
               << "Filename:  " << image.FileName();
}

std::ostream& operator<<(std::ostream& out, const ILiveView& image)
{
    return out << static_cast<const IImageBufferFrame&>(image) << "\n";
}

std::ostream& operator<<(std::ostream& out, const ITile& tile)
{
    return out << "---------------- Tile Received -------\n"
               << static_cast<const IImageBufferFrame&>(tile) << "\n"
               << "GetSrcX:                " << tile.GetSrcX() << "\n"
               << "GetSrcY:                " << tile.GetSrcY() << "\n"
               << "GetSrcWidth:            " << tile.GetSrcWidth() << "\n"
               << "GetSrcHeight:           " << tile.GetSrcHeight() << "\n"
               << "ScaleFactor:            " << tile.ScaleFactor() << "\n"
               << "--------------------------------------\n";
}

std::ostream& operator<<(std::ostream& out, const IImageFileBasicInfo& info)
{
    return out << info.Table();
}

} // namespace Q7::Tavrin
