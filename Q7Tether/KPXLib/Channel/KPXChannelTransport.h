// The channel transport: one transport pipe shared by the channels that run on
// it.
//
// One receive thread per pipe reads every packet header from the pipe and hands
// the packet to the channel it names; a packet for a channel that nobody serves
// is read away and answered with ErrorReply 4.
//
// A Data packet of a channel that takes Data directly (an Open channel with a
// DirectDataReceiver) goes from the pipe straight into the channel's pending
// Read, piece by piece when it straddles two reads, once the packets of the
// channel queued before it have been handled; a packet that arrives while no
// Read waits and fits whole into the room the channel keeps for bytes read
// ahead goes there at once, so that a reader between two small Reads (the
// messages of a stream) finds it without another hand-over. The transport's
// thread waits for the reader no longer than kDirectDataWaitMs: a packet whose
// channel has no Read pending by then (or still has packets queued) goes, whole
// or what is left of it, into the oldest buffer the channel posted, like every
// other packet, for the channel's own threads. A channel therefore holds the pipe up
// only while all its buffers are full and none is posted again: that is the
// flow control of the channels, and one channel whose reader pauses never
// stops the others while it has a buffer free.
//
// Channels write their packets through the transport under one write lock, each
// write in one pipe write (Data packets up to kMaxPacketsPerWrite at a time),
// padded to the alignment the camera asked for on that channel. The transport
// also keeps each channel's settings from its OpenReply (alignment, time-out,
// debug) and derives the pipe's write time-out from them.
#pragma once

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Transport/KPXTransport.h"
#include "Wire/KPXPacket.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <utility>

namespace Q7::KPX
{

/// A packet buffer, large enough for the largest packet.
using PacketBuffer = std::span<std::uint8_t, kMaxPacketLength>;

/// Most Data packets one pipe write carries (WriteDataPackets).
inline constexpr std::uint32_t kMaxPacketsPerWrite = 16;

/// How long a Data packet at the head of the pipe waits for its channel's
/// reader (a pending Read, or the channel's queued packets taken) before it
/// goes to the channel's own buffers instead: enough for a reader between two
/// Reads of a stream, little enough that a channel whose reader pauses costs
/// the others no more than that.
inline constexpr std::uint32_t kDirectDataWaitMs = 2;

/// What a read into a channel's lookahead reads ahead of the stream, as far
/// as it has arrived (the small packets of the messages behind it): bytes the
/// transport's thread holds beyond the channels' own room.
inline constexpr std::uint32_t kLookaheadReadAheadBytes = 8192;

/// How long a packet that has begun to arrive may keep a channel waiting for
/// its rest before the pipe counts as stalled (the same limit as reading away
/// the bytes of a packet nobody serves).
inline constexpr std::uint32_t kMidPacketStallMs = 2000;

/// The side of a channel that takes its Data packets straight from the pipe
/// into its pending Read. The transport calls it on its receive thread only,
/// one packet at a time, and only once the channel has none of its packets
/// queued (posted buffers filled, or taken and not posted again).
class DirectDataReceiver
{
public:
    /// A part of the pending Read's destination that the transport fills.
    struct Piece
    {
        std::uint8_t* destination = nullptr;
        std::uint32_t size = 0;
        /// Room the channel keeps for bytes read ahead of its Reads (for
        /// messages read a few bytes at a time): it takes the rest of the
        /// current packet only, and the transport reads what has arrived
        /// behind it into its own read-ahead, packets whole.
        bool lookahead = false;
    };

    /// True while a Data packet arriving now may go straight to the channel's
    /// reads: the channel is Open, not closing and not stopping. Never blocks.
    virtual bool AcceptsDirectData() const = 0;

