// The channel transport: one transport pipe shared by the channels that run on
// it.
//
// One receive thread per pipe reads every packet header from the pipe and hands
// the packet to the channel it names, straight into the oldest buffer that the
// channel posted; a packet for a channel that nobody serves is read away and
// answered with ErrorReply 4. A channel with no buffer posted holds up the whole
// pipe until it posts one: this is the flow control of the channels. A channel
// keeps several buffers posted, so that the transport's thread does not wait for
// a hand-over (a thread wake-up) between two packets.
// Channels write their packets through the transport one at a time, each packet
// in one pipe write, padded to the alignment the camera asked for on that
// channel. The transport also keeps each channel's settings from its OpenReply
// (alignment, time-out, debug) and derives the pipe's write time-out from them.
#pragma once

#include "KPXPacket.h"
#include "KPXTransport.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <utility>

namespace Q7::KPX
{

/// A packet buffer, large enough for the largest packet.
using PacketBuffer = std::span<std::uint8_t, kMaxPacketLength>;

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
    /// raises). Nothing runs and no I/O happens.
    ChannelTransport(Transport::DeviceInterface& device, std::uint32_t pipeId);

    /// Stops the transport (see Stop), then frees the channel entries.
    ~ChannelTransport() override;

    ChannelTransport(const ChannelTransport&) = delete;
    ChannelTransport& operator=(const ChannelTransport&) = delete;

    /// Opens the pipe and starts the receive thread. Answers 0, or the pipe's
    /// non-zero open result as it is (nothing started then). Raises ModuleError
    /// 0x65006C (logged) when the pipe is already open; any error raised on the
    /// way stops the transport and passes on. Blocks until the thread is ready.
    ///
    /// On USB pipes the stale data left in the pipe must be drained here before
    /// the thread starts; that step belongs to the USB pipe and is not part of
    /// this transport yet (TCP pipes never hold stale data).
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
    /// packet. While the channel has no buffer posted, the transport's thread
    /// waits with the next packet of that channel and reads nothing further from
    /// the pipe (flow control). Answers false, posting nothing, when the pipe is
    /// not open or not connected, the receive thread does not run, or the
    /// channel is not registered. The buffer must stay valid until it is taken
    /// back with TakeReceivedPacket or withdrawn with CancelReceive. Never blocks
    /// for long.
    bool PostReceiveBuffer(std::uint8_t channel, std::uint8_t subChannel, PacketBuffer buffer);

    /// Waits without limit for the oldest filled buffer of channel.subChannel
    /// and answers it; null when the channel was unregistered, the transport's
    /// receive thread ended with no packet left for the channel, or one of
    /// abortObjects (may be null; at most 61) was signalled. Blocks. One taker per
    /// channel.
    std::uint8_t* TakeReceivedPacket(std::uint8_t channel, std::uint8_t subChannel,
                                     const WaitObjectList* abortObjects);

    /// Withdraws every buffer channel.subChannel posted or had filled. Waits
    /// for a packet being read into one of them (which the withdrawal aborts
    /// where the pipe supports abort objects); afterwards the transport touches
    /// none of them. Blocks.
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
    /// Results as WritePacket. Raises ModuleError 0x650001 (internal error) when
    /// the payload's size differs from the header's payloadLength.
    std::uint32_t WriteDataPacket(const CommonPacketHeader& header, std::span<const std::uint8_t> payload);

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
    // Reads the rest of a packet behind its header into the channel's buffer;
    // true when the whole packet is there.
    bool ReadRestOfPacket(TransportChannelState& entry, const CommonPacketHeader& header,
                          std::uint8_t* destination);
    // Reads away a packet nobody serves and answers it with ErrorReply 4; false
    // when the bytes could not be read away (the loop ends).
    bool HandleUnsupportedChannel(const CommonPacketHeader& header);
    // Reads and discards count bytes (2000 ms, the stop event aborts); raises
    // ModuleError 0x6500CF (logged) on a time-out.
    bool ReadAway(std::uint32_t count);

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
    // One pipe write of a whole packet with the channel's abort object and the
    // write time-out; maps the pipe's result. Write lock held.
    std::uint32_t WriteToPipeLocked(TransportChannelState& entry, const CommonPacketHeader& header,
                                    const std::uint8_t* bytes, std::uint32_t length);

    const std::unique_ptr<Transport::PipeInterface> m_pipe; // made in the constructor, owned

    Q7::Platform::Mutex_Posix m_writeLock; // held for each packet write; guards m_writePacketBuffer
    std::unique_ptr<std::array<std::uint8_t, kMaxPacketLength>> m_writePacketBuffer;

    Q7::Platform::Mutex_Posix m_lifecycleLock; // serialises Start and Stop
    Q7::Platform::Thread_Posix m_receiveThread;
    // Set while no receive loop runs (before Start, after the loop ended, after
    // Stop). Channels wait on it rather than on the thread object, whose handle
    // disappears when Stop detaches it.
    Q7::Platform::EventCondition_Posix m_receiverEnded;
    // Scratch space of the receive thread for bytes read away.
    std::unique_ptr<std::array<std::uint8_t, kMaxPacketLength>> m_discardBuffer;
    Q7::KPX::WaitObjectList m_stopAbort; // {the receive thread's stop event}

    mutable Q7::Platform::Mutex_Posix
        m_mapLock; // guards m_channels, each entry's settings, and the two fields below
    std::map<ChannelKey, std::unique_ptr<TransportChannelState>> m_channels; // entries are never erased
    bool m_timeoutsDisabled = false;  // a registered channel has debug on
    std::uint32_t m_writeTimeout = 0; // the largest time-out of the registered channels
};

} // namespace Q7::KPX
