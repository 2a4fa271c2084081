// The data-transfer state machine of channel 1.0 and the handlers of every
// message a camera sends on that channel.
//
// One transfer runs at a time, in one direction: the host sends (files,
// firmware) or receives (the camera's logs). Two variables describe it: the
// transfer direction (the "transfer state": disabled, receiving, sending) and
// the data state of the transfer (idle, begin, transfer, end, abort). The
// handlers run on the agent's receive thread and read the camera's bytes
// through a MessageSource, so a fuzz target drives them from a buffer; the
// operations on the caller's thread move the machine through the steps named
// below and wait on the data-state event. Messages the machine answers with go
// out through ProgrammingReplies (the agent's send queue).
#pragma once

#include "Agents/Common/KPXDataTransferRouting.h"
#include "Channel/KPXMessageReader.h"
#include "Q7PlatformSync_Posix.h"
#include "Wire/KPXDataTransfer.h"
#include "Wire/KPXMessage.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Q7::KPX
{

/// The transfer direction ("transfer state").
enum TransferState : std::uint32_t
{
    kTransferState_Disabled = 0,
    kTransferState_Receiving = 1,
    kTransferState_Sending = 2,
};

/// The data state of the one transfer in progress, in either direction.
enum DataState : std::uint32_t
{
    kDataState_Idle = 0,
    kDataState_Begin = 1,
    kDataState_Transfer = 2,
    kDataState_End = 3,
    kDataState_Abort = 4,
};

/// "disabled", "receiving", "sending"; "unknown" for any other value. Reentrant.
const wchar_t* GetTransferStateName(std::uint32_t state) noexcept;
/// "idle", "begin", "transfer", "end", "abort"; "unknown" for any other value.
/// Reentrant.
const wchar_t* GetDataStateName(std::uint32_t state) noexcept;

/// The moves of the data state, the same in both directions: to idle from
/// every other state (the end acknowledged, a DataAbort, a reset); idle to
/// begin (a send starts, a DataBegin is accepted); idle to abort (a DataBegin
/// whose size does not fit 32 bits); begin to transfer (the begin
/// acknowledged); transfer to end (all blocks queued, or a DataEnd with the
/// right size); begin, transfer and end to abort (a failure). A state to
/// itself is no move. Reentrant.
bool IsValidDataStateTransition(std::uint32_t from, std::uint32_t to) noexcept;

/// The DataError ids that channel 1.0 sends (class 2 in the high byte).
enum ProgrammingDataError : std::uint32_t
{
    kDataError_WrongState = 0x02000002,      ///< wrong direction or data state
    kDataError_UnknownDataId = 0x02000003,   ///< another transfer's id
    kDataError_BlockBeyondSize = 0x02000004, ///< a block ends beyond the announced size
    kDataError_SeekBeyondSize = 0x02000005,  ///< a seek beyond the announced size
    kDataError_EndSizeMismatch = 0x02000006, ///< DataEnd's total differs from the bytes received
};

/// The CommonError id answering a message this side does not know.
inline constexpr std::uint32_t kCommonError_UnknownMessage = 0x01000001;
/// The current data id when no transfer runs.
inline constexpr std::uint32_t kNoDataId = 0xFFFFFFFF;
/// A DataBegin time-out that sets no limit.
inline constexpr std::uint32_t kNoTransferTimeout = 0xFFFFFFFF;

/// The messages the state machine sends. The agent implements them by queueing
/// the message on its send queue (nothing when its send thread does not run);
/// none waits for the wire. Called with the machine's data lock held: an
/// implementation must not wait for a thread that handles messages.
class ProgrammingReplies
{
public:
    virtual ~ProgrammingReplies();

    virtual void SendDataBeginAck(std::uint32_t dataId) = 0;
    virtual void SendDataEnd(std::uint32_t dataId, std::uint64_t totalSize) = 0;
    virtual void SendDataEndAck(std::uint32_t dataId) = 0;
    virtual void SendDataAbort(std::uint32_t dataId) = 0;
    /// A DataError without a text answering `received` (its class and type).
    virtual void SendDataError(std::uint32_t dataId, std::uint32_t errorId,
                               const CommonMessageHeader& received) = 0;
    virtual void SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received) = 0;
    /// The channel's negotiated message protocol version, by which received
    /// fixed parts are sized.
    virtual ProtocolVersion GetMessageVersion() const = 0;
};

/// The bytes of a download. Shared between the receive record, the handler
/// that reads a block into it and the download that owns it, so that a
/// download that gives up while a block is being read never frees memory that
/// the read still writes into.
using TransferBuffer = std::shared_ptr<std::vector<std::uint8_t>>;

