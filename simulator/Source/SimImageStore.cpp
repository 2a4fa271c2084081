#include "SimImageStore.h"

#include "SimByteCursor.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace Q7::Sim
{

namespace
{

constexpr std::uint32_t kItemA = 0x4746;
constexpr std::uint32_t kItemB = 0x9000;
constexpr std::size_t kNameBytes = 14; // bytes 9-22 of a list item; the last is always 0

// Reproducible bytes from a seed (xorshift), written in place.
void FillPatternBytes(std::uint64_t seed, std::span<std::uint8_t> bytes)
{
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (auto& byte : bytes)
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
}

std::vector<std::uint8_t> PatternBytes(std::uint64_t seed, std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    FillPatternBytes(seed, bytes);
    return bytes;
}

constexpr std::uint64_t FileSeed(std::uint32_t id)
{
    return 0x1000000ULL + id;
}

// A JPEG as the camera sends it: start and end markers around bytes made
// from the seed (nobody decodes them).
std::vector<std::uint8_t> JpegBytes(std::uint64_t seed, std::size_t payload)
{
    std::vector<std::uint8_t> bytes{0xFF, 0xD8, 0xFF, 0xE0};
    const auto body = PatternBytes(seed, payload);
    bytes.insert(bytes.end(), body.begin(), body.end());
    bytes.push_back(0xFF);
    bytes.push_back(0xD9);
    return bytes;
}

void PutF32(ByteWriter& w, float value)
{
    w.U32(std::bit_cast<std::uint32_t>(value));
}

} // namespace

std::vector<std::uint8_t> SimImage::BasicInfoBytes() const
{
    std::vector<std::uint8_t> bytes(76);
    ByteWriter w(bytes);
    PutF32(w, info.aperture);
    PutF32(w, info.shutter);
    PutF32(w, info.focusPointX);
    PutF32(w, info.focusPointY);
    PutF32(w, info.focalLength);
    w.U32(info.whiteBalance);
    w.U32(info.rawCompression);
    w.U32(info.value28);
    w.U32(info.orientation);
    w.U32(info.pixelWidth);
    w.U32(info.pixelHeight);
    w.U32(info.iso);
    w.U32(info.rating);
    w.U32(info.timeStamp);
    w.U32(info.imageSize);
    w.FixedText(info.fileName, 16);
    return bytes;
}

std::vector<std::uint8_t> SimImage::ListItemBytes() const
{
    std::vector<std::uint8_t> bytes(24);
    ByteWriter w(bytes);
    w.U32(id);
    w.U32(attribute);
    w.U8(byte8);
    w.FixedText(std::string_view(name).substr(0, kNameBytes - 1), kNameBytes);
    w.U8(attribute23);
    return bytes;
}

std::vector<std::uint8_t> SimImage::FileBytes() const
{
    return PatternBytes(FileSeed(id), info.imageSize);
}

void SimImage::WriteFileBytes(std::span<std::uint8_t> destination) const
{
    FillPatternBytes(FileSeed(id), destination);
}

void ImageStoreListener::OnImagesCaptured(const std::vector<SimImage>&) {}

std::vector<std::uint8_t> SimImage::PreviewBytes(std::uint32_t format) const
{
    if (format == kImageFormatJpeg)
        return JpegBytes(0x2000000ULL + id, 300 + (id * 37) % 500);
    if (format == kImageFormatRgb24)
        return TileBytes(kImageFormatRgb24, 0, 0, pictureWidth, pictureHeight);
    return {};
}

std::vector<std::uint8_t> SimImage::TileBytes(std::uint32_t format, std::uint32_t x, std::uint32_t y,
                                              std::uint32_t width, std::uint32_t height) const
{
    if (format == kImageFormatJpeg)
    {
        const std::uint64_t seed = (std::uint64_t{id} << 32) ^ (std::uint64_t{x} << 24) ^
                                   (std::uint64_t{y} << 16) ^ (std::uint64_t{width} << 8) ^ height;
        return JpegBytes(seed, 100 + width + height);
    }
    if (format != kImageFormatRgb24)
        return {};
    std::vector<std::uint8_t> bytes;
    bytes.reserve(std::size_t{width} * height * 3);
    for (std::uint32_t row = y; row < y + height; ++row)
    {
        for (std::uint32_t column = x; column < x + width; ++column)
        {
            bytes.push_back(static_cast<std::uint8_t>(column * 7 + id * 13));
            bytes.push_back(static_cast<std::uint8_t>(row * 11 + id * 5));
            bytes.push_back(static_cast<std::uint8_t>((column + row) * 3 + id));
        }
    }
    return bytes;
}

SimImage ImageStore::MakeImage(std::uint32_t id)
{
    SimImage image;
    image.id = id;
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04u.TIF", id);
    image.name = std::string(name).substr(0, kNameBytes - 1);
    image.byte8 = static_cast<std::uint8_t>(id);
    image.attribute23 = static_cast<std::uint8_t>(id % 3);
    image.info.aperture = 2.8F + static_cast<float>(id % 5);
    image.info.shutter = 7.0F + static_cast<float>(id % 3);
    image.info.focusPointX = 0.5F;
    image.info.focusPointY = 0.25F + static_cast<float>(id % 2) / 2;
    image.info.focalLength = 50.0F + static_cast<float>(id % 100);
    image.info.whiteBalance = id % 8;
    image.info.rawCompression = 1;
    image.info.orientation = id % 4;
    image.info.pixelWidth = 6000;
    image.info.pixelHeight = 4000;
    image.info.iso = 100U << (id % 5);
    image.info.timeStamp = 1600000000U + id * 60;
    image.info.imageSize = 4096 + (id * 97) % 8192;
    image.info.fileName = image.name;
    image.metadata[kItemA] = PatternBytes(0x3000000ULL + id, 32 + id % 64);
    image.metadata[kItemB] = PatternBytes(0x4000000ULL + id, 16);
    image.pictureWidth = 64 + (id % 4) * 16;
    image.pictureHeight = 48 + (id % 3) * 16;
    return image;
}

std::vector<SimImage>::iterator ImageStore::FindLocked(std::uint32_t id)
{
    return std::find_if(m_images.begin(), m_images.end(),
                        [id](const SimImage& image) { return image.id == id; });
}

void ImageStore::Add(std::vector<SimImage> images)
{
    std::lock_guard lock(m_mutex);
    AddLocked(images);
}

void ImageStore::AddLocked(const std::vector<SimImage>& images)
{
    for (const SimImage& image : images)
    {
        const auto found = FindLocked(image.id);
        if (found != m_images.end())
            *found = image;
        else
            m_images.push_back(image);
        m_nextId = std::max(m_nextId, image.id + 1);
    }
    for (ImageStoreListener* listener : m_listeners)
        listener->OnImagesAdded(images);
}

std::vector<SimImage> ImageStore::AddGeneratedLocked(std::size_t count)
{
    std::vector<SimImage> images;
    for (std::size_t i = 0; i < count; ++i)
    {
        while (FindLocked(m_nextId) != m_images.end())
            ++m_nextId;
        images.push_back(MakeImage(m_nextId++));
        m_images.push_back(images.back());
    }
    for (ImageStoreListener* listener : m_listeners)
        listener->OnImagesAdded(images);
    return images;
}

std::vector<SimImage> ImageStore::AddGenerated(std::size_t count)
{
    std::lock_guard lock(m_mutex);
    return AddGeneratedLocked(count);
}

std::vector<SimImage> ImageStore::Capture(std::size_t count)
{
    std::lock_guard lock(m_mutex);
    ++m_captures;
    std::vector<SimImage> images = AddGeneratedLocked(count);
    for (ImageStoreListener* listener : m_listeners)
        listener->OnImagesCaptured(images);
    return images;
}

void ImageStore::Capture(std::vector<SimImage> images)
{
    std::lock_guard lock(m_mutex);
    ++m_captures;
    AddLocked(images);
    for (ImageStoreListener* listener : m_listeners)
        listener->OnImagesCaptured(images);
}

bool ImageStore::Rate(std::uint32_t id, std::uint32_t rating)
{
    std::lock_guard lock(m_mutex);
    const auto found = FindLocked(id);
    if (found == m_images.end())
        return false;
    found->info.rating = rating;
    found->attribute = rating;
    for (ImageStoreListener* listener : m_listeners)
        listener->OnImageChanged(*found);
    return true;
}

bool ImageStore::Remove(std::uint32_t id)
{
    std::lock_guard lock(m_mutex);
    const auto found = FindLocked(id);
    if (found == m_images.end())
        return false;
    const SimImage removed = *found;
    m_images.erase(found);
    for (ImageStoreListener* listener : m_listeners)
        listener->OnImageRemoved(removed);
    return true;
}

std::vector<SimImage> ImageStore::Images() const
{
    std::lock_guard lock(m_mutex);
    return m_images;
}

std::optional<SimImage> ImageStore::Find(std::uint32_t id) const
{
    std::lock_guard lock(m_mutex);
    for (const SimImage& image : m_images)
    {
        if (image.id == id)
            return image;
    }
    return std::nullopt;
}

std::size_t ImageStore::Captures() const
{
    std::lock_guard lock(m_mutex);
    return m_captures;
}

void ImageStore::WithImages(const std::function<void(const std::vector<SimImage>&)>& read) const
{
    std::lock_guard lock(m_mutex);
    read(m_images);
}

void ImageStore::Subscribe(ImageStoreListener* listener)
{
    std::lock_guard lock(m_mutex);
    if (std::find(m_listeners.begin(), m_listeners.end(), listener) == m_listeners.end())
        m_listeners.push_back(listener);
}

void ImageStore::Unsubscribe(ImageStoreListener* listener)
{
    std::lock_guard lock(m_mutex);
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener), m_listeners.end());
}

} // namespace Q7::Sim
