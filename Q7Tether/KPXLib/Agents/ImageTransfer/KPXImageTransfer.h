// The image-transfer agent of channel 4: through it a camera hands its captured
// images to the host. It owns sub-channels 4.1 and 4.2, a pool of two large
// image buffers, and six threads:
//   "KPX ch4 ctrl"  opens both sub-channels (again after every failure), tells
//                   the camera the host's wishes after each open, and serves
//                   the transfers: takes a pool buffer, acknowledges, queues
//                   each finished image (ImageTransferMachine);
//   "KPX ch4 send"  writes the queued messages on 4.1 (everything this agent
//                   sends leaves through 4.1);
//   "KPX ch4 rcv1", "KPX ch4 rcv2"  read 4.1 and 4.2 and hand every message to
//                   the receive machine, which reads each block straight into
//                   the pool buffer;
//   "KPX ch4 ntfy"  tells the notify receiver that the camera's transfer
//                   status changed;
//   "KPX ch4 dlvr"  hands finished images to the image receiver and reports
//                   progress.
//
// While the application holds both pool buffers (images it has not released),
// the next image stays unacknowledged and the camera waits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "Agents/ImageTransfer/KPXImageReceive.h"
#include "Agents/ImageTransfer/KPXImageTransferMachine.h"
#include "Agents/ImageTransfer/KPXTwoSubChannelAgent.h"
#include "Channel/KPXAgent.h"
#include "Channel/KPXChannel.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Q7UniversalProgress.h"
#include "Transport/BufferPool.h"

namespace Q7::KPX
{

class ChannelTransport;

/// The agent's own time limits. The defaults are the protocol's; tests
/// shorten them.
struct ImageTransferTimings
{
    std::uint32_t subChannelOpenWaitMs = 1000; ///< Open: each sub-channel must be open in time
    std::uint32_t requestImageWaitMs = 2000;   ///< RequestImage: wait for the camera's reply
    /// A message whose header arrived: each further read of it (up to 1 MiB)
    /// must complete within this, or both sub-channels are closed and opened
    /// again (a camera that stalls in the middle of an image).
    std::uint32_t messageReadTimeoutMs = 10000;
    /// A transfer's inactivity limit and the wait of a DataEnd for its blocks.
    ImageTransferMachineTimings transfer;
};

/// The agent of channels 4.1 and 4.2.
///
/// Life cycle: constructed (channels started, not open, no threads) -> Open
/// (threads run, sub-channels open) -> SetTransferEnabled(true) -> images ->
/// StopThreads -> Open again as often as wanted -> destroyed (stops first).
///
/// Threads: every public member may be called from any thread (thread-safe).
/// Open, StopThreads, SetImageReceiver and SetNotifyReceiver are serialised by
/// the agent lock and refuse to run on one of the agent's own threads (they
/// wait for those threads). The image receiver runs on "KPX ch4 dlvr" under
/// the receiver lock, the notify receiver on "KPX ch4 ntfy" under its lock,
/// the progress callback on "KPX ch4 dlvr"; none under another lock of the
/// agent. Errors met on the agent's threads go to the error callback (this
/// object's dispatcher), on those threads.
class ImageTransferAgent : public Universal::ProgressProvider, public TwoSubChannelAgent
{
public:
    /// The agent's notification: the camera's transfer status changed; the
    /// payload points at a TransferStatus, valid during the call only.
    enum EnumNotify : std::uint32_t
    {
        kNotify_TransferStatusChanged = 1,
    };
    using NotifyReceiver = Universal::FunctionPointer2<void, EnumNotify, const void*>;
    using ProgressFunction = std::function<void(const Universal::ProgressTask&)>;

    /// Builds 4.1 and 4.2 on their transports (which must outlive the agent)
    /// with the handshake `channelTimings`, declares message protocol 1.0 on
    /// both, starts both channels and makes the pool on `allocator` (null:
    /// the heap). Raises what starting a channel raises.
    ImageTransferAgent(std::shared_ptr<IAllocator<unsigned char>> allocator, ChannelTransport& firstTransport,
                       ChannelTransport& secondTransport, const ChannelTimings& channelTimings = {},
                       const ImageTransferTimings& timings = {});
    /// StopThreads. Images still held by the application keep their buffers
    /// (they are freed when released).
    ~ImageTransferAgent() override;

    /// Starts the six threads unless they all run: stops what is left of an
    /// earlier run and checks that 4.1 opens (opening and closing it once).
    /// When the camera refuses it (or the open fails), returns with no thread
    /// running (AreThreadsRunning false); a refusal because of the
    /// authentication code (ModuleError 0x15E0010) or the camera's connection
    /// limit (0x15E000F) is raised instead. Then starts the threads and waits
    /// up to the sub-channel wait for 4.1, then 4.2, to be open: raises
    /// ModuleError 0x15E0019 "KPX ch4 One of the ImageTransfer sub-channels
    /// could not open!" (logged) when one is not. Every error stops the
    /// threads again. Raises ModuleError 0x650066 on one of the agent's own
    /// threads. Blocks.
    void Open();

