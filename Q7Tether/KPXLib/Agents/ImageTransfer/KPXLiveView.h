// The live-view agent of channel 5: it starts, pauses and stops live view on
// the camera, keeps the camera's live-view capabilities, configuration,
// control state and time, reports their changes, and receives the frames. It
// owns sub-channels 5.1 (control, and every message this side sends) and 5.2
// (the frames), a pool of two frame buffers, and six threads:
//   "KPX ch5 ctrl"  opens both sub-channels (again after every failure, one
//                   second apart), asks for capabilities and configuration,
//                   tells the camera the control state, and waits for a pool
//                   buffer for a frame whose DataBegin found none free;
//   "KPX ch5 send"  writes the queued messages on 5.1;
//   "KPX ch5 rcv1", "KPX ch5 rcv2"  read 5.1 and 5.2: class 0x69 here, the
//                   data transfers in the image-transfer machine's live-view
//                   variant (blocks straight into the pool buffer). The
//                   thread that read a DataBegin takes a free pool buffer for
//                   it and writes the DataBeginAck itself; the one that read
//                   the DataEnd writes the DataEndAck and queues the frame
//                   for delivery. An acknowledgement goes out from that
//                   thread when nothing is queued ahead of it and the pipe
//                   takes it at once, else through the send thread;
//   "KPX ch5 ntfy"  tells the notify receiver of state, capabilities and
//                   configuration changes;
//   "KPX ch5 dlvr"  hands each frame to the image receiver while live view
//                   runs, and drops it otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "Agents/ImageTransfer/KPXImageReceive.h"
#include "Agents/ImageTransfer/KPXImageTransferMachine.h"
#include "Agents/ImageTransfer/KPXLiveViewAutoFormat.h"
#include "Agents/ImageTransfer/KPXLiveViewMessages.h"
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

/// The live-view agent's waits. The defaults are the protocol's; tests
/// shorten them.
struct LiveViewTimings
{
    std::uint32_t goAheadWaitMs = 1000;   ///< Start: the control thread's first requests sent
    std::uint32_t retrieveWaitMs = 1000;  ///< Retrieve*: the first reply; older replies are refreshed
    std::uint32_t subChannelWaitMs = 500; ///< a request: 5.1 must be open
    std::uint32_t timeWaitMs = 100;       ///< RetrievePreciseTime: the time reply
    std::uint32_t stopWindowMs = 500;     ///< control replies ignored after a local Stop
    std::uint32_t reopenWaitMs = 1000;    ///< the control thread after a failed open
    /// A message whose header arrived: each further read of it must complete
    /// within this, or both sub-channels are closed and opened again.
    std::uint32_t messageReadTimeoutMs = 10000;
    /// A frame's inactivity limit and the wait of a DataEnd for its blocks.
    ImageTransferMachineTimings transfer;
};

/// The agent of channels 5.1 and 5.2.
///
/// Life cycle: constructed (channels started, not open, no threads) -> Open
/// (threads run; the control thread opens the sub-channels) -> Start / Pause
/// / Stop as often as wanted -> StopThreads -> Open again -> destroyed
/// (stops first).
///
/// Threads: every public member may be called from any thread. Open,
/// StopThreads and SetImageReceiver are serialised by the agent lock and
/// raise ModuleError 0x650066 on one of the agent's own threads (they wait
/// for those threads). The image receiver runs on "KPX ch5 dlvr" under the
/// receiver lock, the notify receiver on "KPX ch5 ntfy" under its lock; from
/// there the requests (Start, Pause, Stop, Retrieve*, Set*, UpdateAutoFormat)
/// may be used. Errors of the agent's threads go to the error callback, on
/// those threads.
class LiveViewAgent : public Universal::ProgressProvider, public TwoSubChannelAgent
{
public:
    /// The notifications. Kind 1 carries the new control state in the payload
    /// pointer itself (reinterpret it as an integer); 2 and 3 point at a copy
    /// of the Capabilities or Configuration, valid during the call only.
    enum EnumNotify : std::uint32_t
    {
        kNotify_StateChanged = 1,
        kNotify_CapabilitiesChanged = 2,
        kNotify_ConfigurationChanged = 3,
    };
    using NotifyReceiver = Universal::FunctionPointer2<void, EnumNotify, const void*>;

    /// Builds 5.1 and 5.2 on their transports (which must outlive the agent),
    /// declares message protocols 1.0, 1.1 and 1.2 on 5.1 and 1.0 on 5.2,
    /// starts both channels and makes the pool on `allocator` (null: the
    /// heap). Raises what starting a channel raises.
    LiveViewAgent(std::shared_ptr<IAllocator<unsigned char>> allocator, ChannelTransport& firstTransport,
                  ChannelTransport& secondTransport, const ChannelTimings& channelTimings = {},
                  const LiveViewTimings& timings = {});
    /// StopThreads. Frames still held by the application keep their buffers.
    ~LiveViewAgent() override;