    /// Claims up to maxSize bytes of the pending Read's destination, which
    /// stays valid until CompletePiece (the piece in flight). While no Read
    /// waits for bytes, a packet whose `packetLeft` bytes still in the pipe
    /// (at most maxSize) fit whole into room the channel keeps for bytes read
    /// ahead of its Reads claims exactly that room at once; otherwise waits
    /// up to waitMs for a Read. Answers an empty piece with abortIndex =
    /// kNoSignalledIndex when neither comes within waitMs or the channel no
    /// longer takes Data directly, or with the index when aborts[abortIndex]
    /// is signalled first. Blocks up to waitMs.
    virtual Piece ClaimPiece(std::uint32_t maxSize, std::uint32_t packetLeft,
                             std::span<Q7::Platform::BaseWaitObject* const> aborts, std::uint32_t& abortIndex,
                             std::uint32_t waitMs) = 0;

    /// Ends the piece in flight: its first `moved` bytes hold stream bytes (all
    /// of them, or fewer when the pipe read was aborted). Wakes the reader once
    /// its Read is complete, and only then; with `wakeLater` (more of the
    /// channel's packets are at hand) the wake waits for WakeReader, for a
    /// CompletePiece without it, or for a claim that would wait, so that the
    /// reader finds them in its lookahead. Never blocks for long.
    virtual void CompletePiece(std::uint32_t moved, bool wakeLater) = 0;

    /// Wakes a reader whose complete Read CompletePiece left asleep; nothing
    /// otherwise. Never blocks for long.
    virtual void WakeReader() = 0;

    /// Set while the reader gives up a Read with a piece in flight: the pipe
    /// read of the piece takes it as an abort object (pipes that honour abort
    /// objects then end it early).
    virtual Q7::Platform::BaseWaitObject& PieceAbortObject() = 0;

protected:
    ~DirectDataReceiver() = default;
};

/// Multiplexes the channels of one transport pipe.
///
/// Life cycle: constructed (pipe made, closed) -> Start (pipe open, receive
/// thread "KPX ChannelTransport thread (pipe %u)" runs) -> channels register,
/// exchange packets and unregister -> Stop (pipe closed, thread ended) -> Start
/// again or destroyed. The receive thread may end early (pipe failure, bad
/// header); the transport then receives nothing until Stop and Start.
///
/// Errors met on the receive thread go to the error dispatcher (this object's
/// base) and are logged; they never leave the thread.
///
/// All members are thread-safe. Channels must unregister (stop) before the
/// transport is destroyed; the transport must not outlive the device that made
/// its pipe.
class ChannelTransport : public Q7::Universal::ErrorDispatcher
{
public:
    /// Creates the pipe with the device's CreatePipe (pipeId; raises what that
    /// raises). Nothing runs and no I/O happens. midPacketStallMs is the limit
    /// of a stall in the middle of a packet (see AbandonStalledPipe; tests
    /// shorten it).
    ChannelTransport(Transport::DeviceInterface& device, std::uint32_t pipeId,
                     std::uint32_t midPacketStallMs = kMidPacketStallMs);

    /// Stops the transport (see Stop), then frees the channel entries.
    ~ChannelTransport() override;

    ChannelTransport(const ChannelTransport&) = delete;
    ChannelTransport& operator=(const ChannelTransport&) = delete;

    /// Opens the pipe and starts the receive thread. Answers 0, or the pipe's
    /// non-zero open result as it is (nothing started then). Raises ModuleError
    /// 0x65006C (logged) when the pipe is already open; any error raised on the
    /// way stops the transport and passes on. Blocks until the thread is ready.
    ///
    /// A USB pipe may still hold bytes of an earlier use (a camera does not know
    /// that its host closed the device): before the thread starts they are read
    /// away (EmptyPipeForStaleData), which takes at least 50 ms and at most
    /// about 5 s. TCP connections start empty.
    std::uint32_t Start();

    /// Closes the pipe (which wakes the receive thread and every blocked pipe
    /// read and write), stops the receive thread (logging "Stopping %ls", and
    /// "%ls taking an unexpectedly long time to stop." after each 10-second wait
    /// that ends with the thread alive) and closes the pipe again. Safe on a
    /// stopped transport. Raises nothing. Blocks.
    void Stop();

