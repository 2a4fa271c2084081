#pragma once
// The common frame of the data agents on two sub-channels (image transfer on
// 4.1/4.2, live view on 5.1/5.2): their six threads, the check that the
// camera lets the first sub-channel open before they start, the order they
// stop in, the close of both sub-channels, their one error dispatcher, and
// what both hand their receive machine (send queue, delivery queue, image
// receiver, the machine's view of the two sub-channels).

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "Agents/ImageTransfer/KPXImageReceive.h"
#include "Agents/ImageTransfer/KPXImageTransferMachine.h"
#include "Channel/KPXAgent.h"
#include "Channel/KPXChannel.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Wire/KPXMessage.h"

namespace Q7::KPX
{

/// A byte count in MiB, rounded up (for the log lines of images and frames).
constexpr unsigned MiBRoundedUp(std::uint32_t bytes) noexcept
{
    return static_cast<unsigned>((std::uint64_t{bytes} + 0xFFFFF) >> 20);
}

class TwoSubChannelAgent : public Universal::ErrorDispatcher,
                           public BaseDataAgent,
                           protected ImageTransferReplies
{
public:
    /// Receives each finished image or frame. It may keep copies of the
    /// package (which keep the pool buffer) and release them on any thread.
    using ImageReceiver = std::function<void(ImageReceivePackage&)>;

    /// The pool's allocation step and its number of buffers.
    static constexpr std::uint32_t kPoolAllocMultiple = 0x400000;
    static constexpr std::uint32_t kPoolBuffers = 2;

    /// Builds both channels (as BaseDataAgent) and names the six threads
    /// "KPX ch<channel> " + ctrl, dlvr, ntfy, send, rcv1, rcv2.
    TwoSubChannelAgent(std::uint8_t channel, std::uint8_t firstSubChannel, std::uint8_t secondSubChannel,
                       ChannelTransport& firstTransport, ChannelTransport& secondTransport,
                       const ChannelTimings& timings);
    ~TwoSubChannelAgent() override;

    /// All six threads run.
    [[nodiscard]] bool AreThreadsRunning() const;
    /// The caller is one of the agent's threads (a receiver or callback).
    [[nodiscard]] bool IsOwnThread() const;
    /// Raises ModuleError 0x650066 "KPX ch<channel> threads cannot wait for
    /// themselves." (logged) with `what` in its detail on one of the agent's
    /// threads.
    void RefuseOwnThread(const wchar_t* what) const;

    /// Closes both sub-channels (the agent's ShutDownChannels) and stops and
    /// releases the six threads, logging the error "Thread '%ls' taking an
    /// unexpectedly long time to stop." after every 10 s that a thread takes;
    /// then the agent's AfterThreadsStopped. Raises only ModuleError 0x650066
    /// on one of the agent's own threads (nothing is stopped then). Blocks.
    void StopThreads();

    /// Sets the error callback on the agent and on both sub-channels.
    /// Thread-safe.
    void SetErrorCallback(const Universal::ErrorCallback& callback) override;
    /// As above, for a callback given as a function.
    void SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback) override;

protected:
    /// Open's frame: unless all six threads run, stops what is left of an
    /// earlier run, opens and closes the first sub-channel once (the control
    /// thread opens both itself), and when it opened, runs `startThreads`.
    /// A refusal is logged with `notOpenedText` and leaves no thread running,
    /// except one because of the authentication code (ModuleError 0x15E0010)
    /// or the camera's connection limit (0x15E000F), which is raised. When not
    /// all threads run afterwards, or anything raised, the threads are stopped
    /// again. Raises ModuleError 0x650066 on one of the agent's own threads.
    void OpenThreads(const wchar_t* notOpenedText, const std::function<void()>& startThreads);

    /// What OpenSubChannels came to.
    enum class SubChannelsOpen
    {
        kOpened,  ///< both sub-channels are open
        kStopped, ///< `thread` was asked to stop before an open
        kRefused, ///< an open answered other than done, or the first closed meanwhile
    };