/// Where a download stands (for tests and fuzz checks).
struct ReceiveProgress
{
    std::uint32_t maxSize = 0;           ///< the size announced by the DataBegin (low 32 bits)
    std::uint64_t writePosition = 0;     ///< where the next block goes
    std::uint64_t receivedSize = 0;      ///< the highest position a stored block reached
    std::string name;                    ///< the DataBegin's name, without its zero
    std::size_t destinationSize = 0;     ///< bytes of the destination; 0 without one
    std::size_t destinationCapacity = 0; ///< bytes the destination holds room for
    bool hasDestination = false;
};

/// The state machine with its handlers. Thread-safe: the data lock (recursive)
/// guards every field; HandleMessage runs on one receive thread at a time.
class ProgrammingTransfer
{
public:
    /// `replies` must outlive the machine.
    explicit ProgrammingTransfer(ProgrammingReplies& replies);
    ~ProgrammingTransfer();

    ProgrammingTransfer(const ProgrammingTransfer&) = delete;
    ProgrammingTransfer& operator=(const ProgrammingTransfer&) = delete;

    // --- The receive thread.

    /// Handles one message whose common header was read (and checked: header
    /// size at least 16, total size at least the header size); `source` holds
    /// the rest of the message and everything after it. Reads the whole
    /// message, answers protocol errors on the wire (DataError, DataAbort,
    /// CommonError 0x01000001, each with its "KPX ch1 ..." error line) and moves
    /// the state. A block of a download is read straight into the destination
    /// at the write position, without the data lock held. Answers true when the
    /// message was consumed, false when a read from the source failed, and
    /// false after a CommonError from the camera (read and logged whole: the
    /// agent then closes and reopens the channel). Raises ModuleError 0x650003
    /// (logged) when a length inside the message exceeds it: "KPX ch1 data
    /// begin message." (detailStringSize), "KPX ch1 data block message."
    /// (blockSize), "KPX ch1 data error message." and "KPX ch1 common error
    /// message." (errorStringSize). Blocks on the source. Thread-bound to the
    /// receive thread.
    bool HandleMessage(const CommonMessageHeader& header, MessageSource& source);

    // --- State. Thread-safe.

    /// With `resetEvent`, first resets the data-state event; then answers the
    /// data state. Waiters reset, read, then wait, so no change is lost.
    std::uint32_t GetDataState(bool resetEvent);
    std::uint32_t GetTransferState() const;
    std::uint32_t GetCurrentDataId() const;
    /// Set at every change of the data state; manual reset.
    Platform::EventCondition_Posix& GetDataStateChangeEvent() noexcept { return m_dataStateChange; }

    /// The one place the data state changes: a move IsValidDataStateTransition
    /// refuses is reported as an internal error and leaves the state (false).
    /// A change posts "KPX ch1 data state %ls -> %ls" and sets the event.
    bool SetDataState(std::uint32_t state);
    /// Posts "KPX ch1 transfer state %ls -> %ls" when the direction changes.
    void SetTransferState(std::uint32_t state);
    /// Forgets the transfer: no current id, sizes and name cleared, no
    /// destination (the buffer stays with its owners), no time-out, start tick
    /// now, and no acknowledged end.
    void ResetReceiveRecord();
    /// Direction disabled, data state idle, record reset.
    void Reset();
    /// When a transfer runs (data state neither idle nor abort): data state
    /// abort and a DataAbort with the current id. Otherwise nothing.
    void AbortTransfer();

    // --- Steps of a send (the agent's SendData).

    /// Starts a send: raises ModuleError 0x650066 "Another data transfer is
    /// active." (logged) when the direction is not disabled; otherwise resets,
    /// takes the next data id (1 first, wrapping at 32 bits), sets the
    /// direction sending and the data state begin. Answers the id.
    std::uint32_t BeginSending();
    /// All blocks are queued: when the data state is transfer, moves it to end
    /// and sends the DataEnd of `totalSize` (true); otherwise false.
    bool EndSending(std::uint64_t totalSize);
    /// True when a DataEndAck of the current send moved the data state from
    /// end to idle, and nothing reset the machine since.
    bool IsSendAcknowledged() const;

    // --- Steps of a download (the agent's DownloadLog).

