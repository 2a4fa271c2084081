// The receive side of channel 4: the data-transfer state machine through
// which a camera hands over each captured image, the camera's transfer status
// and its answers to image requests.
//
// An image comes as one data transfer: DataBegin from the camera; DataBeginAck
// once the control thread holds a pool buffer large enough for it (blocks that
// come before are refused); DataBlocks, read straight into that buffer at the
// write position, optionally moved by DataSeek; DataEnd; DataEndAck once the
// image is queued for delivery. DataAbort from either side ends it early.
//
// The machine has no threads and does no channel I/O of its own: the agent's
// receive threads hand it each message (HandleMessage, reading the rest of
// the message from a MessageSource, so a fuzz target drives it from memory),
// its control thread runs ServeTransfers (or the steps AttachBuffer and
// CompleteTransfer), its delivery thread the progress steps. What it answers
// goes out through ImageTransferReplies.
//
// Progress: each transfer of an enabled camera has a task (type 1, "Image
// transfer", described by the file name) on the transfer provider. Only the
// delivery thread writes a task once it is published, and tasks are deleted
// there too (quietly, without a notification, when a transfer ends otherwise
// than completed), so the progress callback runs on the delivery thread and
// never under the machine's locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Agents/Common/KPXDataTransferRouting.h"
#include "Agents/ImageTransfer/KPXImageReceive.h"
#include "Channel/KPXMessageReader.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalProgress.h"
#include "Transport/BufferPool.h"
#include "Wire/KPXDataTransfer.h"
#include "Wire/KPXMessage.h"

namespace Q7::KPX
{

/// The camera's transfer status as the image-transfer agent reports it.
struct TransferStatus
{
    std::uint32_t enabled = 0;      ///< 1 when the camera's last status reported transfer enabled
    std::uint32_t storageSize = 0;  ///< megabytes, as the camera last reported
    std::uint32_t pendingCount = 0; ///< the camera's pending images plus those not yet handed on here

    friend bool operator==(const TransferStatus&, const TransferStatus&) = default;
};

/// The messages the machine sends, and the versions by which it reads. The
/// agent queues each message on its send queue (nothing while its send thread
/// does not run); none waits for the wire. Called with the machine's locks
/// held: an implementation must not wait for a thread that uses the machine.
class ImageTransferReplies
{
public:
    virtual ~ImageTransferReplies();

    /// A transfer failed on this side (refused for its size or for want of
    /// memory, or aborted because the camera went quiet): the agent passes
    /// the error to its owner (its error dispatcher). Called without the
    /// machine's locks, on the receive or control thread.
    virtual void ReportTransferError(const Universal::UniversalError& error) = 0;

    virtual void SendDataBeginAck(std::uint32_t dataId) = 0;
    virtual void SendDataEndAck(std::uint32_t dataId) = 0;
    virtual void SendDataAbort(std::uint32_t dataId) = 0;
    /// A DataError without a text answering `received` (its class and type).
    virtual void SendDataError(std::uint32_t dataId, std::uint32_t errorId,
                               const CommonMessageHeader& received) = 0;
    virtual void SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received) = 0;
    /// The negotiated version of sub-channel 1: class 0x68, the common
    /// messages and DataError are read by it.
    virtual ProtocolVersion GetFirstVersion() const = 0;
    /// The negotiated version of sub-channel 2: the other class-2 messages.
    virtual ProtocolVersion GetSecondVersion() const = 0;
};

/// Where the current transfer stands (for tests and fuzz checks).
struct ImageTransferRecordView
{
    std::uint32_t state = 0;
    std::uint32_t dataId = 0;
    std::uint32_t maxSize = 0;
    std::uint32_t position = 0;
    std::uint32_t receivedSize = 0;
    std::uint32_t bufferSize = 0; ///< 0 without a buffer
    std::string fileName;
    bool hasTask = false;
    std::uint32_t blocksInFlight = 0; ///< blocks being read into the buffer
    bool endPending = false;          ///< a DataEnd waits for blocks still to come
};

