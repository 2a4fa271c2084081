// The images stored on a simulated camera: what channel 3.0 lists, describes
// and edits (and what the image-transfer channel sends). One store per
// camera, shared by the handlers of every open of those channels.
//
// Each image has an id, a name of at most 13 characters, its basic
// information, metadata items and a picture from which previews and tiles are
// cut; every byte of an image (its file, previews, tiles) is reproducible from
// the image alone, so tests compute what the host must receive. Tests (or the
// command line) fill the store; a capture (a shutter release on channel 2.0,
// or a test) adds images, which the image-transfer channel sends to a host
// that receives images.
//
// Every change is reported to the store's listeners while the store's lock is
// held, so that listeners (the open channels) see changes in the order they
// happened and a reply built under WithImages never crosses a change.
//
// Typical use in a test:
//
//   camera.Images().AddGenerated(20);              // ids 1 to 20
//   model->SetShutterReleaseHook([&] { camera.Images().Capture(); });
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Q7::Sim
{

// Image formats on the wire of channel 3.0.
inline constexpr std::uint32_t kImageFormatUnspecified = 1;
inline constexpr std::uint32_t kImageFormatJpeg = 2;
inline constexpr std::uint32_t kImageFormatRgb24 = 4;

// The basic information of an image, as its 76 bytes on the wire lay it out.
struct SimBasicImageInfo
{
    float aperture = 0.0F;
    float shutter = 0.0F;
    float focusPointX = 0.0F;
    float focusPointY = 0.0F;
    float focalLength = 0.0F;
    std::uint32_t whiteBalance = 0;
    std::uint32_t rawCompression = 0;
    std::uint32_t value28 = 0;
    std::uint32_t orientation = 0;
    std::uint32_t pixelWidth = 0;
    std::uint32_t pixelHeight = 0;
    std::uint32_t iso = 0;
    std::uint32_t rating = 0;
    std::uint32_t timeStamp = 0;
    std::uint32_t imageSize = 0;
    std::string fileName; // at most 16 bytes on the wire (unterminated when 16)

    bool operator==(const SimBasicImageInfo&) const = default;
};

// One stored image.
struct SimImage
{
    std::uint32_t id = 0;
    std::string name;            // at most 13 characters on the wire
    std::uint32_t attribute = 0; // list item bytes 4-7: the image's rating
    std::uint8_t byte8 = 0;
    std::uint8_t attribute23 = 0;
    SimBasicImageInfo info;
    std::map<std::uint32_t, std::vector<std::uint8_t>> metadata; // item id -> data
    // The picture previews and tiles are cut from.
    std::uint32_t pictureWidth = 0;
    std::uint32_t pictureHeight = 0;

    bool operator==(const SimImage&) const = default;

    // The 76 bytes of the basic information.
    std::vector<std::uint8_t> BasicInfoBytes() const;
    // The 24 bytes of the list item (name cut to 13 characters).
    std::vector<std::uint8_t> ListItemBytes() const;
    // The image file (info.imageSize bytes).
    std::vector<std::uint8_t> FileBytes() const;
    // The first `destination.size()` bytes of the image file, written in place.
    void WriteFileBytes(std::span<std::uint8_t> destination) const;
    // The whole picture as a preview: RGB24 pixels (width x height x 3), or
    // the JPEG the camera sends for it (any other format: empty).
    std::vector<std::uint8_t> PreviewBytes(std::uint32_t format) const;
    // A rectangle of the picture (inside it) as a tile, as PreviewBytes.
    std::vector<std::uint8_t> TileBytes(std::uint32_t format, std::uint32_t x, std::uint32_t y,
                                        std::uint32_t width, std::uint32_t height) const;
};

// Whom a store tells about its changes. Called with the store's lock held:
// a listener must not call the store.
class ImageStoreListener
{
public:
    virtual ~ImageStoreListener() = default;
    // Images were added by one capture (or one Add), in order.
    virtual void OnImagesAdded(const std::vector<SimImage>& images) = 0;
    virtual void OnImageRemoved(const SimImage& image) = 0;
    virtual void OnImageChanged(const SimImage& image) = 0;
    // The images just added were captured (reported after OnImagesAdded).
    virtual void OnImagesCaptured(const std::vector<SimImage>& images);
};

// The images of one camera. Thread-safe.
class ImageStore
{
public:
    // A reproducible image for an id: its name "IMG_<id>.TIF" (cut to 13
    // characters), basic information, metadata items 0x4746 and 0x9000 and
    // a small picture, all derived from the id.
    static SimImage MakeImage(std::uint32_t id);

    // Adds images (an image with a known id replaces it); one notification.
    void Add(std::vector<SimImage> images);
    // Adds `count` images made by MakeImage with the next free ids.
    std::vector<SimImage> AddGenerated(std::size_t count);
    // A capture: as AddGenerated, counted as a capture.
    std::vector<SimImage> Capture(std::size_t count = 1);
    // A capture of the given images (an image with a known id replaces it).
    void Capture(std::vector<SimImage> images);
    // Sets an image's rating (basic information and list attribute). False
    // when the id is unknown.
    bool Rate(std::uint32_t id, std::uint32_t rating);
    // Removes an image. False when the id is unknown.
    bool Remove(std::uint32_t id);

    std::vector<SimImage> Images() const;
    std::optional<SimImage> Find(std::uint32_t id) const;
    // The captures so far.
    std::size_t Captures() const;

    // Runs `read` over the images with the store's lock held: no change can
    // happen (nor be reported) meanwhile. `read` must not call the store.
    void WithImages(const std::function<void(const std::vector<SimImage>&)>& read) const;

    // Listeners (no duplicates). Once Unsubscribe returned, the listener is
    // not called any more.
    void Subscribe(ImageStoreListener* listener);
    void Unsubscribe(ImageStoreListener* listener);

private:
    std::vector<SimImage>::iterator FindLocked(std::uint32_t id);
    std::vector<SimImage> AddGeneratedLocked(std::size_t count);
    void AddLocked(const std::vector<SimImage>& images);

    mutable std::mutex m_mutex; // guards everything below; held while listeners run
    std::vector<SimImage> m_images;
    std::uint32_t m_nextId = 1;
    std::size_t m_captures = 0;
    std::vector<ImageStoreListener*> m_listeners;
};

} // namespace Q7::Sim
