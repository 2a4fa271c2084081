// What an image agent hands upward: one finished image (or live-view frame)
// in a pool buffer, and the queue between the agent's control thread, which
// finishes images, and its delivery thread, which hands them to the receiver.
//
// The image's bytes are never copied on the way: the package, every copy of
// it in the queue and whatever the receiver keeps share the one pool buffer
// through BufferPtr's retain counts, and the buffer returns to its pool when
// the last holder lets go (also after the agent and its camera are gone).
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "Q7PlatformSync_Posix.h"
#include "Transport/BufferPool.h"

namespace Q7::KPX
{

/// One finished image. Copying copies the name and retains the buffer once
/// more; copies may be released on any thread. One package object is not to
/// be used by several threads at once.
struct ImageReceivePackage
{
    /// An empty package bound to the pool its buffer comes from.
    explicit ImageReceivePackage(BufferPool& pool) : buffer(pool) {}

    std::uint32_t imageId = 0; ///< the camera's data id of the transfer
    std::string fileName;      ///< the name the camera announced (bytes as received, up to a zero byte)
    BufferPtr buffer;          ///< the image's first byte is the buffer's first byte
    std::uint32_t size = 0;    ///< the bytes received
};

/// The finished packages on their way to the delivery thread, oldest first.
/// Thread-safe.
class ImageDeliveryQueue
{
public:
    ImageDeliveryQueue() = default;
    /// Releases the packages still queued.
    ~ImageDeliveryQueue() = default;

    ImageDeliveryQueue(const ImageDeliveryQueue&) = delete;
    ImageDeliveryQueue& operator=(const ImageDeliveryQueue&) = delete;

    /// Appends a copy of the package, then sets the queue's event. Raises
    /// StdExceptionError (internal error) when the queue cannot grow.
    void Push(const ImageReceivePackage& package);

    /// Takes the oldest package into `package` (which must be bound to the
    /// same pool), waiting without limit while the queue is empty. Answers
    /// false, with `package` untouched, when one of `waitObjects` is signalled
    /// while the queue is empty. Blocks. Raises StdExceptionError (internal
    /// error) for a standard exception on the way.
    bool Pop(ImageReceivePackage& package, const WaitObjectList& waitObjects);

    /// The number of queued packages.
    [[nodiscard]] std::size_t GetCount() const;

    /// Set while the queue holds packages. For waiting.
    [[nodiscard]] Platform::EventStatus& GetEvent() noexcept { return m_hasPackages; }

private:
    mutable Platform::Mutex_Posix m_lock; // guards m_packages and keeps m_hasPackages in step with it
    Platform::EventCondition_Posix m_hasPackages;
    std::deque<ImageReceivePackage> m_packages;
};

} // namespace Q7::KPX