/// The machine's limits in time. The defaults are the protocol's; tests
/// shorten them.
struct ImageTransferMachineTimings
{
    /// A transfer (acknowledged, not yet ended) that gets no message of its
    /// own, nor a byte of a block, for this long is aborted: DataAbort, its
    /// buffer and task freed, the error reported.
    std::uint32_t inactivityMs = 10000;
    /// A DataEnd that comes before the last of its blocks (the camera may
    /// send them on the other sub-channel) waits this long after the
    /// transfer's last message for them; then its size is refused (DataError
    /// 0x2000006).
    std::uint32_t endWaitMs = 2000;
};

/// The channel a machine serves. Live-view frames (channel 5) come through
/// the same machine with these differences: log lines read "KPX ch5", no
/// progress tasks, a buffer of the announced size (no headroom), a camera's
/// DataAbort leaves state abort, a refused DataBegin or a message for an
/// unknown data id also aborts the running transfer, an unknown message gets
/// no CommonError, and class 0x68 is unknown (class 0x69 is the agent's).
enum class ImageTransferVariant
{
    kImageTransfer, ///< channel 4
    kLiveView,      ///< channel 5
};

/// The machine. Thread-safe as described per member.
class ImageTransferMachine
{
public:
    /// The progress task type of an image transfer.
    static constexpr std::uint32_t kTaskType = 1;
    /// The smallest buffer asked of the pool: 100 MiB.
    static constexpr std::uint64_t kMinBufferRequest = 0x6400000;
    /// The first estimate of a transfer's remainder (progress totals).
    static constexpr std::uint32_t kInitialRemainderEstimate = 0x170EBE;
    /// Blocks are read in pieces of at most this size; each piece advances progress.
    static constexpr std::uint32_t kPieceSize = 0x100000;
    /// The largest pool buffer a transfer may take by default: an image 1 GiB,
    /// a live-view frame 64 MiB (no camera sends more; a claim above is refused).
    static constexpr std::uint64_t kDefaultImageBufferLimit = 0x40000000;
    static constexpr std::uint64_t kDefaultLiveViewBufferLimit = 0x4000000;

    /// `replies`, `pool`, `queue` and `taskOwner` (the provider on which tasks
    /// are made before they move to the transfer provider) must outlive the
    /// machine.
    ImageTransferMachine(ImageTransferReplies& replies, BufferPool& pool, ImageDeliveryQueue& queue,
                         Universal::ProgressProvider& taskOwner,
                         ImageTransferVariant variant = ImageTransferVariant::kImageTransfer,
                         const ImageTransferMachineTimings& timings = {});
    /// Deletes the tasks it still holds, without notifications.
    ~ImageTransferMachine();

    ImageTransferMachine(const ImageTransferMachine&) = delete;
    ImageTransferMachine& operator=(const ImageTransferMachine&) = delete;

    // ---- receive threads

    /// Handles one message whose common header was read and checked (header
    /// size at least 16, total size at least the header size); `source` holds
    /// the rest of the message and what follows. Reads exactly the message,
    /// answers the camera as the state requires (DataBeginAck and DataEndAck
    /// come from the control thread) and logs each refusal ("KPX ch4 ..."). A
    /// block is read straight into the transfer's pool buffer, without the
    /// machine's locks held; its place is taken when its header is read, so a
    /// block behind it (on either sub-channel) goes after it, and it counts as
    /// in flight until its bytes are in: a DataEnd is judged, and the image
    /// handed over, only once no block is in flight. A DataEnd announcing more
    /// than has arrived waits for the rest (see ImageTransferMachineTimings).
    /// A DataBegin whose buffer would pass the buffer limit is refused like
    /// one beyond 32 bits, and the error reported. Answers false only when a
    /// read from the source
    /// failed. Raises ModuleError 0x650003 (logged) when a length inside the
    /// message exceeds it: "KPX ch4 data begin message." (detailStringSize),
    /// "KPX ch4 data block message." (blockSize), "KPX ch4 data error message."
    /// and "KPX ch4 common error message." (errorStringSize). Thread-safe: the
    /// two receive threads call it at once.
    bool HandleMessage(const CommonMessageHeader& header, MessageSource& source);

    // ---- the control thread

    /// Serves transfers until one of `stopObjects` is signalled: waits for a
    /// begin, attaches a buffer (AttachBuffer, waiting on the pool while both
    /// buffers are held elsewhere), waits while the transfer runs (ending it
    /// when it goes quiet, CheckDeadlines) and queues a finished image
    /// (CompleteTransfer). Blocks. Thread-bound to the control thread.
    void ServeTransfers(const WaitObjectList& stopObjects);

