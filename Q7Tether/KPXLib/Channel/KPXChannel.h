// A KPX channel: one logical channel ch.sub of a camera over a channel
// transport, with its open/close handshake and the blocking Read and Write of
// its byte stream.
//
// The handshake runs as a state machine on the channel's state thread ("KPX
// channel %u.%u state thread"); the channel's packets arrive on its receive
// thread ("KPX channel %u.%u receive thread"), which passes them from the
// transport to the state thread, through kChannelReceiveBuffers buffers that
// the state thread posts again once it has handled their packet.
//
// Data packets of an Open channel take a shorter way: the transport's thread
// reads their payload from the pipe straight into the destination of the
// pending Read (piece by piece when a packet straddles two reads) and wakes the
// reader once its Read is complete. For a small Read it reads up to
// kChannelLookaheadBytes of the stream into the channel's lookahead instead,
// from which that Read and the next ones take their bytes; a packet that
// arrives while no Read waits goes into the lookahead too when it fits whole
// (no wake-up: the reader's next Reads find it there). When no Read is
// pending within kDirectDataWaitMs, the packet (or what is left of it) takes
// the state thread's way instead, which copies the payload from its buffer
// into the reads; so does Data behind a packet still queued for the state
// thread, and Data that arrives while the channel is not Open (or closes).
// A reader that does not read therefore holds kChannelReceiveBuffers packets
// before the pipe stalls (flow control), and the other channels of the pipe go
// on until then. Nothing is lost or reordered either way.
#pragma once

