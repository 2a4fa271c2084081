// The pure rules of stored-image handles, as tables: the names of a device
// mask and the request records a preview or tile asks with.

#include "StoredImageHandleImpl.h"

#include <gtest/gtest.h>

namespace
{

using namespace Q7::Tavrin;

// Catches: a wrong name or order of the mask's bits, a missing "+", an
// unknown-only mask not named as such, and 0 not read as "None".
TEST(StoredImageRulesTest, DeviceMaskNames)
{
    const std::pair<std::uint8_t, const char*> rows[] = {
        {0x00, "None"},
        {0x01, "Host"},
        {0x02, "Xqd"},
        {0x04, "Sd"},
        {0x08, "XqdJpeg"},
        {0x10, "SdJpeg"},
        {0x09, "Host+XqdJpeg"},
        {0x1F, "Host+Xqd+Sd+XqdJpeg+SdJpeg"},
        {0x36, "Xqd+Sd+SdJpeg"},
        {0x20, "Unknown device mask: 32"},
        {0xE0, "Unknown device mask: 224"},
    };
    for (const auto& [mask, names] : rows)
    {
        EXPECT_EQ(DeviceMaskNames(mask), names) << static_cast<int>(mask);
        const KpxImageListItem item{.attribute23 = mask};
        EXPECT_EQ(StoredImageHandleImpl(item, 1).DeviceNames(), names);
    }
}

// Catches: a format code other than JPEG 2, RGB24 4 and 1 for the rest, tile
// fields in the wrong slots, a preview carrying tile fields, and a last field
// other than 100.
TEST(StoredImageRulesTest, RequestRecordsOfPreviewsAndTiles)
{
    const std::pair<ImageFormat, std::uint32_t> formats[] = {
        {ImageFormat::None, 1}, {ImageFormat::JPEG, 2}, {ImageFormat::RGB24, 4},
        {ImageFormat::Auto, 1}, {ImageFormat::RVF, 1},  {static_cast<ImageFormat>(77), 1},
    };
    for (const auto& [format, code] : formats)
    {
        const Q7::TavrinC::ImageBufferRequestInfo preview = PreviewRequestInfo(42, format);
        const std::uint32_t fields[] = {preview.imageId, preview.field2, preview.field3,
                                        preview.field4,  preview.field5, preview.field6,
                                        preview.field7,  preview.field9, preview.field10};
        const std::uint32_t expected[] = {42, 0, 0, 0, 0, 0, 0, code, 100};
        EXPECT_TRUE(std::equal(std::begin(fields), std::end(fields), std::begin(expected)))
            << static_cast<unsigned>(format);
        EXPECT_EQ(preview.field8, 1.0F);
    }
    const TileRequest request{11, 22, 33, 44, 0.5F, ImageFormat::RGB24};
    const Q7::TavrinC::ImageBufferRequestInfo tile = TileRequestInfo(7, request);
    const std::uint32_t fields[] = {tile.imageId, tile.field2, tile.field3, tile.field4, tile.field5,
                                    tile.field6,  tile.field7, tile.field9, tile.field10};
    const std::uint32_t expected[] = {7, 44, 33, 0, 0, 11, 22, 4, 100};
    EXPECT_TRUE(std::equal(std::begin(fields), std::end(fields), std::begin(expected)));
    EXPECT_EQ(tile.field8, 0.5F);
}

// Catches: a handle's file name read past the list entry's name bytes.
TEST(StoredImageRulesTest, FileNameStopsAtItsZeroOrTheField)
{
    KpxImageListItem item{.imageId = 5};
    item.name.fill('N');
    item.name.back() = 0;
    EXPECT_EQ(StoredImageHandleImpl(item, 1).FileName(), std::string(13, 'N'));
    item.name.back() = 'N';
    EXPECT_EQ(StoredImageHandleImpl(item, 1).FileName(), std::string(14, 'N'));
}

} // namespace