    /// In state begin: asks the pool for ⌊1.5 x the announced size⌋ bytes, at
    /// least 100 MiB (a live-view frame: its size), at most the buffer limit
    /// (waiting while no buffer is free, until one of `abortObjects` is
    /// signalled), and attaches the buffer only when the state is still begin,
    /// the data id unchanged and the buffer holds the announced size (else it
    /// goes back to the pool): then state transfer and a DataBeginAck. When
    /// the memory cannot be had the transfer is aborted (DataAbort) and the
    /// error (ModuleError 0x6500C9) reported. Answers whether it attached.
    /// Blocks.
    bool AttachBuffer(const WaitObjectList& abortObjects);

    /// In state transfer: aborts a transfer that had no message for the
    /// inactivity limit (DataAbort, buffer and task freed, ModuleError
    /// 0x6500CF reported), and refuses a DataEnd whose blocks did not come
    /// within the end wait (DataError 0x2000006, DataAbort). Answers the
    /// milliseconds until the next check is due (kInfinite when none is).
    /// Thread-safe.
    std::uint32_t CheckDeadlines();

    /// In state end: counts the image as pending here, queues the DataEndAck
    /// and then the image for delivery (so that what the receiver sends goes
    /// out behind the acknowledgement), hands its task to the delivery thread
    /// as finished and returns to idle. Answers whether it did. Thread-safe.
    bool CompleteTransfer();

    // ---- state (thread-safe)

    /// With `clearEvent`, first clears the state-changed event; then answers
    /// the data state (DataState). Waiters clear, read, then wait.
    std::uint32_t GetDataState(bool clearEvent);
    /// Set at every change of the data state; manual reset.
    [[nodiscard]] Platform::EventCondition_Posix& GetStateChangedEvent() noexcept { return m_stateChanged; }
    /// Channels reset or reconnected: the camera's status fields 0 (the
    /// status-changed event set when one was not), state idle, record reset.
    /// Completions are allowed again.
    void ResetTransferStatus();
    /// The channels close: from now until ResetTransferStatus no transfer
    /// completes (CompleteTransfer answers false), so that no image is
    /// delivered whose DataEndAck the close would drop. Thread-safe.
    void HoldCompletions();
    [[nodiscard]] ImageTransferRecordView GetRecordView() const;
    /// The last completed transfer's time from DataBeginAck to DataEnd, in
    /// ms (0 before the first); the live-view automatic format adjusts it.
    [[nodiscard]] std::uint32_t GetTransferTimeMs() const noexcept { return m_transferTimeMs.load(); }
    void SetTransferTimeMs(std::uint32_t ms) noexcept { m_transferTimeMs.store(ms); }

    /// The largest pool buffer one transfer may take, in bytes (rounded down to
    /// the pool's step, at most the largest buffer the pool can make, at least
    /// one step). A DataBegin whose buffer would not fit is refused from then
    /// on; a transfer running keeps its buffer. Thread-safe.
    void SetBufferLimit(std::uint64_t bytes);
    [[nodiscard]] std::uint64_t GetBufferLimit() const noexcept { return m_bufferLimit.load(); }

    // ---- status block (thread-safe)

