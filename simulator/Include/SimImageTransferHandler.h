// Channels 4.1 and 4.2 of the simulated camera, image transfer: the camera
// hands each captured (or requested) image to a host that enabled transfer.
//
// The host talks on 4.1: EnableTransfer, SetHostStorageSize and GetStatus are
// each answered with the camera's status {pending, storage MB, enabled};
// RequestImage is answered with the image-request reply (1 when the image is
// stored and transfer enabled), then the image is queued. The acknowledgements
// of the data transfers (DataBeginAck, DataEndAck) and the host's DataAbort
// and DataError come on 4.1 as well.
//
// One ImageTransferControl per camera, shared by the handlers of 4.1 and 4.2
// (over USB they sit on different connections: 4.2 has an endpoint of its
// own), sends from a thread of its own, since a handler runs on its
// connection's receive thread, which must keep reading acknowledgements.
// While transfer is enabled and both channels are open, each pending image
// goes out on 4.2 as DataBegin (a new data id, the size, a name such as
// "SIM_0001.JPG"), a wait without limit for the DataBeginAck, the blocks
// (1 MiB by default), DataEnd and a wait for the DataEndAck before the next;
// then one fewer is pending and the status says so. The image's bytes are
// written from one buffer, without a copy per block.
//
// An image the host aborts (DataAbort) is dropped; one whose channels close
// in the middle stays pending and goes out again after the next open. Spread
// over both sub-channels (SpreadOverBothSubChannels), each DataBegin and
// DataEnd goes on 4.1 or 4.2 by a seeded choice and an image's data on one of
// them (see SimDataSender.h).
//
// Faults (each used up by the next image, or the next EnableTransfer) test the
// host's answers: see ImageTransferFaultKind.
#pragma once

