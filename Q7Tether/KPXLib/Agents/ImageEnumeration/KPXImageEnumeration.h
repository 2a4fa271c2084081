// The image-enumeration agent of channel 3.0: through it an owner browses the
// images stored on a camera (the list, each image's basic information,
// metadata, previews and tiles), rates and deletes them, reads the camera's
// capabilities and subscribes to previews of new captures.
//
// Requests are fire-and-forget: each only queues its message and answers
// whether it did; the camera's answers arrive later as records on the notify
// receiver (see ImageEnumNotify), one per reply, also when the reply failed.
// At most one basic-information and one image-buffer request are on the wire
// at a time: the others wait in their gate, in the order asked, until the
// reply before them ended. The camera also pushes changes of its list (new
// captures, ratings, deletions), which update the list the agent mirrors and
// are notified item by item.
//
// Threads: "KPX ch3 send" opens the channel (when the receive thread asks for
// it), asks for the list and the capabilities after every open and writes the
// queued requests; "KPX ch3 recv" reads and assembles the camera's messages;
// "KPX ch3 ntfy" hands the finished records to the receiver. Whenever the
// channel closes (a failed read or write, a malformed reply, the camera
// closing it) the queued and held requests are dropped and the channel is
// opened again, which refreshes the list and the capabilities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "Agents/ImageEnumeration/KPXImageEnumerationAssembly.h"
#include "Agents/ImageEnumeration/KPXImageEnumerationMessages.h"
#include "Agents/ImageEnumeration/KPXImageEnumerationRecords.h"
#include "Channel/KPXAgent.h"
#include "Channel/KPXChannel.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Q7UniversalFunPtr_Template.h"

namespace Q7::KPX
{

class ChannelTransport;
class MessageSource;

/// The agent's own time limits and its limit on what a reply allocates. The
/// defaults are the protocol's; tests shorten them.
struct ImageEnumerationTimings
{
    std::uint32_t imageListWaitMs = 3000; ///< WaitForImageList: wait for a list reply
    /// A message whose header arrived: each further read of it (up to 1 MiB)
    /// must complete within this, or the reply fails (assembly error 32 or 16)
    /// and the channel is opened again.
    std::uint32_t messageReadTimeoutMs = 10000;
    /// What one reply may allocate for its data; beyond it the reply fails
    /// with assembly error 64.
    std::uint64_t replyAllocationLimit = ImageEnumeration::kDefaultReplyAllocationLimit;
};

/// The agent of channel 3.0.
///
/// Life cycle: constructed (channel started, not open, no threads) -> Start
/// -> requests -> Stop -> Start again as often as wanted -> destroyed (stops
/// first).
///
/// Threads: every public member may be called from any thread (thread-safe).
/// Start, Stop and SetNotifyReceiver are serialised by the agent lock. The
/// notify receiver runs on "KPX ch3 ntfy" under the receiver lock and outside
/// every other lock of the agent: it may make requests and call
/// WaitForImageList, not Start, Stop or SetNotifyReceiver (those wait for the
/// thread that runs it). Errors met on the agent's threads go to the error
/// callback (this object's dispatcher), on those threads.
class ImageEnumerationAgent : public Universal::ErrorDispatcher,
                              public BaseAgent,
                              private ImageEnumeration::ReplyAssembly::Owner
{
public:
    using ImageEnumNotify = ImageEnumeration::ImageEnumNotify;
    using RecordPtr = ImageEnumeration::RecordPtr;
    using ImageList = ImageEnumeration::ImageList;
    using ImageListItem = ImageEnumeration::ImageListItem;
    using ImageBufferRequestInfo = ImageEnumeration::ImageBufferRequestInfo;
    using BasicImageInfo = ImageEnumeration::BasicImageInfo;
    using Capabilities = ImageEnumeration::Capabilities;
    using SetSubscriptionStruct = ImageEnumeration::SetSubscriptionStruct;
    using ImageBuffer = ImageEnumeration::ImageBuffer;
    using MetadataItems = ImageEnumeration::MetadataItems;

    /// The receiver of finished records: the kind and the record, which the
    /// receiver owns from then on (null for kind 3).
    using NotifyReceiver = Universal::FunctionPointer2<void, ImageEnumNotify, RecordPtr>;
    /// Called with the image list by WaitForImageList.
    using ImageListCallback = std::function<void(const ImageList&)>;

    /// Records that wait for a slow receiver at most: while as many wait, a
    /// change of the image list reaches the receiver as one ImageListChanged
    /// (the list the agent holds is whole) and other records are dropped.
    static constexpr std::size_t kMaxQueuedNotifications = 1024;

    /// The metadata items every RequestMetadata asks for.
    static constexpr std::uint32_t kMetadataItemA = 0x4746;
    static constexpr std::uint32_t kMetadataItemB = 0x9000;

    /// Builds channel 3.0 on the transport (which must outlive the agent) with
    /// the handshake `channelTimings`, declares the message protocol version
    /// 1.0 and starts the channel. Raises what starting the channel raises.
    explicit ImageEnumerationAgent(ChannelTransport& transport, const ChannelTimings& channelTimings = {},
                                   const ImageEnumerationTimings& timings = {});
    /// Stops the agent.
    ~ImageEnumerationAgent() override;

    /// Starts the agent, unless its three threads already run: stops what is
    /// left of an earlier run, checks that the channel opens (opening and
    /// closing it once; a non-zero result returns without starting anything)
    /// and starts the notify, send and receive threads. The channel opens on
    /// the threads; requests made meanwhile go out once it is open. Raises
    /// (after stopping again) what the channel's Open raises (see
    /// Channel::Open) and what starting a thread raises. Blocks.
    void Start();

    /// Closes the channel, drops queued and held requests and records not yet
    /// delivered, and stops and releases the three threads, logging the error
    /// "Thread '%ls' taking an unexpectedly long time to stop." after every
    /// 10 s that a thread takes. Raises nothing. Blocks.
    void Stop();

    /// True while the notify, send and receive threads all run.
    [[nodiscard]] bool IsRunning() const;

    /// Replaces the notify receiver (a clone of `receiver`; an empty or unbound
    /// one removes it). Waits while the receiver runs: once it returns, the
    /// old receiver is not called any more. Records that come while no
    /// receiver is set are freed.
    void SetNotifyReceiver(const NotifyReceiver& receiver);

    /// Sets the error callback on the agent and on its channel. Blocks while a
    /// dispatch of either runs.
    void SetErrorCallback(const Universal::ErrorCallback& callback) override;
    /// As above, for a callback given as a function.
    void SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback) override;