    /// Stores the host's wish and, under the same lock, calls `queue` (which
    /// queues EnableTransfer), so that wishes reach the camera in order.
    template <typename Queue>
    void SetTransferEnabledWish(bool enabled, Queue&& queue)
    {
        Platform::ScopedLock lock(m_statusLock);
        m_transferEnabled = enabled;
        queue();
    }
    /// As SetTransferEnabledWish, for the host storage size (megabytes).
    template <typename Queue>
    void SetHostStorageSizeWish(std::uint32_t megabytes, Queue&& queue)
    {
        Platform::ScopedLock lock(m_statusLock);
        m_hostStorageSize = megabytes;
        queue();
    }
    /// Calls `queue(transferEnabled, hostStorageSize)` under the status lock,
    /// then sets the wishes-told event.
    template <typename Queue>
    void WithWishes(Queue&& queue)
    {
        Platform::ScopedLock lock(m_statusLock);
        queue(m_transferEnabled, m_hostStorageSize);
        m_wishesTold.Set();
    }
    /// Set once WithWishes queued the wishes (after an open of the channels);
    /// manual reset. A switch made after it reaches the camera behind them,
    /// so the camera's answer to the switch is not taken from a status that
    /// answers the wishes of the open.
    [[nodiscard]] Platform::EventCondition_Posix& GetWishesToldEvent() noexcept { return m_wishesTold; }
    [[nodiscard]] bool IsTransferEnabledWish() const;
    [[nodiscard]] TransferStatus GetTransferStatus() const;
    [[nodiscard]] std::uint32_t GetCameraStorageSize() const;
    /// Set when a field of the camera's status or the local pending count
    /// changed; manual reset (the notify thread clears it).
    [[nodiscard]] Platform::EventCondition_Posix& GetStatusChangedEvent() noexcept { return m_statusChanged; }
    /// A queued image left the delivery queue (handed on or dropped): one
    /// fewer pending here.
    void CountDelivered();

    // ---- image-request replies (thread-safe)

    /// Drops the replies received so far.
    void ClearImageRequestReplies();
    /// Waits up to `waitMs` for a reply, then takes the oldest (whatever image
    /// it names) and answers whether it accepted the request; false on
    /// time-out or when none is left. Blocks.
    bool TakeImageRequestReply(std::uint32_t waitMs);

    // ---- progress: the delivery thread

    /// The provider that reports image-transfer progress to its callback.
    [[nodiscard]] Universal::ProgressProvider& GetTransferProvider() noexcept { return m_transferProvider; }
    /// Set when a task was made (begin), a block piece was read, or a task
    /// finished or was dropped (done); manual reset.
    [[nodiscard]] Platform::EventCondition_Posix& GetBeginEvent() noexcept { return m_beginEvent; }
    [[nodiscard]] Platform::EventCondition_Posix& GetBlockReadEvent() noexcept { return m_blockReadEvent; }
    [[nodiscard]] Platform::EventCondition_Posix& GetDoneEvent() noexcept { return m_doneEvent; }
    /// Clears the begin event and starts the current task (notifying).
    void ServeBegin();
    /// Clears the block-read event and advances the current task by the last
    /// piece, notifying when it moved by 1/100 of its total.
    void ServeBlockRead();
    /// Clears the done event, stops the finished task as completed (notifying)
    /// and deletes it, and deletes dropped tasks without a notification.
    void ServeDone();
    /// Deletes dropped tasks without a notification. Only while no delivery
    /// thread runs.
    void DropRetiredTasks();

private:
    // The current transfer: what was announced, where its bytes go and how
    // far they came, its task and timings. Guarded by m_dataLock.
    struct TransferRecord
    {
        std::uint32_t dataId;
        std::uint32_t maxSize = 0;
        std::uint32_t position = 0;
        std::uint32_t receivedSize = 0;
        BufferPtr buffer;
        std::string fileName;
        std::shared_ptr<Universal::ProgressTask> task; // published: written by the delivery thread only
        std::uint64_t progressTotal = 0;               // the total the task is to have
        std::uint64_t startTime = 0;
        std::uint64_t rawStartTime = 0;
        std::uint64_t rawEndTime = 0;
        std::uint64_t endTime = 0;
        bool rawTiming = false;
        std::uint32_t blocksInFlight = 0; // claimed, their bytes not all read yet
        std::uint64_t lastActivity = 0;   // ms tick of the transfer's last message or block piece
        bool endPending = false;          // a DataEnd waits for blocks
        std::uint64_t endSize = 0;        // its size
        CommonMessageHeader endHeader{};  // its header (for a refusal)

        explicit TransferRecord(BufferPool& pool);
    };

    static constexpr std::uint32_t kNoAbort = 0xFFFFFFFF;

    // A transfer this side ends for its own reasons: the error to report
    // once the machine's lock is released, and then the DataAbort that tells
    // the camera (so that whoever sees the abort finds the error told).
    struct Report
    {
        std::optional<Universal::ModuleError> error;
        std::uint32_t abortId = kNoAbort;
    };
    void Tell(const Report& report);

