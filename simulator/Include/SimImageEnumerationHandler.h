// Channel 3.0 of the simulated camera, image enumeration, over the camera's
// image store (SimImageStore.h).
//
// The camera answers GetImageList with the whole list, BasicImageInfo,
// GetMetadata, GetImageBuffer (previews and tiles, JPEG or RGB24),
// GetCapabilities and SetSubscription; applies EditImageMetadata (a rating or
// a deletion) to the store. Every change of the store is pushed to every open
// channel as a list message (captures with mask 32, ratings with 0x100,
// deletions with 64); while the host subscribed to previews, a preview of each
// capture follows. A reply longer than the fragment size goes out as several
// messages (fragment flags 1, 0..., 2, with first-chunk offsets); the messages
// of two replies never interleave.
//
// An ImageEnumerationControl shared by the handlers of every open holds the
// camera's capabilities, the fragment size, faults to inject (each used up
// once) and counters; it can also hold image-buffer replies back until a test
// releases them.
#pragma once

#include "SimImageStore.h"
#include "SimMessageChannelHandler.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace Q7::Sim
{

// Message types of the image-enumeration class (0x67).
inline constexpr std::uint8_t kIeGetImageList = 0x01;
inline constexpr std::uint8_t kIeBasicImageInfo = 0x02;
inline constexpr std::uint8_t kIeGetMetadata = 0x03;
inline constexpr std::uint8_t kIeGetImageBuffer = 0x04;
inline constexpr std::uint8_t kIeEditImageMetadata = 0x05;
inline constexpr std::uint8_t kIeGetCapabilities = 0x06;
inline constexpr std::uint8_t kIeSetSubscription = 0x07;
inline constexpr std::uint8_t kIeReplyBit = 0x80;

// Reply header sizes.
inline constexpr std::size_t kIeImageListHeaderSize = 56;
inline constexpr std::size_t kIeBasicImageInfoHeaderSize = 32;
inline constexpr std::size_t kIeMetadataHeaderSize = 40;
inline constexpr std::size_t kIeImageBufferHeaderSize = 64;
inline constexpr std::size_t kIeCapabilitiesHeaderSize = 56;
inline constexpr std::size_t kIeSubscriptionHeaderSize = 40;
inline constexpr std::size_t kIeListItemSize = 24;
inline constexpr std::size_t kIeMetadataItemHeaderSize = 20;
inline constexpr std::size_t kIeChunkHeaderSize = 56;
inline constexpr std::size_t kIeBasicInfoSize = 76;

// Reply status codes.
inline constexpr std::uint32_t kIeStatusSuccess = 0x67000001u;
inline constexpr std::uint32_t kIeStatusUnsupportedFormat = 0x67000008u;
inline constexpr std::uint32_t kIeStatusInvalidImageId = 0x67000040u;
inline constexpr std::uint32_t kIeStatusIsBusy = 0x67000080u;
inline constexpr std::uint32_t kIeStatusRequestFailed = 0x67000100u;
inline constexpr std::uint32_t kIeStatusInvalidBuffer = 0x67000200u;

// Fragment flags and list change masks.
inline constexpr std::uint32_t kIeFragmentFirst = 0x1;
inline constexpr std::uint32_t kIeFragmentLast = 0x2;
inline constexpr std::uint32_t kIeFragmentContinuesItem = 0x4;
inline constexpr std::uint32_t kIeListWhole = 0x2;
inline constexpr std::uint32_t kIeListAdded = 0x20;
inline constexpr std::uint32_t kIeListRemoved = 0x40;
inline constexpr std::uint32_t kIeListChanged = 0x100;

// Capability bit at offset 52 of the capabilities reply: previews of captures
// can be subscribed.
inline constexpr std::uint32_t kIeCapabilityPreviewSubscription = 0x1;

// Faults of channel 3.0. Each applies to the next request it matches and is
// then used up.
enum class ImageEnumerationFaultKind
{
    Silence,              // no answer at all
    PartialReply,         // the reply stops halfway through its first message; nothing follows
    CommonErrorReply,     // a CommonError `status` naming the request instead of the reply
    RestartedReply,       // the reply's first message alone (not last), then the whole reply again
    LoneContinuation,     // a stray last fragment of the reply's type before the reply
    CapabilitiesWithBody, // a capabilities reply with 40 bytes of body behind its header
    ErrorStatusWithBody,  // the reply carries status `status` and its body all the same
    Fragmented,           // the reply in fragments of `fragmentBytes` body bytes
    ListNotMultipleOf24,  // an image-list body 10 bytes longer than its items
    OverrunningChunk,     // two messages; the second's first-chunk offset is the destination's size
    TrailingBytes,        // the reply's last message carries 100 bytes beyond its data
    HugeDataSize,         // an image-buffer chunk header announcing 0xFFFFFFFF bytes
    ShortChunkHeader,     // an image-buffer body of 30 bytes, shorter than a chunk header
    FirstFragmentOnly,    // the reply's first message alone (not last), then nothing: a reply that stalls
    ClaimsMore,           // the data size in the first chunk or item header is `claimBytes` (more than the
                          // reply carries); the reply ends as it would
};

struct ImageEnumerationFault
{
    ImageEnumerationFaultKind kind = ImageEnumerationFaultKind::Silence;
    std::uint8_t requestType = 0;           // the request it applies to (0: any)
    std::uint32_t status = kIeStatusIsBusy; // CommonErrorReply, ErrorStatusWithBody
    std::size_t fragmentBytes = 64;         // Fragmented
    std::uint32_t claimBytes = 0;           // ClaimsMore
};

// What channel 3.0 did, over all opens.
struct ImageEnumerationCounters
{
    std::map<std::uint8_t, std::size_t> requests; // valid requests received, by type
    std::map<std::uint8_t, std::size_t> replies; // replies completed (all their messages sent), by reply type
    std::size_t pushes = 0;                      // list pushes sent (per channel)
    std::size_t subscriptionPreviews = 0;        // previews of captures sent
    std::size_t faultsApplied = 0;
    std::size_t heldReplies = 0; // image-buffer replies waiting to be released

    std::size_t Requests(std::uint8_t type) const;
    std::size_t Replies(std::uint8_t replyType) const;
};

class ImageEnumerationHandler;

// The behaviour of channel 3.0 shared by the handlers of every open.
// Thread-safe.
class ImageEnumerationControl
{
public:
    // What the capabilities reply reports (@36 to @52).
    struct Capabilities
    {
        std::uint32_t maxTileWidth = 1024;
        std::uint32_t maxTileHeight = 1024;
        std::uint32_t value44 = 0;
        std::uint32_t value48 = 0;
        std::uint32_t value52 = kIeCapabilityPreviewSubscription;
    };

    void SetCapabilities(const Capabilities& capabilities);
    Capabilities GetCapabilities() const;
    // Body bytes of one reply message at most (default 64 KiB; at least 32).
    void SetFragmentSize(std::size_t bytes);
    std::size_t FragmentSize() const;
    void AddFault(ImageEnumerationFault fault);
    // Takes the first fault that applies to a request of `type`.
    std::optional<ImageEnumerationFault> TakeFault(std::uint8_t type);

    // While on, every image-buffer reply waits until ReleaseHeldReply; off
    // releases none.
    void HoldImageBufferReplies(bool hold);
    bool HoldsImageBufferReplies() const;
    // Sends the oldest held reply (on the caller's thread); false when none.
    bool ReleaseHeldReply();

    ImageEnumerationCounters Counters() const;
    // Waits until the predicate holds over the counters (it runs under the
    // control's lock and must not call the control); true when it does.
    bool WaitUntil(const std::function<bool(const ImageEnumerationCounters&)>& predicate,
                   std::chrono::milliseconds timeout) const;

    // --- Used by the handlers.
    void Update(const std::function<void(ImageEnumerationCounters&)>& change);
    void Hold(ImageEnumerationHandler* owner, std::function<void()> send);
    void DropHeld(ImageEnumerationHandler* owner);

private:
    struct Held
    {
        ImageEnumerationHandler* owner;
        std::function<void()> send;
    };

    mutable std::mutex m_mutex; // guards the fields below but the held queue
    mutable std::condition_variable m_changed;
    Capabilities m_capabilities;
    std::size_t m_fragmentSize = 64 * 1024;
    std::deque<ImageEnumerationFault> m_faults;
    bool m_hold = false;
    ImageEnumerationCounters m_counters;

    std::mutex m_heldMutex; // guards m_held; held while a held reply is sent
    std::deque<Held> m_held;
};

// The handler of one open of channel 3.0.
class ImageEnumerationHandler : public MessageChannelHandler, private ImageStoreListener
{
public:
    ImageEnumerationHandler(std::shared_ptr<ImageStore> store,
                            std::shared_ptr<ImageEnumerationControl> control);
    ~ImageEnumerationHandler() override;

    void OnOpen(ChannelContext& context) override;
    void OnClose(ChannelContext& context) override;

    // A factory whose handlers serve `store` with `control`.
    static ChannelHandlerFactory Factory(std::shared_ptr<ImageStore> store,
                                         std::shared_ptr<ImageEnumerationControl> control);

protected:
    bool OnMessage(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message) override;

private:
    using Messages = std::vector<std::vector<std::uint8_t>>;

    // ImageStoreListener (store lock held).
    void OnImagesAdded(const std::vector<SimImage>& images) override;
    void OnImageRemoved(const SimImage& image) override;
    void OnImageChanged(const SimImage& image) override;
    void Push(std::uint32_t mask, const std::vector<SimImage>& images);

    void OnGetImageList(ChannelContext& context, const MessageHeader& header,
                        std::span<const std::uint8_t> message);
    void OnBasicImageInfo(ChannelContext& context, const MessageHeader& header,
                          std::span<const std::uint8_t> message);
    void OnGetMetadata(ChannelContext& context, const MessageHeader& header,
                       std::span<const std::uint8_t> message);
    void OnGetImageBuffer(ChannelContext& context, const MessageHeader& header,
                          std::span<const std::uint8_t> message);
    void OnEdit(ChannelContext& context, const MessageHeader& header, std::span<const std::uint8_t> message);
    void OnGetCapabilities(ChannelContext& context, const MessageHeader& header);
    void OnSetSubscription(ChannelContext& context, const MessageHeader& header,
                           std::span<const std::uint8_t> message);

    // Sends a reply's messages as a fault (taken for its request) allows.
    void SendReply(std::uint8_t requestType, Messages messages, std::optional<ImageEnumerationFault> fault);
    // Sends messages back to back (no other reply in between); false when the
    // channel closed first.
    bool SendAll(const Messages& messages);

    std::shared_ptr<ImageStore> m_store;
    std::shared_ptr<ImageEnumerationControl> m_control;
    ChannelContext* m_context = nullptr; // from OnOpen until OnClose

    std::mutex m_sendMutex; // serialises whole replies and pushes; guards the subscription below
    bool m_subscribed = false;
    std::uint32_t m_subscriptionOption = 0; // 1 JPEG, 2 RGB24
    bool m_listening = false;               // subscribed to the store (receive thread only)
};

} // namespace Q7::Sim