#include "SimDataSender.h"
#include "SimImageStore.h"
#include "SimMessageChannelHandler.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace Q7::Sim
{

// Message types of the image-transfer class (0x68) and their sizes.
inline constexpr std::uint8_t kItGetStatus = 0x01;
inline constexpr std::uint8_t kItEnableTransfer = 0x02;
inline constexpr std::uint8_t kItSetHostStorageSize = 0x03;
inline constexpr std::uint8_t kItRequestImage = 0x04;
inline constexpr std::uint8_t kItImageRequestReply = 0x05;
inline constexpr std::uint8_t kItStatus = 0x81;
inline constexpr std::size_t kItGetStatusSize = 16;
inline constexpr std::size_t kItRequestSize = 20; // EnableTransfer, SetHostStorageSize, RequestImage
inline constexpr std::size_t kItImageRequestReplySize = 32;
inline constexpr std::size_t kItStatusSize = 28;

// The transfer name of an image: "SIM_%04u.JPG" with its id.
std::string ImageTransferName(std::uint32_t imageId);

enum class ImageTransferFaultKind
{
    AbortMidImage,        // once `afterBytes` were sent, a DataAbort instead of the rest
    StallMidImage,        // once `afterBytes` were sent, half a block, then nothing until the channel closes
    ShortDataEnd,         // a DataEnd announcing one byte fewer than was sent
    DropMidBlock,         // once `afterBytes` were sent, half a block, then the connection drops
    HugeMaxDataSize,      // the DataBegin announces 2^32 bytes
    BlockBeyondMaxSize,   // once `afterBytes` were sent, a block ending one byte past the announced size
    BlockBeyondMessage,   // once `afterBytes` were sent, a block whose blockSize exceeds its message by one
    SeekBackAndResend,    // once `afterBytes` were sent, a DataSeek to 0 and every block again
    BlocksBeforeAck,      // the blocks and DataEnd right after the DataBegin, without waiting for its ack
    SecondBeginSameId,    // once `afterBytes` were sent, the DataBegin again with the same id
    SecondBeginOtherId,   // once `afterBytes` were sent, a DataBegin with another id; the image goes on
    AbortThenLargerBegin, // DataBegin, DataAbort, then a DataBegin of another id announcing `largerMaxSize`
                          // whose bytes go at `seekTo` (a DataSeek) once acknowledged; with `hold`, the
                          // camera waits after the first DataBegin until ReleaseHeldFault
    DataErrorMidImage,    // once `afterBytes` were sent, a DataError `errorId` for the transfer
    SilentEnable,         // the next EnableTransfer with `enable` is applied but not answered
    QuietMidImage,        // once `afterBytes` were sent, nothing more (the connection stays up) until the
                          // host aborts the transfer or a channel closes
    EndBesideLastBlock,   // the last block's header and first half on 4.2, the DataEnd on 4.1, then (once
                          // the host answered the transfer, then 300 ms more, or after 300 ms) the block's second half
    RewriteBesideEnd,     // after every block, a DataSeek to the start and a new first block (the file's
                          // first block with every byte inverted: RewrittenImage) on 4.2, its header and
                          // first half, then after 150 ms the DataEnd on 4.1, then (once the host answered
                          // the transfer, then 300 ms more, or after 300 ms) the block's second half
};

// The bytes a host should end up with for an image sent with the fault
// RewriteBesideEnd: the file with its first `blockSize` bytes inverted.
std::vector<std::uint8_t> RewrittenImage(std::vector<std::uint8_t> file, std::uint64_t blockSize);

struct ImageTransferFault
{
    ImageTransferFaultKind kind = ImageTransferFaultKind::AbortMidImage;
    std::uint64_t afterBytes = 0;
    std::uint32_t errorId = 0x02000001; // DataErrorMidImage
    std::uint64_t largerMaxSize = 0;    // AbortThenLargerBegin
    std::uint64_t seekTo = 0;           // AbortThenLargerBegin
    std::uint8_t enable = 1;            // SilentEnable
    bool hold = false;                  // AbortThenLargerBegin
    std::uint64_t maxDataSize = 0;      // HugeMaxDataSize: what the DataBegin announces (0: 2^32)
};

// One image the camera began to send.
struct SentImage
{
    std::uint32_t imageId = 0;
    std::uint32_t dataId = 0;
    std::string name;
    std::uint64_t size = 0;
    std::chrono::steady_clock::time_point begun; // when its DataBegin was queued
    bool completed = false;                      // its DataEndAck arrived
};

// What channels 4.1 and 4.2 did, over all opens.
struct ImageTransferCounters
{
    bool enabled = false; // the host's last EnableTransfer
    std::uint32_t hostStorageSize = 0;
    std::size_t pending = 0;        // images waiting to be sent (the one being sent included)
    std::size_t enableRequests = 0; // EnableTransfer received
    std::size_t statusRequests = 0; // GetStatus received
    std::size_t imageRequests = 0;  // RequestImage received
    std::size_t statusSent = 0;
    std::size_t imagesBegun = 0;     // DataBegin sent for an image
    std::size_t imagesCompleted = 0; // DataEndAck received
    std::size_t abortedByHost = 0;   // the host's DataAbort ended an image (dropped)
    std::size_t abortedByCamera = 0; // the camera's own DataAbort ended an image (dropped)
    std::size_t interrupted = 0;     // a channel closed in the middle of an image (kept pending)
    std::size_t faultsApplied = 0;
    std::size_t faultsHeld = 0;                // faults waiting for ReleaseHeldFault
    std::vector<std::uint32_t> hostDataErrors; // error ids of the host's DataErrors, in order
    std::uint64_t bytesSent = 0;               // image bytes written in blocks
};

class ImageTransferHandler;

// The image-transfer behaviour of one camera. Thread-safe.
class ImageTransferControl : private ImageStoreListener
{
public:
    // Sends the images captured in `store` and those requested from it.
    explicit ImageTransferControl(std::shared_ptr<ImageStore> store);
    // Stops the sender.
    ~ImageTransferControl() override;
    ImageTransferControl(const ImageTransferControl&) = delete;
    ImageTransferControl& operator=(const ImageTransferControl&) = delete;

    // Bytes per DataBlock (default 1 MiB; at least 1).
    void SetBlockSize(std::uint32_t bytes);
    void AddFault(ImageTransferFault fault);
    // Spreads each image over both sub-channels with choices seeded by `seed`
    // (none: everything on 4.2, the default).
    void SpreadOverBothSubChannels(std::optional<std::uint32_t> seed);

    ImageTransferCounters Counters() const;
    std::vector<SentImage> Sent() const;
    // Waits until `predicate` holds over the counters (it runs under the
    // control's lock and must not call the control); true when it does.
    bool WaitUntil(const std::function<bool(const ImageTransferCounters&)>& predicate,
                   std::chrono::milliseconds timeout) const;

    // Lets a fault that holds the sender go on.
    void ReleaseHeldFault();

    // Ends the sender thread; an image in flight stays pending. The next open
    // of 4.1 or 4.2 starts it again. Not from a handler.
    void Stop();

    // --- Used by the handlers (on their connections' receive threads), with
    // the host's messages on 4.1 checked and read.
    void Attach(ChannelContext& context);
    void Detach(ChannelContext& context);
    void OnGetStatus(ChannelContext& context);
    void OnEnableTransfer(ChannelContext& context, std::uint8_t enable);
    void OnSetHostStorageSize(ChannelContext& context, std::uint32_t megabytes);
    void OnRequestImage(ChannelContext& context, std::uint32_t imageId);
    // DataBeginAck, DataEndAck or DataAbort (`type`) of a transfer.
    void OnHostAnswer(ChannelContext& context, std::uint8_t type, std::uint32_t dataId);
    void OnHostDataError(ChannelContext& context, std::uint32_t errorId, std::uint32_t dataId);

private:
    struct Answer
    {
        std::uint8_t type = 0; // kDataBeginAck, kDataEndAck or kDataAbort
        std::uint32_t dataId = 0;
    };

    // Interrupted: a channel closed or the sender stopped, the image stays pending.
    using Outcome = DataSendOutcome;

    enum class Wait
    {
        BeginAck,
        EndAck,
        Abort, // only a DataAbort (or a close) ends the wait
    };

    struct Transfer; // the image in flight (sender thread)

    // ImageStoreListener (store lock held).
    void OnImagesAdded(const std::vector<SimImage>& images) override;
    void OnImageRemoved(const SimImage& image) override;
    void OnImageChanged(const SimImage& image) override;
    void OnImagesCaptured(const std::vector<SimImage>& images) override;

    void SenderLoop();
    bool ReadyToSend() const; // m_mutex held
    Outcome SendImage(std::unique_lock<std::mutex>& lock, const SimImage& image,
                      std::optional<ImageTransferFault> fault);
    bool SendMidImageFault(std::unique_lock<std::mutex>& lock, Transfer& transfer, std::uint64_t offset,
                           Outcome& outcome);
    // Waits for the host's answer to the transfer (sending due statuses
    // meanwhile): true when it came, false on a close or stop. A DataAbort for
    // it sets `aborted` and ends every wait.
    bool WaitForAnswer(std::unique_lock<std::mutex>& lock, const Transfer& transfer, Wait wait,
                       bool& aborted);
    bool TakeAbort(std::uint32_t dataId);        // m_mutex held
    bool HasAnswer(std::uint32_t dataId) const;  // m_mutex held
    void MarkCompleted(std::uint32_t dataId);    // m_mutex held
    // The DataEnd beside a block still on its way (the faults EndBesideLastBlock
    // and RewriteBesideEnd): the outcome once the host answered.
    Outcome SendEndBesideBlock(std::unique_lock<std::mutex>& lock, Transfer& transfer,
                               std::span<const std::uint8_t> block, std::chrono::milliseconds headStart);
    void SendDueStatus(std::unique_lock<std::mutex>& lock);
    std::vector<std::uint8_t> StatusMessage() const; // m_mutex held
    std::shared_ptr<std::vector<std::uint8_t>> FileBuffer(std::unique_lock<std::mutex>& lock,
                                                          const SimImage& image);

    void SendStatusNow(ChannelContext& context);

    const std::shared_ptr<ImageStore> m_store;

    mutable std::mutex m_mutex; // guards everything below
    mutable std::condition_variable m_changed;
    std::deque<SimImage> m_queue; // pending images, oldest first
    bool m_enabled = false;
    std::uint32_t m_hostStorageSize = 0;
    std::uint32_t m_blockSize = 1024 * 1024;
    std::deque<ImageTransferFault> m_faults;
    ImageTransferCounters m_counters;
    std::vector<SentImage> m_sent;
    std::set<std::uint32_t> m_begunIds; // data ids a DataBegin went out for
    std::set<std::uint32_t> m_endedIds; // data ids a DataEnd went out for
    std::uint32_t m_nextDataId = 1;
    std::deque<Answer> m_answers; // the host's answers not yet taken by the sender
    bool m_statusDue = false;     // the pending count changed since the last status
    bool m_releaseHeld = false;   // ReleaseHeldFault was called
    std::shared_ptr<std::vector<std::uint8_t>> m_fileBuffer; // reused while no packet holds it
    DataSender m_sender; // 4.1 (first) and 4.2 (second), and the thread that sends on them
};

// The handler of one open of 4.1 or 4.2.
class ImageTransferHandler : public MessageChannelHandler
{
public:
    explicit ImageTransferHandler(std::shared_ptr<ImageTransferControl> control);

    void OnOpen(ChannelContext& context) override;
    void OnClose(ChannelContext& context) override;

    // A factory for 4.1 and 4.2 whose handlers share `control`.
    static ChannelHandlerFactory Factory(std::shared_ptr<ImageTransferControl> control);

protected:
    bool OnMessage(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message) override;

private:
    std::shared_ptr<ImageTransferControl> m_control;
};

} // namespace Q7::Sim