    /// Opens the first sub-channel, runs `afterFirst`, then opens the second:
    /// each open only while `thread` is not asked to stop, the second only
    /// while the first is still open. Serialised with CloseSubChannels, so that
    /// no close comes between the two opens, and no open follows a stop that
    /// was asked before it. What it opened stays open on kStopped and kRefused
    /// (the caller closes). Raises what Channel::Open raises. Blocks (the
    /// handshakes). Called by the control thread.
    SubChannelsOpen OpenSubChannels(Platform::Thread_Posix& thread, const std::function<void()>& afterFirst);

    /// Closes the second sub-channel, then the first (both are tried); gives
    /// the first error. Until they open again, what the camera still sends on
    /// them is read away (Channel::DiscardIncomingData): their readers have
    /// let go. Waits for an OpenSubChannels under way. Blocks.
    std::exception_ptr CloseSubChannels();
    /// A send or receive thread between two opens: marks `parked` (the thread
    /// holds nothing of the last cycle) and waits for `open`, its own stop,
    /// the control thread's stop or its end; true only when `open` came.
    /// Blocks. Called by the send and receive threads.
    bool WaitForChannelsOpen(Platform::EventCondition_Posix& parked, Platform::BaseWaitObject& open,
                             Platform::Thread_Posix& thread);
    /// The control thread before an open: waits until the send and both
    /// receive threads are parked (true), or until it is asked to stop
    /// (false). Blocks.
    bool WaitForPeersParked(Platform::Thread_Posix& thread);

    /// Tells the control, send and both receive threads to stop. A stop is
    /// asked before anything closes, so that the control thread opens nothing
    /// once the agent is stopping.
    void StopPeers();

    /// The agent's close of its sub-channels for StopThreads (stopPeers true).
    virtual void ShutDownChannels(bool stopPeers) = 0;
    /// Runs last in StopThreads, with the threads released.
    virtual void AfterThreadsStopped() = 0;

    /// Queues a message for the send thread, described by `format` and
    /// `args`, with no write time-out; false (nothing queued) when the send
    /// thread does not run. Never blocks. Thread-safe.
    template <typename... Args>
    bool Queue(MessageBytes message, const wchar_t* format, Args... args)
    {
        if (!m_sendThread.IsRunning())
            return false;
        m_sendQueue.Push(
            std::make_unique<SendMessageCommand>(std::move(message), kSendNoTimeout, format, args...));
        return true;
    }

    // ImageTransferReplies common to both agents: a failed transfer goes to
    // the error dispatcher; DataAbort and DataError are queued on the first
    // sub-channel; the versions are the two sub-channels' negotiated ones.
    // Called under the machine's locks; none waits.
    void ReportTransferError(const Universal::UniversalError& error) override;
    void SendDataAbort(std::uint32_t dataId) override;
    void SendDataError(std::uint32_t dataId, std::uint32_t errorId,
                       const CommonMessageHeader& received) override;
    ProtocolVersion GetFirstVersion() const override;
    ProtocolVersion GetSecondVersion() const override;

    ImageDeliveryQueue m_deliveryQueue; // images or frames for the deliver thread
    SendMessageQueue m_sendQueue;       // written by the send thread on the first sub-channel

    Platform::Mutex_Posix m_imageReceiverLock; // guards m_imageReceiver; held while it runs
    ImageReceiver m_imageReceiver;

    // Set while the send and receive threads wait for an open (manual reset).
    Platform::EventCondition_Posix m_sendParked;
    Platform::EventCondition_Posix m_rcv1Parked;
    Platform::EventCondition_Posix m_rcv2Parked;

    Platform::Thread_Posix m_ctrlThread;
    Platform::Thread_Posix m_dlvrThread;
    Platform::Thread_Posix m_ntfyThread;
    Platform::Thread_Posix m_sendThread;
    Platform::Thread_Posix m_rcv1Thread;
    Platform::Thread_Posix m_rcv2Thread;

private:
    void StopThread(Platform::Thread_Posix& thread);

    // Held while the sub-channels open (both of them) or close: an open and a
    // close never interleave.
    Platform::Mutex_Posix m_cycleLock;
    // Set by a peer thread as it parks: wakes WaitForPeersParked.
    Platform::EventCondition_Posix m_peerParked;

    const Universal::UniversalString m_selfWaitText;
};

} // namespace Q7::KPX
