// Reply assembly of channel 3.0: one assembler per reply type turns one or
// more reply messages (fragments) into one record and posts it, finished or
// failed, to its owner.
//
// A reply message is a reply header, then a body of chunks: image-list items,
// metadata items (each an item header and its data), image-buffer chunks
// (each a chunk header and data), or the 76 bytes of basic information. The
// first message of a reply starts a new record; a message continuing a reply
// writes its first chunk's data at the first-chunk offset, so a record grows
// across messages; the last message (or a failure) posts it.
//
// Every count, size and offset the camera sends is checked before anything is
// read or allocated for it, and nothing is read beyond a message's
// `messageSize`: a message that is handled but not wholly used is read away,
// so the stream stays in step. What one reply allocates in all is capped.
//
// Threads: AssembleMessage and FinishWithCameraError run on the agent's
// receive thread only (thread-bound); RequestMetadata, ResetRequests and
// WaitForImageList may run on any thread (thread-safe).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "Agents/ImageEnumeration/KPXImageEnumerationRecords.h"
#include "Wire/KPXMessage.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX
{
class MessageSource;
}

namespace Q7::KPX::ImageEnumeration
{

/// What one reply may allocate in all by default (256 MiB).
inline constexpr std::uint64_t kDefaultReplyAllocationLimit = 256ULL * 1024 * 1024;

class IBufferAssemblerFactory;

/// The six assemblers of channel 3.0 and the image list they keep.
class ReplyAssembly
{
public:
    /// What the assemblers need of their agent. Called on the receive thread,
    /// except SendGetMetadata, which RequestMetadata also calls on its caller's
    /// thread.
    class Owner
    {
    public:
        virtual ~Owner();
        /// Takes a finished record (null for kind 3) into the notify queue.
        virtual void PostRecord(ImageEnumNotify kind, RecordPtr record) = 0;
        /// A reply of type 0x82 or 0x84 to a request on its way ended
        /// (finished or failed): the next held request of that kind may go
        /// out.
        virtual void ReleaseGate(std::uint8_t replyType) = 0;
        /// Whether a request whose reply is of type 0x82 or 0x84 is on its way
        /// (sent or queued, and its reply not ended): a reply of that type
        /// that begins while none is answers nothing asked for.
        virtual bool IsAwaited(std::uint8_t replyType) = 0;
        /// Queues GetMetadata for the image with (the first ten of) the ids;
        /// false when it was not queued.
        virtual bool SendGetMetadata(std::uint32_t imageId, std::span<const std::uint32_t> itemIds) = 0;
    };

    /// `replyAllocationLimit`: the bytes one reply may allocate for its data.
    explicit ReplyAssembly(Owner& owner, std::uint64_t replyAllocationLimit = kDefaultReplyAllocationLimit);
    ~ReplyAssembly();

    ReplyAssembly(const ReplyAssembly&) = delete;
    ReplyAssembly& operator=(const ReplyAssembly&) = delete;

    /// The negotiated version: every assembler reads its reply header with the
    /// size for it. Thread-bound (the send thread sets it before the receive
    /// thread reads).
    void SetProtocolVersion(ProtocolVersion version);

    /// A reply type with an assembler (0x81 to 0x84, 0x86, 0x87).
    [[nodiscard]] bool Handles(std::uint8_t messageType) const noexcept;

    /// Assembles one message whose 16-byte common header was read (class 0x67,
    /// a type with an assembler, CheckMessageHeader passed) from the rest of
    /// the message in `source`. Data is stored as it arrives, never the size
    /// a reply claims up front; a reply whose last message leaves its data
    /// short of the claim is posted with assembly error 32 (not complete). A
    /// basic-information or image-buffer reply that begins while no request
    /// of its kind is on its way (Owner::IsAwaited) is read away without a
    /// record, unless it is an image buffer while the camera reports the
    /// preview subscription on; only the reply to a request opens its gate.
    /// Answers true when the message was read whole;
    /// false when the stream is out of step (a read failed, a chunk header or
    /// offset was rejected): the caller closes the channel. A record in
    /// progress is posted with the assembly error in each failure. A read that
    /// timed out is also logged as ModuleError 0x6500CF "KPX ch3 get basic
    /// image info.". A standard exception on the way (an allocation failure)
    /// posts the record with assembly error 64 and is raised again as
    /// StdExceptionError. Blocks on the source. Thread-bound.
    bool AssembleMessage(const CommonMessageHeader& header, MessageSource& source);

    /// A camera's CommonError naming a request of this class (`requestType`,
    /// or that type with bit 7 set): the assembler of its reply posts a record
    /// whose status is `errorId` and ends the request (its gate opens, pending
    /// metadata ids are dropped). Nothing for another type. Thread-bound.
    void FinishWithCameraError(std::uint8_t requestType, std::uint32_t errorId);

    /// Asks for metadata items of an image: false (and nothing sent) while an
    /// earlier metadata request is still pending or when the request could not
    /// be queued; otherwise the ids are pending until replies carry them (a
    /// reply that leaves ids pending is followed by GetMetadata for the rest).
    /// Thread-safe.
    bool RequestMetadata(std::uint32_t imageId, const std::vector<std::uint32_t>& itemIds);

    /// The channel closed: the pending metadata request is dropped (its reply
    /// can no longer come) and the preview subscription counts as off (the
    /// camera forgets it). Thread-safe.
    void ResetRequests();

    /// Waits up to `timeoutMs` for an image-list reply to finish (at once when
    /// one finished since the last whole list began), then calls `callback`
    /// with the list under the list's lock, also when the wait ran out.
    /// Answers whether the list is complete: the last whole list ended with
    /// its last message and did not fail (false when it failed, was refused,
    /// or had not ended within the wait; the list handed over is then what
    /// arrived). Raises what the callback raises. Blocks. Thread-safe.
    bool WaitForImageList(std::uint32_t timeoutMs, const std::function<void(const ImageList&)>& callback);

private:
    IBufferAssemblerFactory* Find(std::uint8_t messageType) const noexcept;

    std::atomic<bool> m_previewsPushed{false}; // the camera reports the preview subscription on
    std::vector<std::unique_ptr<IBufferAssemblerFactory>> m_assemblers;
};

} // namespace Q7::KPX::ImageEnumeration