    /// Starts a download: raises ModuleError 0x650066 "Another data transfer
    /// is active." (logged) when the direction is not disabled; otherwise
    /// resets and sets the direction receiving.
    void BeginReceiving();
    /// Checks the camera's DataBegin (data state no longer idle): the state is
    /// begin (else the internal error 0x6500CC "Data state !=
    /// DataStateBegin.", site "Did not download log") and the id is
    /// `expectedDataId` (else ModuleError 0x6500CC "Unexpected data id in data
    /// begin message.", logged); an announced size above `largestSize` raises
    /// ModuleError 0x650067 "Device log file is too large." (logged). Answers
    /// the announced size, for the caller to prepare the destination outside
    /// the data lock.
    std::uint32_t CheckReceiveBegin(std::uint32_t expectedDataId, std::uint32_t largestSize);
    /// Accepts the begin checked by CheckReceiveBegin: when the state is still
    /// begin with `expectedDataId` (else the internal error "Data state !=
    /// DataStateBegin." as above), `destination` becomes where blocks land
    /// (none for an announced size of 0), then the data state transfer and a
    /// DataBeginAck. The destination's bytes are used as they are: it grows
    /// (value-initialised) to cover each block as it arrives, up to the
    /// announced size, and bytes between the highest position reached and a
    /// block further on are cleared, so that what FinishReceive answers reads
    /// as if the destination had been zero-filled to the announced size.
    void AcceptReceiveBegin(std::uint32_t expectedDataId, const TransferBuffer& destination);
    /// Milliseconds left of the DataBegin's time-out, counted from its
    /// acceptance (never below 0); Platform::kInfinite without a time-out.
    std::uint32_t GetReceiveTimeLeft() const;
    /// Ends a download whose data state is end (else the internal error
    /// 0x6500CC "Data state != DATA_STATE_END.", site "Did not download log"):
    /// the destination is dropped from the record, the buffer cut to the bytes
    /// received (its capacity released when more than half of it and over
    /// 1 MiB lies beyond them), the DataEndAck sent and the machine reset.
    /// Answers the bytes (moved out of `buffer`).
    std::vector<std::uint8_t> FinishReceive(const TransferBuffer& buffer);
    ReceiveProgress GetReceiveProgress() const;

    // --- The camera's GetLogAck.

    /// Set when a GetLogAck arrives; manual reset.
    Platform::EventCondition_Posix& GetLogEvent() noexcept { return m_logEvent; }
    /// Resets the log event and drops a stored GetLogAck (a late answer to an
    /// earlier request).
    void ClearLogAck();
    /// The stored GetLogAck, taken out of the machine; none when none arrived.
    std::optional<GetLogAckMessage> TakeLogAck();

private:
    struct ReceiveRecord
    {
        std::uint32_t maxSize = 0;
        // Kept in 64 bits, so that a position plus a block size never wraps.
        std::uint64_t writePosition = 0;
        std::uint64_t receivedSize = 0;
        std::string name;
        std::uint32_t timeoutMs = kNoTransferTimeout;
        std::uint64_t startTick = 0;
        TransferBuffer destination; // a download's buffer; null without one
    };

    template <DataAcks acks, typename Receiver>
    friend std::optional<bool> RouteDataTransferMessage(Receiver& receiver, const CommonMessageHeader& header,
                                                        MessageSource& source);
    bool HandleDataBegin(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataBeginAck(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataBlock(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataSeek(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataEnd(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataEndAck(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataAbort(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDataError(const CommonMessageHeader& header, MessageSource& source);
    bool HandleCommonError(const CommonMessageHeader& header, MessageSource& source);
    bool HandleGetLogAck(const CommonMessageHeader& header, MessageSource& source);
    bool HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source);

    // Reads a fixed part and everything behind it up to the message's end.
    template <typename Message>
    bool ReadWhole(MessageSource& source, const CommonMessageHeader& header, Message& message);

    // The refusals shared by the handlers (data lock held). Each posts "KPX
    // ch1 <what> msg ..." and answers on the wire.
    void RefuseDirection(const wchar_t* what, const wchar_t* direction, std::uint32_t dataId,
                         const CommonMessageHeader& header);
    bool RefuseUnknownId(const wchar_t* what, std::uint32_t dataId, const CommonMessageHeader& header);
    void RefuseWrongState(const wchar_t* what, std::uint32_t dataId, const CommonMessageHeader& header);

    ProgrammingReplies& m_replies;

    mutable Platform::Mutex_Posix m_dataLock; // guards every field below up to m_dataIdCounter
    std::uint32_t m_transferState = kTransferState_Disabled;
    std::uint32_t m_dataState = kDataState_Idle;
    std::uint32_t m_currentDataId = kNoDataId;
    ReceiveRecord m_record;
    bool m_sendAcknowledged = false; // a DataEndAck moved the current send from end to idle
    std::uint32_t m_dataIdCounter = 0;
    Platform::EventCondition_Posix m_dataStateChange;

    Platform::Mutex_Posix m_logLock; // guards m_logAck
    std::optional<GetLogAckMessage> m_logAck;
    Platform::EventCondition_Posix m_logEvent;
};

} // namespace Q7::KPX
