// Fuzzes the LVIM reader with input = one live-view file as a camera could
// send it. A frame that passes the checks must keep every area it names
// inside the file: the image bytes, the status text and the pixel lines; an
// accessor never reads beyond the buffer (the sanitizers see that).
#include "FuzzEntry.h"

#include "Agents/ImageTransfer/KPXLiveViewImage.h"
#include "Q7UniversalError.h"

#include <cstring>
#include <memory>

using namespace Q7::KPX;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 0x100000)
        return 0;
    static BufferPool& pool = *new BufferPool(std::make_shared<Allocator>(), 2, 0x400000, L"fuzz ");
    ImageReceivePackage package(pool);
    package.size = static_cast<std::uint32_t>(size);
    if (size != 0)
    {
        package.buffer = pool.GetBuffer(static_cast<std::uint32_t>(size), nullptr);
        std::memcpy(package.buffer.GetData(), data, size);
    }
    try
    {
        const LiveViewImage image(package);
        const std::uint64_t file = size;
        TAVRIN_FUZZ_CHECK(file >= LiveViewImage::kMinFileSize);
        TAVRIN_FUZZ_CHECK(std::uint64_t{image.GetImageOffset()} + image.GetImageSize() <= file);
        TAVRIN_FUZZ_CHECK(std::uint64_t{image.GetLineSize()} * image.GetHeight() <= image.GetImageSize());
        TAVRIN_FUZZ_CHECK(std::uint64_t{image.GetPixelSize()} * image.GetWidth() <= image.GetLineSize());
        TAVRIN_FUZZ_CHECK(image.GetOrientation() < 360);
        const std::string status = image.GetStatusMessage();
        TAVRIN_FUZZ_CHECK(status.size() <= file);
        if (image.GetImageSize() != 0)
            (void)image.GetImageData()[image.GetImageSize() - 1];
        float value = 0;
        std::uint32_t word = 0;
        image.GetCameraAngle(value);
        image.GetFocusDistance(value);
        image.GetIntegrationTime(word);
        image.GetHeaderWord37(word);
        TAVRIN_FUZZ_CHECK(image.GetPayloadSize() == file - LiveViewImage::kMinFileSize);
        image.Dump(true);
    }
    catch (const Q7::Universal::ModuleError&)
    {
        // A malformed frame: refused, nothing kept.
    }
    return 0;
}