    /// The pipe is open.
    bool IsOpen() const;
    /// The pipe is open and its link is not lost.
    bool IsConnected() const;
    /// The pipe's id (USB endpoint, TCP port).
    std::uint32_t GetPipeId() const;
    /// The pipe is a USB pipe (Transport::UsbPipe).
    bool IsUsbPipe() const;
    /// Switches the USB pipe's burst IN (large reads; see UsbPipe::SetBurstIn);
    /// nothing for other pipes.
    void SetBurstIn(bool enable);

    /// The limit of a stall in the middle of a packet, in ms.
    std::uint32_t GetMidPacketStallMs() const noexcept { return m_midPacketStallMs; }

    /// While on (until the next Start), every Data packet of a registered
    /// channel is read away on arrival, whatever its channel: for a camera that
    /// closes all its channels, so that what the camera still sends (answers to
    /// requests it has not yet worked through, frames, images) keeps none of
    /// the closes waiting. Control packets go to their channels as before.
    /// Never blocks. Thread-safe.
    void SetDiscardingData(bool discarding);

    /// From now until this side's next OpenRequest of channel.subChannel, its
    /// Data packets are read away on arrival, as SetDiscardingData does for
    /// all: for a channel whose reader has let go because it closes. Never
    /// blocks. Thread-safe.
    void SetChannelDiscarding(std::uint8_t channel, std::uint8_t subChannel);

    /// Ends the pipe as a lost link (PipeInterface::CloseAsLost), logging the
    /// warning "KPX channel transport closing pipe %u as lost.": every blocked
    /// pipe read and write ends, the receive thread ends, and the device
    /// reports the loss. For a pipe on which a camera stays stuck (a packet
    /// stalled half-way, a write it never takes) and which cannot be ended any
    /// other way (a TCP read or write ignores time-outs and abort objects).
    /// Never blocks for long. Thread-safe.
    void AbandonPipe();

    /// AbandonPipe because the camera stopped sending in the middle of a
    /// packet of channel.subChannel that the channel gave up: the byte stream
    /// is out of step for good. Logs the warning "KPX channel %u.%u stalled in
    /// the middle of a packet." first.
    void AbandonStalledPipe(std::uint8_t channel, std::uint8_t subChannel);

    /// Lets channel.subChannel take its Data packets straight into its reads
    /// through receiver (null: no more). Waits while the receive thread is
    /// delivering into the channel. The receiver must stay valid until it is
    /// replaced; a channel sets it before registering and clears it once it has
    /// unregistered and withdrawn its buffers. Blocks.
    void SetDirectDataReceiver(std::uint8_t channel, std::uint8_t subChannel, DirectDataReceiver* receiver);

    /// Registers (true) or unregisters (false) channel.subChannel. Registering
    /// brings the channel's debug flag and time-out into the pipe's derived
    /// settings; unregistering sets the entry's closed event, which ends a pending
    /// ReceivePacket of the channel and aborts its writes, and recomputes them.
    /// Registering twice or unregistering an unregistered channel changes
    /// nothing.
    void RegisterChannel(std::uint8_t channel, std::uint8_t subChannel, bool registered);

    /// Stores the channel's time-out in ms (the entry is created when missing)
    /// and updates the write time-out when the channel is registered.
    void SetChannelTimeout(std::uint8_t channel, std::uint8_t subChannel, std::uint32_t timeoutMs);

    /// Stores the channel's debug flag and updates "time-outs disabled" when the
    /// channel is registered.
    void SetChannelDebug(std::uint8_t channel, std::uint8_t subChannel, bool debug);

    /// Stores the channel's send and second alignment exponents, each clamped
    /// to 8.
    void SetChannelAlignment(std::uint8_t channel, std::uint8_t subChannel, std::uint8_t sendExponent,
                             std::uint8_t secondExponent);

    /// True when a registered channel has debug mode on.
    bool AreTimeoutsDisabled() const;