    /// Starts the six threads unless they all run: stops what is left of an
    /// earlier run and checks that 5.1 opens (opening and closing it once);
    /// when it does not, returns with no thread running (IsRunning false). A
    /// refusal because of the authentication code (ModuleError 0x15E0010) or
    /// the camera's connection limit (0x15E000F) is raised. Blocks.
    void Open();
    /// Closes both sub-channels and stops the six threads, logging "Thread
    /// '%ls' taking an unexpectedly long time to stop." after every 10 s that
    /// one takes. Raises only ModuleError 0x650066 on one of the agent's own
    /// threads. Blocks.
    using TwoSubChannelAgent::StopThreads;
    /// All six threads run.
    [[nodiscard]] bool IsRunning() const;

    /// Waits up to the go-ahead wait for the control thread's first requests
    /// (else logs the warning "Timed out while trying to start LiveView.
    /// ControlThread did not become ready in time!"), then sets state 1 and
    /// sends SetControl(1). Raises as the requests below. Blocks.
    void Start();
    /// Unless stopped: state 2 and SetControl(2).
    void Pause();
    /// State 0, the automatic format's calibration reset, SetControl(0);
    /// control replies within the stop window are ignored. Raises nothing
    /// (errors are logged as ModuleError 0x6500CB "KPX ch5 stop capture").
    void Stop() noexcept;

    /// Sends the configuration when a configuration reply has arrived and it
    /// differs from the cached one, and caches it once sent. Raises ModuleError
    /// 0x15E0019 "Could not send LiveVIew config object, send thread is not
    /// running!" when it could not be sent (the cache is unchanged then).
    void SetConfiguration(const LiveView::Configuration& configuration);
    /// Sends SetWhiteBalancePoint; false without the send thread.
    bool SetWhiteBalancePoint(std::uint32_t x, std::uint32_t y);
    /// Bit 0 of RetrieveCapabilities' flags.
    bool IsWhiteBalancePointSupported();

    /// The cached record once a reply arrived since the last shutdown (a reply
    /// older than the retrieve wait is refreshed in the background); before
    /// that, asks and waits up to the retrieve wait. Raises ModuleError
    /// 0x6500CA "Cannot retrieve live view capabilities timed out (after 1
    /// sec)", "Cannot retrieve live view configuration." or "Cannot retrieve
    /// live view state." when nothing came. Blocks.
    LiveView::Capabilities RetrieveCapabilities();
    LiveView::Configuration RetrieveConfiguration();
    std::uint32_t RetrieveState();
    /// Asks for the camera's live-view time and waits up to the time wait for
    /// this call's reply; false (with the warning "Cannot retrieve precise live
    /// view time.") when it cannot be sent, false when no reply came. Blocks.
    bool RetrievePreciseTime(std::uint32_t& time);

    /// Switches the automatic format. `resetOnly` only clears the calibration.
    /// Enabling below protocol 1.2 raises ModuleError 0x15E001D "KPX ch5 Auto
    /// format not supported in this protocol version."; enabling asks for
    /// JPEG frames first, and is ignored when the camera offers no JPEG
    /// (its capabilities are waited for as RetrieveCapabilities does, and
    /// its errors raised).
    void SetAutoFormat(bool enable, bool resetOnly = false);
    /// Whether the automatic format is on.
    [[nodiscard]] bool IsAutoFormat() const;
    /// Feeds a delivered frame's figures to the automatic format and carries
    /// out what it asks (format, compression quality). Thread-safe.
    void UpdateAutoFormat(std::uint32_t word37, std::uint32_t payloadSize, std::uint32_t imageSize,
                          bool jpeg);
    /// The current configuration with `format`.
    void SetFormat(std::uint32_t format);
    /// The current configuration with the quality clamped into the camera's
    /// bounds (ModuleError 0x15E001D with the bound's reason below 1.2).
    void SetCompressionQuality(std::uint32_t quality);

    /// Replaces the image receiver (waiting while it runs). Raises
    /// ModuleError 0x650066 on one of the agent's own threads.
    void SetImageReceiver(ImageReceiver receiver);
    /// Replaces the notify receiver (a clone; an empty or unbound one removes
    /// it). Waits while the receiver runs.
    void SetNotifyReceiver(const NotifyReceiver& receiver);

    [[nodiscard]] BufferPool& GetPool() noexcept { return m_pool; }
    [[nodiscard]] ImageTransferMachine& GetMachine() noexcept { return m_machine; }

private:
    // Thread bodies.
    void ControlThread(Platform::Thread_Posix& thread, void* parameter);
    void SendThread(Platform::Thread_Posix& thread, void* parameter);
    void ReceiveThread(Platform::Thread_Posix& thread, void* parameter);
    void NotifyThread(Platform::Thread_Posix& thread, void* parameter);
    void DeliverThread(Platform::Thread_Posix& thread, void* parameter);
    void ControlLoop(Platform::Thread_Posix& thread);
    // The control thread's part of the frames: waits for a frame whose
    // receive thread found no free pool buffer (m_bufferWanted), then for a
    // buffer, until one of stopObjects is signalled; now and then it ends a
    // frame that went quiet (the machine's CheckDeadlines).
    void ServeWaitingFrames(const WaitObjectList& stopObjects);
    // A receive thread's part of the frames, after each data-transfer
    // message: a begun frame gets a free pool buffer and its DataBeginAck (or
    // is left to the control thread when none is free), an ended one is
    // acknowledged and queued for delivery.
    void ServeFrame();
    void SendLoop(Platform::Thread_Posix& thread);
    void ReceiveLoop(Platform::Thread_Posix& thread, std::uint32_t subChannel);
    void Deliver(ImageReceivePackage& package);