    template <DataAcks acks, typename Receiver>
    friend std::optional<bool> RouteDataTransferMessage(Receiver& receiver, const CommonMessageHeader& header,
                                                        MessageSource& source);
    bool HandleDataBegin(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataEnd(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataAbort(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataBlock(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataSeek(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataError(const CommonMessageHeader& header, MessageSource& source);
    bool HandleCommonError(const CommonMessageHeader& header, MessageSource& source);
    bool HandleImageRequestReply(const CommonMessageHeader& header, MessageSource& source);
    bool HandleStatus(const CommonMessageHeader& header, MessageSource& source);
    bool HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source);

    // Reads a fixed part and everything behind it up to the message's end.
    template <typename Message>
    bool ReadWhole(MessageSource& source, const CommonMessageHeader& header, Message& message);

    // Data lock held.
    Report BeginTransfer(const CommonMessageHeader& header, const DataBeginMessage& message,
                         std::string name);
    void SetDataState(std::uint32_t state);
    void AbortTransfer();
    // Ends a pending DataEnd once no block is in flight: state end when the
    // sizes agree, a refusal when more arrived or `expired`.
    void JudgeEnd(bool expired);
    void ResetRecord();
    void RetireTask(std::shared_ptr<Universal::ProgressTask>& task);
    bool RefuseUnknownId(const wchar_t* what, std::uint32_t dataId, const CommonMessageHeader& header);
    void RefuseWrongState(const wchar_t* what, std::uint32_t dataId, const CommonMessageHeader& header);
    // The pool size asked for a transfer announcing `maxSize`; 0 when its
    // buffer would pass the buffer limit.
    std::uint64_t BufferRequest(std::uint64_t maxSize) const;

    // The prefix and `suffix`, for the contexts of raised errors.
    Universal::UniversalString Text(const wchar_t* suffix) const;
    [[nodiscard]] bool IsLiveView() const noexcept { return m_variant == ImageTransferVariant::kLiveView; }

    const ImageTransferVariant m_variant;
    const wchar_t* const m_prefix; // "KPX ch4" or "KPX ch5"
    const ImageTransferMachineTimings m_timings;
    std::atomic<std::uint32_t> m_transferTimeMs{0};
    std::atomic<std::uint64_t> m_bufferLimit;
    ImageTransferReplies& m_replies;
    BufferPool& m_pool;
    ImageDeliveryQueue& m_queue;
    Universal::ProgressProvider& m_taskOwner;
    Universal::ProgressProvider m_transferProvider;

    // Lock order: data lock, then status lock.
    mutable Platform::Mutex_Posix m_dataLock; // guards the fields below up to m_retired
    std::uint32_t m_state;
    bool m_completionsHeld = false; // see HoldCompletions
    TransferRecord m_record;
    std::uint64_t m_transferSerial = 0; // changes whenever the record is reset or taken anew
    std::vector<std::shared_ptr<Universal::ProgressTask>>
        m_finishedTasks; // delivery thread stops them, in order
    std::uint32_t m_remainderEstimate = kInitialRemainderEstimate;
    std::uint32_t m_lastPieceLength = 0;
    std::vector<std::shared_ptr<Universal::ProgressTask>> m_retired; // dropped tasks for the delivery thread
    Platform::EventCondition_Posix m_stateChanged;
    Platform::EventCondition_Posix m_beginEvent;
    Platform::EventCondition_Posix m_blockReadEvent;
    Platform::EventCondition_Posix m_doneEvent;

    mutable Platform::Mutex_Posix m_statusLock; // guards the status fields below
    bool m_transferEnabled = false;             // the host's wish
    std::uint32_t m_hostStorageSize = 0;        // the host's wish, megabytes
    std::uint32_t m_localPendingCount = 0;      // queued here, not yet handed on
    bool m_cameraTransferEnabled = false;       // the camera's last status
    std::uint32_t m_cameraStorageSize = 0;
    std::uint32_t m_cameraPendingCount = 0;
    Platform::EventCondition_Posix m_statusChanged;
    Platform::EventCondition_Posix m_wishesTold;

    Platform::Mutex_Posix m_replyLock;                                         // guards m_imageRequestReplies
    std::deque<std::pair<std::uint32_t, std::uint32_t>> m_imageRequestReplies; // {imageId, requestStatus}
    Platform::EventCondition_Posix m_replyEvent;
};

} // namespace Q7::KPX