    /// The pipe's write time-out: 0xFFFFFFFF when time-outs are disabled, else
    /// the largest time-out of the registered channels (0 when none).
    std::uint32_t GetWriteTimeout() const;

    /// Posts a packet buffer of channel.subChannel: the transport fills posted
    /// buffers in the order they were posted, each with the channel's next whole
    /// packet (Data packets that go straight into reads excepted). While the
    /// channel has no buffer posted, the transport's thread waits with the next
    /// packet of that channel and reads nothing further from the pipe (flow
    /// control). A buffer taken with TakeReceivedPacket counts as held by the
    /// channel until the channel posts a buffer again; while it holds one, a
    /// Data packet for its reads waits for it up to kDirectDataWaitMs, then
    /// takes the next posted buffer. Answers false, posting nothing, when the
    /// pipe is not open or not connected, the receive thread does not run, or
    /// the channel is not registered. The buffer must stay valid until it is
    /// taken back with TakeReceivedPacket or withdrawn with CancelReceive. Never
    /// blocks for long.
    bool PostReceiveBuffer(std::uint8_t channel, std::uint8_t subChannel, PacketBuffer buffer);

    /// Waits without limit for the oldest filled buffer of channel.subChannel
    /// and answers it; null when the channel was unregistered, the transport's
    /// receive thread ended with no packet left for the channel, or one of
    /// abortObjects (may be null; at most 61) was signalled. Blocks. One taker per
    /// channel.
    std::uint8_t* TakeReceivedPacket(std::uint8_t channel, std::uint8_t subChannel,
                                     const WaitObjectList* abortObjects);

    /// Withdraws every buffer channel.subChannel posted or had filled, and
    /// counts none as held any more. Waits for a packet being read into one of
    /// them or into the channel's reads (the withdrawal aborts that pipe read
    /// where the pipe honours abort objects, and the rest of the packet is read
    /// away); when that packet is still not done after the mid-packet stall
    /// limit, abandons the pipe (AbandonStalledPipe). Afterwards the transport
    /// touches none of the buffers. Blocks (about that limit at most).
    void CancelReceive(std::uint8_t channel, std::uint8_t subChannel);

    /// One buffer at a time: posts the buffer and waits without limit until it
    /// holds the channel's next whole packet (true), the channel was
    /// unregistered, or the transport's receive thread ended (false; the buffer
    /// is withdrawn). Answers false at once when PostReceiveBuffer would refuse.
    /// Raises the internal error 0x650067 "Only one read may be active at a time
    /// for each channel." when the channel has buffers posted or filled. Blocks.
    bool ReceivePacket(std::uint8_t channel, std::uint8_t subChannel, PacketBuffer buffer);

    /// Writes a complete packet (header, payload and padding as built) in one
    /// pipe write, re-padded to the channel's alignment when its length is not
    /// aligned (with the warning "KPX channel write packet is misaligned.
    /// Correcting." when it carried padding of its own). Answers 0 written, 2
    /// time-out, 3 closed (pipe not open, channel not registered, or aborted by
    /// the channel's unregistration), 4 pipe not connected, or another pipe
    /// result. Raises ModuleError 0x650001 (internal error) for bytes that are
    /// not one whole packet. Blocks up to the write time-out.
    std::uint32_t WritePacket(std::span<const std::uint8_t> packet);

    /// Writes one Data packet: header (its padding is recomputed) followed by
    /// payload and the alignment padding of the channel, in one pipe write.
    /// Results as WritePacket; 3 as well when this side's CloseRequest or
    /// CloseReply of the channel went out since its last OpenRequest (no Data
    /// may follow them on the pipe; the same holds for WriteDataPackets and
    /// TryWriteDataPackets). Raises ModuleError 0x650001 (internal error) when
    /// the payload's size differs from the header's payloadLength.
    std::uint32_t WriteDataPacket(const CommonPacketHeader& header, std::span<const std::uint8_t> payload);