#include "Channel/KPXChannelTransport.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Transport/KPXTransport.h"
#include "Wire/KPXMessageProtocolInfo.h"
#include "Wire/KPXPacket.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace Q7::KPX
{

/// Reads of fewer bytes than this (a message read field by field) let the
/// transport's thread read up to this many bytes of the stream into the
/// channel instead of the Read's destination: the Reads that follow take them
/// from there without waiting for the transport's thread again.
inline constexpr std::uint32_t kChannelLookaheadBytes = 4096;

/// Packet buffers of a channel for the packets its state thread handles
/// (control packets, and Data that cannot go straight into a Read). The
/// transport fills them in turn while the state thread hands earlier packets
/// on.
inline constexpr std::uint32_t kChannelReceiveBuffers = 2;

/// The states of a channel.
enum ChannelState : std::uint32_t
{
    kChannelState_Offline = 0,      ///< initially; after Stop or a failed packet write
    kChannelState_Closed = 1,       ///< started, not open
    kChannelState_OpenSend = 2,     ///< OpenRequest written, waiting for the OpenReply
    kChannelState_OpenReceive = 3,  ///< never entered
    kChannelState_Open = 4,         ///< OpenReply accepted
    kChannelState_CloseSend = 5,    ///< CloseRequest written, waiting for the CloseReply
    kChannelState_CloseReceive = 6, ///< CloseRequest received, CloseReply to send
};

/// The text of a state used in log lines ("Offline", ...); "Unknown" for any
/// other value. Never null. Reentrant.
const wchar_t* GetChannelStateName(std::uint32_t state) noexcept;

/// True when the state machine may move from `from` to `to` (a move to the same
/// state is no move and is not valid here). Every state may go Offline (a packet
/// write failed); OpenReceive is never entered. Reentrant.
bool IsValidChannelStateTransition(std::uint32_t from, std::uint32_t to) noexcept;

/// The client identity of an authentication text: the SHA-256 digest of its
/// bytes up to the terminating zero; a null or empty text gives 32 zero bytes.
/// Reentrant.
ClientIdentity MakeClientIdentity(const char* authenticationText) noexcept;

/// Results of Read and Write (and the values Open returns).
enum ChannelResult : std::int32_t
{
    kChannelResult_Done = 0,
    kChannelResult_Aborted = 1, ///< one of the caller's abort objects fired
    kChannelResult_Timeout = 2, ///< the time-out ran out
    kChannelResult_NotOpen = 3, ///< the channel is not open
    kChannelResult_NotConnected =
        4, ///< the pipe is not connected (or the channel went Offline while opening)
};

/// The time limits of the handshake. The defaults are the protocol's; tests may
/// shorten them.
struct ChannelTimings
{
    std::uint32_t openReplyTimeoutMs = 1000;  ///< OpenSend: wait for the OpenReply
    std::uint32_t closeReplyTimeoutMs = 5000; ///< CloseSend: wait for the CloseReply
    std::uint32_t openBudgetMs = 10000;       ///< Open: all tries, before the "taking longer" warning
    std::uint32_t openRetryDelayMs = 100;     ///< Open: pause before a retry
    std::uint32_t closeWaitMs = 10000;        ///< Close: wait before the "taking longer" warning
};

/// One logical channel of a camera.
///
/// Life cycle: constructed (Offline, no thread) -> Start (threads run, Closed)
/// -> Open (OpenSend -> Open) -> Read/Write -> Close (CloseSend -> Closed) ->
/// Open again as often as wanted -> Stop (Offline, threads ended) -> destroyed.
/// A camera's CloseRequest leads through CloseReceive to Closed; a failed packet
/// write leads to Offline, left only by Stop and Start.
///
/// Threads: Open, Close, Start and Stop are serialised with each other
/// (thread-safe). Read and Write are thread-safe, but only one Read may be
/// pending per channel, and a channel's messages must come from one writer.
/// Errors met on the channel's own threads go to its error dispatcher (this
/// object's base) and are logged.
///
/// The transport must outlive the channel.
class Channel : public Q7::Universal::ErrorDispatcher,
                public KPXMessageProtocolInfo,
                private DirectDataReceiver
{
public:
    /// Builds the channel; allocates its receive buffers; starts nothing.
    Channel(std::uint8_t channel, std::uint8_t subChannel, ChannelTransport& transport,
            const ChannelTimings& timings = {});

    /// Stops the channel (see Stop).
    ~Channel() override;

    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    /// Registers the channel with its transport (time-out 1000 ms) and starts the
    /// receive thread, then the state thread, which moves the channel to Closed
    /// (both start before either is waited for). Nothing when already started.
    /// An error on the way stops the channel and passes on (what the thread
    /// start raises). Blocks until both threads are ready.
    void Start();

    /// Closes the channel, unregisters it (which ends its pending receive), and
    /// stops the receive thread, then the state thread, logging "Stopping %ls"
    /// and, after each 10-second wait that ends with the thread alive, "%ls taking
    /// an unexpectedly long time to stop.". Nothing when not started. Raises
    /// nothing. Blocks.
    void Stop();

    /// Opens the channel with the OpenRequest/OpenReply handshake, in up to three
    /// tries (a try that found no reply, or a camera that answered ErrorReply 3,
    /// is retried after 100 ms). Answers 0 when the channel is open (at once when
    /// it already is), 4 when the channel went Offline while opening.
    /// Raises (each after closing the channel):
    /// - ModuleError 0x650069 when not started (logged);
    /// - ModuleError 0x65006B when the transport's pipe is not open (logged);
    /// - ModuleError 0x15E000B..0x15E0010 when the camera refused with status
    ///   1..6 (0x15E000F: the camera's limit of open connections is reached;
    ///   0x15E0010: the authentication code is missing or incorrect);
    /// - ModuleError 0x15E0015..0x15E001C when the camera answered with ErrorReply
    ///   1..8 (0x15E0018: the camera does not offer this channel), and 0x15E001C
    ///   when this side refused the camera's OpenReply (ErrorReply 8 sent);
    /// - ModuleError 0x6500CA for a status or code outside those ranges;
    /// - ModuleError 0x6500CF "KPX channel %u.%u open timeout." when the last try
    ///   got no reply (logged);
    /// - the internal error 0x650069 "State thread not running." (logged).
    /// The refusals (0x15E.... and 0x6500CA) carry a context naming the channel
    /// and the camera's answer but are not logged: the caller decides.
    /// Blocks (about 10 s at most with the default timings, more only when the
    /// camera keeps time-outs disabled). Thread-safe.
    std::int32_t Open();

    /// Closes the channel: asks the state thread to send a CloseRequest when open
    /// and waits until the channel is Closed or Offline (10 s, then the warning
    /// "KPX channel %u.%u close taking longer than %u seconds." and on without
    /// limit). Raises ModuleError 0x650069 (logged) when not started, nothing of
    /// the handshake. Blocks. Thread-safe.
    void Close();

    /// Reads exactly size bytes of the channel's stream into destination, or
    /// fewer when the read ends early; the number read goes to *bytesRead (when
    /// given). abortObjects (may be null or empty; at most 61) end the read with
    /// 1; timeoutMs 0xFFFFFFFF waits without limit (and any time-out does while
    /// the pipe has time-outs disabled). Answers 0 done, 1 aborted, 2 time-out, 3
    /// not open, 4 pipe not connected. A read that ends early while bytes are on
    /// their way from the pipe into destination returns once they have landed
    /// (they count in *bytesRead): a TCP pipe, whose reads cannot be aborted,
    /// finishes the piece under way; a pipe that honours abort objects ends it
    /// at once. A piece that does not land within the transport's mid-packet
    /// stall limit after that (a camera stalled in the middle of a packet)
    /// makes the transport abandon the pipe as lost, which ends it
    /// (ChannelTransport::AbandonStalledPipe). The rest of a packet goes to the
    /// next Read. Bytes of
    /// destination beyond those read may have been overwritten (with zeros).
    /// Raises the internal errors 0x650001 for a null destination and 0x650067
    /// "Only one read may be active at a time for each channel.". Blocks.
    /// Thread-safe (one Read at a time).
    std::int32_t Read(void* destination, std::uint32_t size, const WaitObjectList* abortObjects,
                      std::uint32_t* bytesRead, std::uint32_t timeoutMs);

    /// Writes size bytes as Data packets of at most the maximum payload each,
    /// up to kMaxPacketsPerWrite packets in one pipe write; the number written
    /// goes to *bytesWritten (when given; the payload of whole packets the pipe
    /// took). Abort objects are checked before each pipe write; the time-out is
    /// checked after each pipe write.
    /// Answers 0 done, 1 aborted, 2 time-out, 3 not open, 4 pipe not connected,
    /// or another transport result. Raises the internal error 0x650001 for a null
    /// source. Blocks. Thread-safe (one writer of messages per channel).
    std::int32_t Write(const void* source, std::uint32_t size, const WaitObjectList* abortObjects,
                       std::uint32_t* bytesWritten, std::uint32_t timeoutMs);

    /// Writes size bytes as Write does, but only when that takes no wait: the
    /// bytes fit in one pipe write, no other write holds the pipe and the pipe
    /// takes them at once (a small message on a TCP pipe with room in its send
    /// buffer). `written` tells whether every byte went out. When it is false
    /// the answer is 0 when the write would have waited (nothing written),
    /// else Write's: 1 an abort object is set, 3 not open, 4 not connected
    /// (nothing written), or the pipe's failure (the pipe is lost). Raises the internal error 0x650001 for a
    /// null source. Never waits for the camera. Thread-safe (one writer of messages per channel).
    std::int32_t TryWrite(const void* source, std::uint32_t size, const WaitObjectList* abortObjects,
                          bool& written);

    /// True at once when open; else waits up to ms for the channel to open.
    /// Blocks. Thread-safe.
    bool WaitForOpen(std::uint32_t ms);

    /// For a reader that has let go of the channel before closing it: until
    /// the channel's next open, the Data the camera still sends is read away
    /// on arrival, so that it holds up no other channel of the pipe (the
    /// channel's own buffers would fill and stall the pipe). Never blocks.
    /// Thread-safe.
    void DiscardIncomingData();

    /// Waits up to ms until a Read waits for bytes; true when one does. For
    /// tests that need the stream's next Data to find its reader. Blocks.
    /// Thread-safe.
    bool WaitForPendingRead(std::uint32_t ms);

    /// The state is Open and the transport's pipe is open. Thread-safe.
    bool IsOpen() const;
    /// The transport's pipe is connected. Thread-safe.
    bool IsPipeConnected() const;
    /// Started and not stopped. Thread-safe.
    bool IsInitialized() const;
    /// The current state. Thread-safe.
    ChannelState GetState() const;

    /// Stores the identity presented in the next OpenRequest. Thread-safe.
    void SetClientIdentity(const ClientIdentity& identity);
    /// The stored identity. Thread-safe.
    ClientIdentity GetClientIdentity() const;

    /// Switches this side's debug mode (time-outs disabled on the pipe); logs
    /// the warning "KPX channel %u.%u debug enabled. Timeouts disabled." when
    /// turning it on. Nothing in the library turns it on. Thread-safe.
    void SetDebugMode(bool on);

    /// Raise ModuleError 0x650069 "KPX channel %u.%u not initialized.", 0x65006B
    /// "KPX channel %u.%u not open." and 0x650070 "KPX channel %u.%u not
    /// connected." (each logged; the last two check initialization first).
    void EnsureInitialized() const;
    void EnsureOpen() const;
    void EnsureConnected() const;

    std::uint8_t GetChannelNumber() const noexcept { return m_channel; }
    std::uint8_t GetSubChannelNumber() const noexcept { return m_subChannel; }
    /// The largest Data payload: 240 until an OpenReply is accepted.
    std::uint16_t GetMaxPayload() const noexcept { return m_maxPayload.load(); }
    ChannelTransport& GetTransport() const noexcept { return m_transport; }

private:
    // What an OpenSend step posts to the waiting Open.
    struct OpenResult
    {
        std::uint32_t kind = 0; // 0 reply received, 1 ErrorReply, 2 no reply
        std::uint32_t status = 0;
        std::uint32_t code = 0;
        bool refusedHere = false; // ErrorReply 8 sent by this side
    };

    // Thread bodies: each runs its loop (which sets the thread's ready event
    // first), dispatching an error that escapes it, then sets its ended event.
    void StateThreadBody(Q7::Platform::Thread_Posix& thread, void* parameter);
    void ReceiveThreadBody(Q7::Platform::Thread_Posix& thread, void* parameter);
    void ReceiveLoop(Q7::Platform::Thread_Posix& thread);
    void StateLoop(Q7::Platform::Thread_Posix& thread);

    // What a wait in OpenSend or CloseSend for the camera's reply came to.
    enum class ReplyWait
    {
        kLeave,   // nothing more in this step: stopping, the state changed, Stop, or a time-out ignored
        kNoReply, // the reply did not come in time, or cannot come any more (logged)
        kPacket,  // a packet is ready for the state
    };

    // Waits in `state` (OpenSend or CloseSend) for a packet until the state's
    // deadline, Stop or the end of the receive thread; takes the state mutex
    // into `lock` once the wait is over (unless stopping) and goes Offline on
    // Stop. `replyName` ("open-reply") names the reply in the time-out lines.
    // kNoReply and kPacket hold the lock with the channel still in `state`.
    ReplyWait AwaitReply(Q7::Platform::BaseEventCondition& stop, ChannelState state, const wchar_t* replyName,
                         std::optional<Q7::Platform::ScopedLock>& lock);

    // State handlers; each returns at once when the stop event is set and after
    // taking the state mutex returns when the state changed meanwhile.
    void HandleOffline(Q7::Platform::BaseEventCondition& stop);
    void HandleClosed(Q7::Platform::BaseEventCondition& stop);
    void HandleOpenSend(Q7::Platform::BaseEventCondition& stop);
    void HandleOpen(Q7::Platform::BaseEventCondition& stop);
    void HandleCloseSend(Q7::Platform::BaseEventCondition& stop);
    void HandleCloseReceive(Q7::Platform::BaseEventCondition& stop);
    void HandleNeverEntered(Q7::Platform::BaseEventCondition& stop);

    // Packet steps of the state thread (state mutex held).
    std::optional<PacketView> TakePacket();
    void ReleasePacket();
    bool CheckPacket(const CommonPacketHeader& packet, bool closeAfterErrorReply);
    void LogReceived(const PacketView& packet);
    void ProcessPacketInClosed(const PacketView& packet);
    std::optional<OpenResult> ProcessPacketInOpenSend(const PacketView& packet);
    void ProcessPacketInOpen(const PacketView& packet, Q7::Platform::BaseEventCondition& stop);
    void ProcessPacketInCloseSend(const PacketView& packet);
    OpenResult HandleOpenReply(const PacketView& packet);
    std::uint8_t HandleErrorReply(const PacketView& packet);
    void DeliverData(const PacketView& packet, Q7::Platform::BaseEventCondition& stop);

    // Data straight from the transport's thread into the pending Read
    // (DirectDataReceiver).
    bool AcceptsDirectData() const override;
    Piece ClaimPiece(std::uint32_t maxSize, std::uint32_t packetLeft,
                     std::span<Q7::Platform::BaseWaitObject* const> aborts, std::uint32_t& abortIndex,
                     std::uint32_t waitMs) override;
    void CompletePiece(std::uint32_t moved, bool wakeLater) override;
    void WakeReader() override;
    Q7::Platform::BaseWaitObject& PieceAbortObject() override { return m_pieceAbort; }

    // Ends the pending Read (after a piece in flight has landed) and answers
    // the bytes it still wanted.
    std::uint32_t EndRead();

    // Sending (state mutex held). A failed write makes the channel Offline.
    bool SendControlPacket(const std::vector<std::uint8_t>& packet);
    void SendOpenRequest();
    void SendCloseRequest();
    bool SendCloseReply();
    void SendPingReply(std::uint8_t echoByte);
    void SendErrorReply(std::uint8_t code, const CommonPacketHeader& offending, bool thenCloseRequest);

    // The one place the state changes (state mutex held).
    void SetState(ChannelState state);

    void PostOpenResult(const OpenResult& result);
    void ResetOpenResult();
    OpenResult GetOpenResult();
    std::int32_t OpenTries();
    void StopThread(Q7::Platform::Thread_Posix& thread, Q7::Platform::EventCondition_Posix& endedEvent);

    const std::uint8_t m_channel;
    const std::uint8_t m_subChannel;
    ChannelTransport& m_transport; // not owned
    const ChannelTimings m_timings;

    std::atomic<bool> m_initialized{false};
    std::atomic<bool> m_debugMode{false};       // this side's
    std::atomic<bool> m_cameraDebugMode{false}; // from the OpenReply's flags
    std::atomic<std::uint16_t> m_maxPayload{kMinMaxPayloadLength};

    mutable Q7::Platform::Mutex_Posix m_identityMutex; // guards m_identity
    ClientIdentity m_identity{};

    Q7::Platform::Mutex_Posix m_apiMutex;   // serialises Open, Close, Start, Stop
    Q7::Platform::Mutex_Posix m_stateMutex; // serialises SetState and every packet step of the state thread
    std::atomic<std::uint32_t> m_state{kChannelState_Offline}; // changed only by SetState

    Q7::Platform::EventCondition_Posix m_offline;      // set while Offline
    Q7::Platform::EventCondition_Posix m_notOffline;   // set while not Offline
    Q7::Platform::EventCondition_Posix m_closed;       // set while Closed
    Q7::Platform::EventCondition_Posix m_open;         // set while Open
    Q7::Platform::EventCondition_Posix m_notOpen;      // set while not Open
    Q7::Platform::EventCondition_Posix m_startRequest; // Start asks to leave Offline
    Q7::Platform::EventCondition_Posix m_stopped;      // Stop asks to go Offline
    Q7::Platform::EventCondition_Posix
        m_openRequest; // Open asks for an OpenRequest (consumed by the state thread)
    Q7::Platform::EventCondition_Posix
        m_closeRequest; // Close asks to close (level: until the next try of Open)

    Q7::Platform::Thread_Posix m_stateThread;
    Q7::Platform::Thread_Posix m_receiveThread;
    // Set while the thread's body does not run. Waited on instead of the thread
    // objects, whose handles disappear when Stop detaches them.
    Q7::Platform::EventCondition_Posix m_stateThreadEnded;
    Q7::Platform::EventCondition_Posix m_receiveThreadEnded;

    std::unique_ptr<std::uint8_t[]> m_receiveBuffers; // kChannelReceiveBuffers packet buffers
    Q7::Platform::Mutex_Posix m_readyMutex;           // guards m_readyPackets
    std::deque<std::uint8_t*> m_readyPackets;         // received packets for the state thread, oldest first
    Q7::Platform::EventCondition_Posix m_packetReady; // set while m_readyPackets is not empty
    std::uint8_t* m_takenPacket = nullptr;            // state thread only: the packet being handled

    Q7::Platform::Mutex_Posix m_openResultMutex; // guards m_openResult
    Q7::Platform::EventCondition_Posix m_openResultEvent;
    OpenResult m_openResult;
    std::uint64_t m_stateDeadlineMs = 0; // state thread only: end of the OpenSend or CloseSend wait
    bool m_ignoreStateTimeout = false;   // state thread only: time-outs disabled, wait on without limit

    // Takes up to size bytes from the lookahead into destination; answers how
    // many. m_readMutex held.
    std::uint32_t TakeLookaheadLocked(std::uint8_t* destination, std::uint32_t size);
    // Claims the lookahead's free room, up to size bytes, for the transport's
    // thread (moving what it holds to its start first). m_readMutex held; no
    // piece in flight.
    Piece ClaimLookaheadLocked(std::uint32_t size);
    // A Read waits for bytes (and may take a piece). m_readMutex held.
    bool IsReadWaitingLocked() const
    {
        return m_readDestination != nullptr && m_readRemaining > 0 && !m_readEnding;
    }

    // Guards the pending Read: m_readDestination, m_readRemaining, m_readEnding,
    // m_pieceInFlight, the lookahead and its piece in flight.
    std::mutex m_readMutex;
    Q7::Platform::EventCondition_Posix m_readWanted; // set while a Read waits for bytes
    Q7::Platform::EventCondition_Posix m_readDone;   // set when the Read has every byte
    std::uint8_t* m_readDestination = nullptr;       // null when no read is active
    std::uint32_t m_readRemaining = 0;
    bool m_readEnding = false;    // the Read is ending: no new piece may start
    bool m_pieceInFlight = false; // the transport's thread fills a piece of the destination
    bool m_wakePending = false;   // the Read is complete, its reader's wake put off (CompletePiece)
    // Stream bytes read ahead of the Reads: [m_lookaheadBegin, m_lookaheadEnd)
    // of m_lookahead (kChannelLookaheadBytes). The transport's thread fills it
    // for a small Read, and with packets that arrive while no Read waits; a
    // Read takes from it first, so it is empty while a Read waits. Emptied when
    // the channel opens.
    std::unique_ptr<std::uint8_t[]> m_lookahead;
    std::uint32_t m_lookaheadBegin = 0;
    std::uint32_t m_lookaheadEnd = 0;
    // The transport's thread fills the lookahead's room from m_lookaheadEnd
    // (a piece in flight that no Read waits for: the Read ends without it).
    bool m_lookaheadPieceInFlight = false;
    // Counts the emptyings at an open: a piece in flight across one belongs to
    // the stream before it and is dropped.
    std::uint32_t m_lookaheadGeneration = 0;
    std::uint32_t m_lookaheadPieceGeneration = 0;
    std::condition_variable m_pieceEnded;            // notified when a piece in flight ends
    Q7::Platform::EventCondition_Posix m_pieceAbort; // set while a Read ends with a piece in flight
};

} // namespace Q7::KPX
