// The development agent of channel 255.0: it exchanges raw development
// messages (class 0xFF: a 16-byte header and an opaque payload) with the
// camera. Its owner queues messages to send and receives every development
// message the camera sends through one receiver.
//
// Threads: "KPX ch255 send" opens the channel (when the receive thread asks
// for it) and writes the queued messages; "KPX ch255 recv" reads the camera's
// messages and calls the receiver. Nothing in the library starts them: an
// owner that wants the channel calls Start.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "Channel/KPXAgent.h"
#include "Channel/KPXChannel.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Wire/KPXMessage.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX
{

class ChannelTransport;
class MessageSource;

namespace Development
{

/// What one received development message may carry by default (256 MiB).
inline constexpr std::uint64_t kDefaultMessageLimit = 256ULL * 1024 * 1024;

/// A development message's fixed part: the common header alone (16 bytes at
/// every version).
struct DevelopmentMessageHeader
{
    static constexpr std::size_t kEncodedSize = 16;

    CommonMessageHeader header{kMessageMagic, kMessageClass_Development, 0, 16, 16, 0};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header);
    }
};

/// The header size of a development message (16 at every version).
std::uint16_t GetDevelopmentMessageHeaderSize(ProtocolVersion version) noexcept;

/// Builds a development message of `type` carrying `payload`. Raises
/// ModuleError 0x650005 "KPX ch255 SendMessage()" (logged with "size (%u) is
/// too large.") when the whole message does not fit in 32 bits, and
/// std::bad_alloc. Reentrant.
MessageBytes MakeDevelopmentMessage(ProtocolVersion version, std::uint8_t type,
                                    std::span<const std::uint8_t> payload);

/// Reads the rest of a development message whose common header (checked with
/// CheckMessageHeader) was read: the camera's further header bytes (skipped)
/// and the payload (`messageSize - messageHeaderSize` bytes). Answers 0 with
/// `payload` filled, or the source's failure result. Raises ModuleError
/// 0x6500CD "KPX ch255 message too large." (plain) when the payload is larger
/// than `payloadLimit`, before anything is allocated for it. Blocks as the
/// source does. Reentrant.
std::uint32_t ReadDevelopmentMessage(const CommonMessageHeader& header, MessageSource& source,
                                     ProtocolVersion version, std::uint64_t payloadLimit,
                                     std::vector<std::uint8_t>& payload);

} // namespace Development

/// The agent of channel 255.0.
///
/// Life cycle: constructed (channel started, not open, no threads) -> Start
/// -> messages both ways -> StopThreads -> Start again as often as wanted ->
/// destroyed (stops first).
///
/// Threads: every public member may be called from any thread (thread-safe).
/// Start and StopThreads are serialised by the agent lock. The receiver runs
/// on "KPX ch255 recv" under the receiver lock: it may send messages, not
/// call SetMessageReceiver, Start or StopThreads. Errors met on the agent's
/// threads go to the error callback (this object's dispatcher), on those
/// threads.
class DevelopmentAgent : public Universal::ErrorDispatcher, public BaseAgent
{
public:
    /// The receiver of development messages: (type, payload or null, size).
    using MessageReceiver = Universal::FunctionPointer3<void, unsigned char, const void*, unsigned int>;

    /// Builds channel 255.0 on the transport (which must outlive the agent)
    /// with the handshake `timings`, declares the message protocol version 1.0
    /// and starts the channel. `messageLimit`: the largest payload a received
    /// message may carry. Raises what starting the channel raises.
    explicit DevelopmentAgent(ChannelTransport& transport, const ChannelTimings& timings = {},
                              std::uint64_t messageLimit = Development::kDefaultMessageLimit);
    /// StopThreads.
    ~DevelopmentAgent() override;

    /// Starts both threads, unless they run: stops what is left of an earlier
    /// run and checks that the channel opens (opening and closing it once; a
    /// non-zero result returns without starting anything). Raises
    /// ModuleError 0x650066 "KPX ch255 failed to start all threads." when not
    /// both threads run afterwards, and what the channel's Open and starting a
    /// thread raise, each after stopping again. Blocks.
    void Start();

    /// Closes the channel, drops the queued messages and stops and releases
    /// both threads, logging the error "Thread '%ls' taking an unexpectedly
    /// long time to stop." after every 10 s that one takes. Raises nothing.
    /// Blocks.
    void StopThreads();

    /// True while both threads run.
    [[nodiscard]] bool IsRunning() const;

    /// Queues a development message of `type` with `size` bytes from `data`
    /// (written with the time-out `timeoutMs`, 0xFFFFFFFF for none), when both
    /// threads run; otherwise does nothing. Raises ModuleError 0x650001 "KPX
    /// ch255 SendMessage()" (logged with "pData == nullptr") for a size
    /// without data, and 0x650005 (see MakeDevelopmentMessage) for a size that
    /// does not fit in a message. Never blocks on the wire.
    void SendMessage(unsigned char type, const void* data, unsigned int size, unsigned int timeoutMs);

    /// Replaces the receiver (a clone; an empty or unbound one removes it).
    /// Waits while the receiver runs. Messages that come while none is set are
    /// dropped.
    void SetMessageReceiver(const MessageReceiver& receiver);

    /// Sets the error callback on the agent and on its channel.
    void SetErrorCallback(const Universal::ErrorCallback& callback) override;
    /// As above, for a callback given as a function.
    void SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback) override;

private:
    void SendThread(Platform::Thread_Posix& thread, void* parameter);
    void RecvThread(Platform::Thread_Posix& thread, void* parameter);
    void SendLoop(Platform::Thread_Posix& thread);
    void StopThread(Platform::Thread_Posix& thread);

    // Closes the channel and, with `dropQueued`, drops what waits to be sent.
    void CloseStep(bool final, bool dropQueued = true);
    bool OpenStep(Platform::BaseEventCondition& stop);

    bool DispatchMessage(const CommonMessageHeader& header, MessageSource& source);
    bool HandleDevelopmentMessage(const CommonMessageHeader& header, MessageSource& source);
    bool HandleCommonError(const CommonMessageHeader& header, MessageSource& source);
    bool HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source);

    const std::uint64_t m_messageLimit;

    Platform::Mutex_Posix m_receiverLock; // guards m_receiver; held while it is called
    MessageReceiver m_receiver;

    Platform::Thread_Posix m_sendThread{L"KPX ch255 send"};
    Platform::Thread_Posix m_recvThread{L"KPX ch255 recv"};

    Platform::EventCondition_Posix m_channelOpen;   // set while the channel is open
    Platform::EventCondition_Posix m_channelClosed; // set while closed; aborts reads and the send loop
    Platform::EventCondition_Posix m_openRequest;   // the receive thread wants the channel open

    SendMessageQueue m_sendQueue;
};

} // namespace Q7::KPX
