#pragma once
// ICameraCapabilities from a copy of the camera's image-enumeration
// capabilities.

#include <TavrinCpp/ImageObjects.h>
#include <TavrinCpp/TavrinC.h>

namespace Q7::Tavrin
{

class ImageCapabilities final : public ICameraCapabilities
{
public:
    explicit ImageCapabilities(const Q7::TavrinC::ImageEnumCapabilities& capabilities)
        : m_capabilities(capabilities)
    {
    }
    virtual ~ImageCapabilities() = default;

    /// The maximum tile width times the maximum tile height, as an unsigned
    /// 32-bit product.
    std::uint32_t MaxPixelsPerTile() const override
    {
        return m_capabilities.maxTileWidth * m_capabilities.maxTileHeight;
    }

private:
    const Q7::TavrinC::ImageEnumCapabilities m_capabilities;
};

} // namespace Q7::Tavrin