    /// Waits up to the list wait (3000 ms by default) until an image-list
    /// reply finished since the last whole list began (at once when one did),
    /// then calls `callback` with the list under its lock, also when the wait
    /// ran out. Answers whether the list is complete: false when the last
    /// whole list failed, was refused, or had not ended within the wait (the
    /// list handed over is then what arrived). Sends nothing: the send thread
    /// asks for the list after every open of the channel. Raises what the
    /// callback raises (a standard exception as StdExceptionError). Blocks.
    bool WaitForImageList(const ImageListCallback& callback);

    // Requests: each answers true when its message was queued (or held in its
    // gate), false when the send thread does not run (nothing is built) or,
    // for a preview or tile, when the buffer kind is neither 1 nor 2. A
    // standard exception on the way is raised as StdExceptionError, except
    // from RateImage and DeleteImage. Raise ModuleError 0x15E001D when the
    // channel's version is below 1.0.

    /// BasicImageInfo for the image; the answer is kind 8.
    bool RequestBasicImageInfo(std::uint32_t imageId);
    /// GetCapabilities; the answer is kind 9.
    bool RequestCapabilities();
    /// GetMetadata of the items 0x4746 and 0x9000 (the pair six times); the
    /// answers are kind 5, one per reply; replies that leave items pending are
    /// followed by GetMetadata for those. False also while an earlier metadata
    /// request is pending.
    bool RequestMetadata(std::uint32_t imageId);
    /// GetImageBuffer of kind 1; the answer is kind 6.
    bool RequestPreview(const ImageBufferRequestInfo& info);
    /// GetImageBuffer of kind 2; the answer is kind 7.
    bool RequestTile(const ImageBufferRequestInfo& info);
    /// EditImageMetadata rating the image; the camera pushes the change (kind 4).
    bool RateImage(std::uint32_t imageId, std::uint32_t rating);
    /// EditImageMetadata deleting the image; the camera pushes the removal (kind 2).
    bool DeleteImage(std::uint32_t imageId);
    /// SetSubscription; the answer is kind 10.
    bool SetSubscriptions(std::uint32_t flags, std::uint32_t options, std::uint8_t optionByte);

private:
    class RequestGate;
    class NotifyQueue;

    // Thread bodies.
    void NotifyThread(Platform::Thread_Posix& thread, void* parameter);
    void SendThread(Platform::Thread_Posix& thread, void* parameter);
    void RecvThread(Platform::Thread_Posix& thread, void* parameter);
    void SendLoop(Platform::Thread_Posix& thread);
    void StopThread(Platform::Thread_Posix& thread);

    // The channel's open/closed bookkeeping.
    void CloseStep(bool final);
    bool OpenStep(Platform::BaseEventCondition& stop);

    // Dispatch of one received message whose common header was read; false
    // when the channel must be opened again.
    bool DispatchMessage(const CommonMessageHeader& header, MessageSource& source);
    bool HandleCommonError(const CommonMessageHeader& header, MessageSource& source);
    bool HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source);

    // Requests.
    [[nodiscard]] bool IsSending() const;
    [[nodiscard]] ProtocolVersion RequestVersion() const;
    bool QueueImageBufferRequest(const ImageBufferRequestInfo& info, std::uint32_t bufferKind);
    bool QueueEdit(std::uint32_t imageId, std::uint32_t editKind, std::uint32_t value);

    // ReplyAssembly::Owner.
    void PostRecord(ImageEnumNotify kind, RecordPtr record) override;
    void ReleaseGate(std::uint8_t replyType) override;
    bool IsAwaited(std::uint8_t replyType) override;
    bool SendGetMetadata(std::uint32_t imageId, std::span<const std::uint32_t> itemIds) override;

    const ImageEnumerationTimings m_timings;

    Platform::Mutex_Posix m_receiverLock; // guards m_receiver; held while it is called
    NotifyReceiver m_receiver;            // empty until SetNotifyReceiver

    Platform::Thread_Posix m_notifyThread{L"KPX ch3 ntfy"};
    Platform::Thread_Posix m_sendThread{L"KPX ch3 send"};
    Platform::Thread_Posix m_recvThread{L"KPX ch3 recv"};

    // The channel's state between the send and receive threads (no lock):
    Platform::EventCondition_Posix m_channelOpen;   // set while the channel is open
    Platform::EventCondition_Posix m_channelClosed; // set while closed; aborts reads and the send loop
    Platform::EventCondition_Posix m_openRequest;   // the receive thread wants the channel open

    SendMessageQueue m_sendQueue;
    std::unique_ptr<RequestGate> m_basicInfoGate;   // BasicImageInfo requests
    std::unique_ptr<RequestGate> m_imageBufferGate; // GetImageBuffer requests
    std::unique_ptr<NotifyQueue> m_notifyQueue;
    ImageEnumeration::ReplyAssembly m_assembly; // receive thread, but for its thread-safe members
};

} // namespace Q7::KPX