    /// Closes both sub-channels and stops and releases the six threads,
    /// logging the error "Thread '%ls' taking an unexpectedly long time to
    /// stop." after every 10 s that a thread takes. Images queued for delivery
    /// stay queued until the threads run again. Raises only ModuleError
    /// 0x650066 on one of the agent's own threads (nothing is stopped then).
    /// Blocks.
    using TwoSubChannelAgent::StopThreads;

    /// All six threads run.
    using TwoSubChannelAgent::AreThreadsRunning;
    /// The caller is one of the agent's threads (a receiver or callback).
    using TwoSubChannelAgent::IsOwnThread;
    /// Raises ModuleError 0x650066 (logged) with `what` in its detail on one of
    /// the agent's threads: operations that wait for those threads refuse to
    /// run there.
    using TwoSubChannelAgent::RefuseOwnThread;

    /// Stores the host's wish and queues EnableTransfer; the camera answers
    /// with its status (a notification when it changed).
    void SetTransferEnabled(bool enabled);
    /// The host's wish is on and all six threads run.
    [[nodiscard]] bool IsTransferEnabled() const;
    /// Stores the host's storage size (megabytes) and queues SetHostStorageSize.
    void SetHostStorageSize(std::uint32_t megabytes);
    /// Queues GetStatus and answers the storage size the camera reported last.
    std::uint32_t GetHostStorageSize();
    /// Queues GetStatus and answers the camera's pending images plus those not
    /// yet handed on here.
    std::uint32_t GetPendingImageCount();
    /// Queues GetStatus and fills the status as known now.
    void GetTransferStatus(TransferStatus& status);

    /// Asks the camera to send a stored image: queues RequestImage and waits
    /// up to the request wait for a reply; the oldest reply answers (it is not
    /// matched with the id: a late reply answers the next request). True when
    /// it accepted the request; false without the send thread, on time-out or
    /// refusal. Raises StdExceptionError for a standard exception. Blocks.
    bool RequestImage(std::uint32_t imageId);

    /// Stops the threads (StopThreads), then replaces the image receiver. The
    /// threads stay stopped until the next Open.
    void SetImageReceiver(ImageReceiver receiver);
    /// Replaces the notify receiver (a clone; an empty or unbound one removes
    /// it). Waits while the receiver runs.
    void SetNotifyReceiver(const NotifyReceiver& receiver);
    /// Installs the progress callback of image transfers (the transfer
    /// provider's). Waits while a notification runs.
    void SetProgressCallback(const ProgressFunction& callback) override;
    using Universal::ProgressProvider::SetProgressCallback;

    /// The agent's pool (for the receivers' packages).
    [[nodiscard]] BufferPool& GetPool() noexcept { return m_pool; }
    /// The receive machine (for tests).
    [[nodiscard]] ImageTransferMachine& GetMachine() noexcept { return m_machine; }

private:
    // Thread bodies.
    void ControlThread(Platform::Thread_Posix& thread, void* parameter);
    void SendThread(Platform::Thread_Posix& thread, void* parameter);
    void ReceiveThread(Platform::Thread_Posix& thread, void* parameter);
    void NotifyThread(Platform::Thread_Posix& thread, void* parameter);
    void DeliverThread(Platform::Thread_Posix& thread, void* parameter);
    void ControlLoop(Platform::Thread_Posix& thread);
    void SendLoop(Platform::Thread_Posix& thread);
    void ReceiveLoop(Platform::Thread_Posix& thread, std::uint32_t subChannel);
    void Deliver(ImageReceivePackage& package);

    // The channel cycle.
    void CloseChannels(bool stopPeers);
    void ResetTransferStatus();
    bool OpenChannels(Platform::Thread_Posix& thread);
    void ShutDownChannels(bool stopPeers) override;
    void AfterThreadsStopped() override;

    // Outgoing messages (Queue in the base), queued only while the send
    // thread runs.
    void QueueGetStatus();

    // ImageTransferReplies.
    void SendDataBeginAck(std::uint32_t dataId) override;
    void SendDataEndAck(std::uint32_t dataId) override;
    void SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received) override;

    const ImageTransferTimings m_timings;
    BufferPool m_pool;
    ImageTransferMachine m_machine;

    Platform::Mutex_Posix m_notifyReceiverLock; // guards m_notifyReceiver; held while it runs
    NotifyReceiver m_notifyReceiver;

    // The channel cycle between the threads (manual reset, no lock).
    Platform::EventCondition_Posix m_firstOpen;     // set while 4.1 is open (its reader runs)
    Platform::EventCondition_Posix m_channelsOpen;  // set while both sub-channels are open
    Platform::EventCondition_Posix m_channelsReset; // set while they are closed or closing
};

} // namespace Q7::KPX