    /// Writes the start of bytes on channel.subChannel as whole Data packets of
    /// at most maxPayload bytes each, at most kMaxPacketsPerWrite of them,
    /// padded to the channel's alignment, in one pipe write (header, payload
    /// and padding gathered from bytes where the pipe allows, so nothing is
    /// copied). *bytesWritten gets the payload bytes of the packets the pipe
    /// took whole: min(bytes.size(), kMaxPacketsPerWrite * maxPayload) on
    /// success. No packet for empty bytes. Results as WritePacket; the write
    /// time-out applies to the whole write. Raises ModuleError 0x650001
    /// (internal error) for a maxPayload of 0. Blocks. Thread-safe: writes never
    /// interleave.
    std::uint32_t WriteDataPackets(std::uint8_t channel, std::uint8_t subChannel,
                                   std::span<const std::uint8_t> bytes, std::uint16_t maxPayload,
                                   std::uint32_t* bytesWritten);

    /// As WriteDataPackets for all of bytes, but only when that takes no wait:
    /// no other write holds the pipe, the packets fit in one pipe write and
    /// the pipe takes them at once (Transport::PipeInterface::CanWriteAtOnce).
    /// Then the result is the write's, and `written` is true when it is 0.
    /// Otherwise nothing is written, `written` is false and the result is 0,
    /// or the pipe's or the channel's state when it is closed or disconnected
    /// (as WriteDataPackets). Never waits for the camera.
    /// Thread-safe: writes never interleave.
    std::uint32_t TryWriteDataPackets(std::uint8_t channel, std::uint8_t subChannel,
                                      std::span<const std::uint8_t> bytes, std::uint16_t maxPayload,
                                      bool& written);

    /// Answers the offending packet with an ErrorReply of the code, addressed to
    /// the packet's channel (never in answer to an ErrorReply: then nothing is
    /// sent). Logs "KPX channel %u.%u sending ErrorReply %u - %ls". True when
    /// written or not needed.
    bool SendErrorReply(std::uint8_t code, const CommonPacketHeader& offending);

private:
    struct TransportChannelState;
    using ChannelKey = std::pair<std::uint8_t, std::uint8_t>;

    // The body of the receive thread and its loop (which raises the thread's
    // priority and sets its ready event first).
    void ReceiveThreadBody(Q7::Platform::Thread_Posix& thread, void* parameter);
    void ReceiveLoop(Q7::Platform::Thread_Posix& thread);

    // What became of a Data packet offered to its channel's reads.
    enum class DirectOutcome
    {
        kDelivered, // every byte of the packet was read (the payload into reads, or dropped)
        kQueue,     // the packet, or the rest of it, takes the channel's queue
        kEnd,       // the receive loop ends (stop, pipe failure)
    };

    // True when the next whole packet lies in the read-ahead and is a Data
    // packet of the entry's channel with a 16-byte header: delivering it
    // touches no pipe. Receive thread only.
    bool IsDataPacketAhead(const TransportChannelState& entry) const;
    // Wakes the reader whose wake TryDeliverDirect put off (see
    // DirectDataReceiver::CompletePiece); nothing when none is owed.
    void PayWakeOwed();