    // The channel cycle.
    enum class OpenResult
    {
        kOpened,
        kRefused,      // a sub-channel did not open: try again later
        kNotConnected, // the pipe is gone: the threads end
        kStopped,
    };
    void Shutdown(bool stopPeers);
    void ResetRecords();
    OpenResult OpenChannels(Platform::Thread_Posix& thread);
    void ShutDownChannels(bool stopPeers) override;
    void AfterThreadsStopped() override;

    // Class 0x69 from the camera.
    bool HandleLiveViewMessage(const CommonMessageHeader& header, MessageSource& source);
    void OnCapabilities(const LiveView::CapabilitiesMessage& message);
    void OnConfiguration(const LiveView::ConfigurationMessage& message);
    void OnControl(std::uint32_t control);
    void OnTime(std::uint32_t time);

    // Outgoing messages (Queue in the base): false without the send thread.
    // Request waits for 5.1 to be open first (internal error 0x65006B on
    // time-out). WriteOrQueue: as Queue, but written from the calling thread while the sub-channels
    // are open and nothing is queued ahead (WriteOrPush).
    template <typename... Args>
    bool WriteOrQueue(MessageBytes message, const wchar_t* format, Args... args);
    bool Request(MessageBytes (*make)(ProtocolVersion), const wchar_t* description);
    void WaitForControlChannel();
    bool SendSetControl(std::uint32_t state);
    bool SendConfiguration(const LiveView::Configuration& configuration);
    // State lock held.
    void SetStateLocked(std::uint32_t state);

    // ImageTransferReplies, on 5.1. Called under the machine's locks: none
    // waits for the wire (the acknowledgements are written at once or
    // queued, the others queued).
    void SendDataBeginAck(std::uint32_t dataId) override;
    void SendDataEndAck(std::uint32_t dataId) override;
    void SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received) override;

    const LiveViewTimings m_timings;
    BufferPool m_pool;
    ImageTransferMachine m_machine;

    Platform::Mutex_Posix m_notifyReceiverLock; // guards m_notifyReceiver; held while it runs
    NotifyReceiver m_notifyReceiver;

    // The channel cycle between the threads (manual reset, no lock).
    Platform::EventCondition_Posix m_channelsOpen; // set while both sub-channels are open
    Platform::EventCondition_Posix m_wakeUp;       // set while they are closed or closing
    Platform::EventCondition_Posix m_goAhead;      // the control thread sent its first requests
    // A receive thread found no free pool buffer for a begun frame: the
    // control thread waits for one (manual reset, no lock).
    Platform::EventCondition_Posix m_bufferWanted;
    Platform::EventCondition_Posix m_noWait; // always set: a pool request that must not wait
    const WaitObjectList m_noWaitObjects{&m_noWait};
    // Abort a write from a receive or control thread (WriteOrQueue).
    const WaitObjectList m_directAborts{&m_sendThread.GetStopEvent(), &m_wakeUp};

    // Capabilities.
    mutable Platform::Mutex_Posix m_capabilitiesLock; // guards the three fields below
    LiveView::Capabilities m_capabilities;
    std::uint64_t m_capabilitiesTimeMs = 0;
    Platform::EventCondition_Posix m_capabilitiesReply; // a reply arrived since the last shutdown
    Platform::EventCondition_Posix m_capabilitiesChanged;

    // Configuration and the automatic format.
    mutable Platform::Mutex_Posix m_configurationLock; // guards the fields below up to m_autoFormat
    LiveView::Configuration m_configuration;
    std::uint64_t m_configurationTimeMs = 0;
    LiveView::AutoFormat m_autoFormat;
    std::atomic<std::uint32_t> m_compQuality{0}; // the current compression quality
    Platform::EventCondition_Posix m_configurationReply;
    Platform::EventCondition_Posix m_configurationChanged;

    // Time.
    Platform::Mutex_Posix m_timeLock; // guards m_currentTime
    std::uint32_t m_currentTime = 0;
    Platform::EventCondition_Posix m_timeReply;

    // Control state and the pending local stop.
    mutable Platform::Mutex_Posix m_stateLock; // guards the fields below
    std::uint32_t m_state = LiveView::kLiveViewState_Stop;
    std::uint64_t m_stateTimeMs = 0;
    bool m_pendingStop = false;
    std::uint64_t m_pendingStopUs = 0;
    Platform::EventCondition_Posix m_stateReply;
    Platform::EventCondition_Posix m_stateChanged;
};

} // namespace Q7::KPX