    // Reads the next header: the bytes read ahead, then the rest from the
    // pipe. False when the pipe read failed.
    bool ReadHeader(std::span<std::uint8_t, kPacketHeaderSize> header);
    // Reads count bytes of the stream into destination: the bytes read ahead
    // first, then from the pipe (abortObjects, timeoutMs); with `last` (they
    // end a packet) up to aheadLimit bytes of what follows (a header by
    // default) are read ahead in the same transfer, as far as they have
    // arrived, where the pipe allows. `moved` gets the bytes that landed.
    // Answers the pipe's result.
    std::uint32_t ReadStream(std::uint8_t* destination, std::uint32_t count, bool last,
                             const WaitObjectList& abortObjects, std::uint32_t timeoutMs, std::uint32_t& moved,
                             std::uint32_t aheadLimit = kPacketHeaderSize);
    // Takes up to count bytes read ahead into destination; answers how many.
    std::uint32_t TakeAhead(std::uint8_t* destination, std::uint32_t count);
    // Reads the rest of the current Data packet (`left` bytes) into the start
    // of room and, in the same transfer, whatever has already arrived of the
    // packets behind it, guessing that they are Data packets of the same
    // channel with 16-byte headers, no padding and payloads of `current`'s
    // size: each guessed header goes to a slot, each payload straight behind
    // the one before it in room. Nothing read ahead may be pending. On success
    // `moved` is the channel's stream bytes now at the start of room, `left`
    // the bytes of the packet being read (then `current`) still in the pipe;
    // what arrived behind a packet that was not as guessed is kept as read
    // ahead (and zeroed in room). Answers the pipe's result.
    std::uint32_t ReadAcrossPackets(CommonPacketHeader& current,
                                    std::span<std::uint8_t, kPacketHeaderSize> currentBytes, ByteSpan room,
                                    const WaitObjectList& abortObjects, std::uint32_t& left,
                                    std::uint32_t& moved);
    // Delivers a Data packet straight into the channel's reads when the channel
    // takes Data directly and has nothing queued, with the packets of the
    // channel read along with it; waits kDirectDataWaitMs at most for the
    // channel's reader each time it needs one. On kQueue, header and
    // headerBytes hold what is left for the queue: a packet read along, or the
    // rest of the packet being delivered (as a Data packet of the bytes not yet
    // read from the pipe).
    DirectOutcome TryDeliverDirect(TransportChannelState& entry, CommonPacketHeader& header,
                                   std::span<std::uint8_t, kPacketHeaderSize> headerBytes);
    // Reads the packet into the channel's oldest posted buffer, waiting for one
    // (flow control); false when the receive loop must end.
    bool QueuePacket(TransportChannelState& entry, const CommonPacketHeader& header,
                     std::span<const std::uint8_t, kPacketHeaderSize> headerBytes);
    // Reads the rest of a packet behind its header into the channel's buffer;
    // true when the whole packet is there.
    bool ReadRestOfPacket(TransportChannelState& entry, const CommonPacketHeader& header,
                          std::uint8_t* destination);
    // Reads and drops count bytes of the current packet (of header's channel)
    // without a word (the channel gave up the rest of a packet it was
    // reading); the stop event aborts. A pipe read that times out after the
    // mid-packet stall limit abandons the pipe. False when the pipe read
    // failed.
    bool DropRestOfPacket(const CommonPacketHeader& header, std::uint32_t count);
    // Reads away a packet nobody serves and answers it with ErrorReply 4; false
    // when the bytes could not be read away (the loop ends).
    bool HandleUnsupportedChannel(const CommonPacketHeader& header);
    // Reads and discards count bytes of a packet (of header's channel; 2000
    // ms, the stop event aborts); on a time-out abandons the pipe and raises
    // ModuleError 0x6500CF (logged).
    bool ReadAway(const CommonPacketHeader& header, std::uint32_t count);
    // Reads away what a USB pipe still holds: flushes it, then reads (burst IN
    // on) until a read of 50 ms brings nothing or 5 s have passed.
    void EmptyPipeForStaleData();

    // Looks up an entry; null when none. Map lock taken inside.
    TransportChannelState* FindEntry(std::uint8_t channel, std::uint8_t subChannel) const;
    // Looks up an entry, creating it when missing. Map lock held by the caller.
    TransportChannelState& GetOrCreateEntryLocked(std::uint8_t channel, std::uint8_t subChannel);
    // Recomputes the derived fields over the registered entries. Map lock held.
    void RecomputeDerivedLocked();
    // The pipe's state as a write result: kPipeResult_Closed, else
    // kPipeResult_Disconnected, else kPipeResult_Success.
    std::uint32_t GetPipeWriteState() const;
    // The checks of a packet write once the write lock is held: the pipe's state
    // again, then the channel's entry (created when missing) and its send
    // alignment exponent, kPipeResult_Closed when the channel is closed.
    // Anything but kPipeResult_Success ends the write.
    std::uint32_t PrepareWriteLocked(const CommonPacketHeader& header, TransportChannelState*& entry,
                                     std::uint8_t& exponent);
    // Writes bytes as Data packets shaped on `first` (numbers, tag, header
    // length) with payloads of at most maxPayload, at most kMaxPacketsPerWrite
    // of them and at least one, in one pipe write; see WriteDataPackets.
    // With `wouldWait` given: writes only when the write lock is free, every
    // byte fits in that one pipe write and the pipe takes it at once; otherwise
    // writes nothing and sets *wouldWait.
    std::uint32_t WriteData(const CommonPacketHeader& first, std::span<const std::uint8_t> bytes,
                            std::uint32_t maxPayload, std::uint32_t* bytesWritten, bool* wouldWait = nullptr);
    // Maps a pipe write's result (aborted is closed) and logs a failure of the
    // channel named by header.
    // A write that timed out ends the pipe as lost (the camera took not all of
    // it: the stream may be cut in the middle of a packet).
    std::uint32_t MapWriteResult(std::uint32_t result, const CommonPacketHeader& header);
    // One pipe write of the pieces (whole packets) with the channel's abort
    // object and the write time-out. Write lock held.
    std::uint32_t WriteGatheredLocked(TransportChannelState& entry, const CommonPacketHeader& header,
                                      std::span<const ConstByteSpan> pieces, std::uint32_t* transferred);

    const std::unique_ptr<Transport::PipeInterface> m_pipe; // made in the constructor, owned
    const std::uint32_t m_midPacketStallMs;

    Q7::Platform::Mutex_Posix m_writeLock; // held for each pipe write; guards m_writeScratch
    // Room in which a pipe that cannot gather joins the pieces of one write
    // (kMaxPacketsPerWrite packets); left untouched by pipes that gather.
    std::unique_ptr<std::uint8_t[]> m_writeScratch;

    Q7::Platform::Mutex_Posix m_lifecycleLock; // serialises Start and Stop
    Q7::Platform::Thread_Posix m_receiveThread;
    // Set while no receive loop runs (before Start, after the loop ended, after
    // Stop). Channels wait on it rather than on the thread object, whose handle
    // disappears when Stop detaches it.
    Q7::Platform::EventCondition_Posix m_receiverEnded;
    // Scratch space of the receive thread for bytes read away.
    std::unique_ptr<std::array<std::uint8_t, kMaxPacketLength>> m_discardBuffer;
    Q7::KPX::WaitObjectList m_stopAbort; // {the receive thread's stop event}
    // Stream bytes read from the pipe before their turn: a header read with the
    // packet before it, or what arrived behind a packet that ReadAcrossPackets
    // guessed wrong; taken before anything is read from the pipe. Receive
    // thread only.
    std::unique_ptr<std::uint8_t[]> m_ahead;
    std::uint32_t m_aheadBegin = 0;
    std::uint32_t m_aheadEnd = 0;
    // The slots of ReadAcrossPackets for the headers it guesses; receive
    // thread only.
    std::array<std::array<std::uint8_t, kPacketHeaderSize>, kMaxPacketsPerWrite + 1> m_guessedHeaders{};
    // The channel whose reader's wake is put off while its packets at hand go
    // into its lookahead (its entry's wakeOwed is set); null when none.
    // Receive thread only.
    TransportChannelState* m_wakeOwed = nullptr;

    mutable Q7::Platform::Mutex_Posix
        m_mapLock; // guards m_channels, each entry's settings, and the two fields below
    std::map<ChannelKey, std::unique_ptr<TransportChannelState>> m_channels; // entries are never erased
    std::atomic<bool> m_discardingData{false};                               // see SetDiscardingData
    bool m_timeoutsDisabled = false;  // a registered channel has debug on
    std::uint32_t m_writeTimeout = 0; // the largest time-out of the registered channels
};

} // namespace Q7::KPX
