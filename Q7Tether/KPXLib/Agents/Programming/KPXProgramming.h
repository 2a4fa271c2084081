// The agent of channel 1.0, the programming channel: it sends files and
// firmware images to the camera and downloads the camera's logs, as data
// transfers (DataBegin, DataBlock..., DataEnd and their acknowledgements).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Agents/Programming/KPXProgrammingTransfer.h"
#include "Channel/KPXAgent.h"
#include "Channel/KPXSendWindow.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Q7UniversalProgress.h"

namespace Q7::KPX
{

class ChannelTransport;

/// The agent's own time limits and its upload window. The defaults are the
/// protocol's and the library's; tests shorten them.
struct ProgrammingTimings
{
    std::uint32_t getLogReplyMs = 5000;   ///< GetLog sent: wait for the GetLogAck
    std::uint32_t beginTransferMs = 5000; ///< GetLogAck taken: wait for the DataBegin
    std::uint32_t queueDrainMs = 5000;    ///< a download ends: wait for its last message to go out
    /// An upload's DataBlocks queued or being written at once (at least 1):
    /// the agent keeps this many block buffers, and a camera's DataAbort or
    /// DataError stops an upload within this many blocks.
    std::uint32_t uploadWindowBlocks = 4;
};

/// The programming agent.
///
/// Life cycle: constructed (channel started, no threads) -> Start (the threads
/// "KPX ch1 send" and "KPX ch1 recv" run; the receive thread asks for channel
/// 1.0 and the send thread opens it) -> transfers -> Stop (or by itself: after
/// a send that completed, or when the channel cannot be opened again) ->
/// Start again, or destroyed. Every close of the channel abandons the transfer
/// in progress.
///
/// Threads: Start, Stop and the transfer operations are serialised by the
/// agent lock for their whole duration (thread-safe; Stop during a transfer
/// waits for it). Errors met on the agent's threads (a malformed message, a
/// failed write) go to its error dispatcher; the receive thread then closes
/// the channel and opens it again. Progress callbacks run on the thread of the
/// transfer operation, with the agent lock held: a callback must not wait for
/// another thread that calls this agent.
class ProgrammingAgent : public Universal::ErrorDispatcher,
                         public Universal::ProgressProvider,
                         public BaseAgent,
                         private ProgrammingReplies
{
public:
    /// DataBegin type and progress type of a firmware image sent from memory.
    static constexpr std::uint32_t kFirmwareDataType = 102;
    /// The largest DataBlock a send cuts; announced in the DataBegin.
    static constexpr std::uint32_t kMaxBlockSize = 0x01000000;
    /// The largest log a download accepts (1000 MiB).
    static constexpr std::uint32_t kMaxLogSize = 0x3E800000;
    /// The largest file SendFile and SendFirmwareFile read (a signed 32-bit size).
    static constexpr std::int64_t kMaxFileSize = 0x7FFFFFFF;
    /// The most a download reserves for what a DataBegin announces before any
    /// block arrived (64 MiB); larger logs grow as their blocks come.
    static constexpr std::uint32_t kMaxAnnouncedReserve = 0x04000000;

    /// Builds channel 1.0 on the transport (which must outlive the agent) with
    /// the handshake's time limits, starts the channel and declares the message
    /// protocol versions 1.0 and 2.0. Raises what starting the channel raises.
    explicit ProgrammingAgent(ChannelTransport& transport, const ChannelTimings& channelTimings = {},
                              const ProgrammingTimings& timings = {});
    /// Stops the agent (see Stop).
    ~ProgrammingAgent() override;

    /// Brings the threads up: nothing when they run; otherwise stops, probes
    /// the channel (opens and closes it) and starts both threads. A probe open
    /// that answers non-zero returns without an error and without threads
    /// (IsStarted tells). Raises ModuleError 0x650066 "KPX ch1 failed to start
    /// all threads." (logged) when not both threads run, and what the probe
    /// open raises (Channel::Open), each after stopping again. Blocks.
    /// Thread-safe.
    void Start();
    /// Closes the channel, stops the send thread, then the receive thread,
    /// posting "Thread '%ls' taking an unexpectedly long time to stop." after
    /// each 10-second wait that ends with the thread alive. A transfer in
    /// progress ends first (failed): the threads' stop events and the closed
    /// event are set before the agent lock is taken, and every wait of a
    /// transfer ends on them, also with a camera that never answers. Blocks.
    /// Thread-safe.
    void Stop();
    /// Both threads run. Thread-safe.
    [[nodiscard]] bool IsStarted() const;

    /// Sets the error callback on the agent and on its channel. Blocks while a
    /// dispatch of either runs. Thread-safe.
    void SetErrorCallback(const Universal::ErrorCallback& callback) override;
    /// As above, for a callback given as a function.
    void SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback) override;

    /// Cancels the task of `type` and `id` on the agent's own provider and on
    /// its file and firmware providers. When it is the task of the send in
    /// progress, that send ends promptly as cancelled: the camera gets a
    /// DataAbort, the task stops aborted and SendData answers false. Takes
    /// neither the agent lock nor the data lock, so it never waits for a
    /// transfer. Thread-safe, also from a progress callback.
    void CancelTask(std::uint32_t type, std::uint32_t id) override;

    /// Installs the progress callback of SendData (and so SendFile).
    /// Thread-safe.
    void SetFileProgressCallback(std::function<void(const Universal::ProgressTask&)> callback);
    /// Installs the progress callback of SendFirmware (and so SendFirmwareData
    /// and SendFirmwareFile). Thread-safe.
    void SetFirmwareProgressCallback(std::function<void(const Universal::ProgressTask&)> callback);

    /// Sends `size` bytes at `data` as one data transfer of `type`, named
    /// `name` (sent as UTF-8 with a terminating zero; null or empty: no name),
    /// cut into DataBlocks of at most kMaxBlockSize, reporting progress to the
    /// file progress provider (a task of `type`: started at position 0, moved
    /// to the bytes written as blocks go out, in steps of a hundredth, stopped
    /// completed on success). Each block is copied into one of the agent's
    /// block buffers, which are reused, and at most
    /// ProgrammingTimings::uploadWindowBlocks are queued or being written at
    /// once: `data` is read only during the call.
    /// Answers true when the camera acknowledged the end of this transfer (the
    /// threads then end by themselves). Answers false, sending nothing, for
    /// 4 GiB or more (with the error line "KPX ch1 cannot send %llu bytes in one
    /// transfer."); false when the channel does not open, when the camera
    /// refuses, aborts or fails the transfer, when an abort object fires or the
    /// channel closes; after a false answer the direction stays sending until
    /// the channel closes (Stop). Raises ModuleError 0x650066 "Another data
    /// transfer is active." (logged) while a transfer is in progress, and
    /// ModuleError 0x650001 (logged) for null data of a non-zero size; a
    /// standard exception is raised as StdExceptionError (internal error).
    /// Every wait has no time limit but the abort objects. Blocks.
    /// Thread-safe.
    bool SendData(std::uint32_t type, const WaitObjectList& abortObjects, const std::uint8_t* data,
                  std::uint64_t size, const wchar_t* name);

    /// SendFirmware of type kFirmwareDataType. Blocks. Thread-safe.
    bool SendFirmwareData(const WaitObjectList& abortObjects, const std::uint8_t* data, std::uint64_t size);
    /// SendData named ".fwr", reporting to the firmware progress provider.
    /// Blocks. Thread-safe.
    bool SendFirmware(std::uint32_t type, const WaitObjectList& abortObjects, const std::uint8_t* data,
                      std::uint64_t size);

    /// Reads the whole file at `path` and sends it with SendData named `path`
    /// (SendFile) or with SendFirmware (SendFirmwareFile); answers the send's
    /// result, false for a null path. Raises StandardError (logged, the path as
    /// context) "Failed to open file.", "Failed to seek to end of file.",
    /// "Failed to read file size." (EOVERFLOW above kMaxFileSize), "Failed to
    /// seek to beginning of file." and "Failed to read file."; ModuleError
    /// 0x650005 "Invalid file size." (logged, the path as context) for an empty
    /// file; then what the send raises. Blocks. Thread-safe.
    bool SendFile(std::uint32_t type, const wchar_t* path, const WaitObjectList& abortObjects);
    bool SendFirmwareFile(std::uint32_t type, const wchar_t* path, const WaitObjectList& abortObjects);

    /// Downloads one of the camera's logs into `out`: kind 1 asks for log id
    /// 1, kind 2 for log id 104, any other kind for that id. With `descramble`
    /// the bytes are unscrambled. The blocks land straight in `out`'s own
    /// storage, so a vector reused from one download to the next costs no
    /// fresh memory; a DataBegin's announced size alone reserves at most
    /// kMaxAnnouncedReserve bytes, the rest grows as blocks arrive. On failure
    /// `out` is left empty. On every way out the transfer is reset and the
    /// last DataEndAck or DataAbort is written before the call returns (within
    /// ProgrammingTimings::queueDrainMs). Raises (all ModuleError):
    /// - 0x15E0019 "Programming agent not started." and "No channel open
    ///   event." (internal errors);
    /// - 0x650066 "Another data transfer is active." (logged);
    /// - 0x6500CF "Device did not respond to get log request." (logged, after
    ///   the GetLogAck time limit), "Device did not begin transfer of log."
    ///   (logged, after the DataBegin time limit) and "Device did transfer log
    ///   in specified time." (logged, after the DataBegin's own time-out);
    /// - 0x6500CC "Unexpected log id in get log acknowledge." and "Unexpected
    ///   data id in data begin message." (logged); "getlogAck rewsut != ok."
    ///   (internal error, after the warning "KPX ch1 get log ack result =
    ///   '%ls'"), "Device did not receive getlogAck.", "Data state !=
    ///   DataStateBegin.", "eventDataStateChange not set.", "eventDataStateChange
    ///   not set" and "Data state != DATA_STATE_END." (internal errors: a camera
    ///   that aborts or fails the transfer, a closed channel, an abort object);
    /// - 0x650066 "Invalid buffer." (internal error);
    /// - 0x650067 "Device log file is too large." (logged) above kMaxLogSize;
    /// - a standard exception as StdExceptionError (internal error).
    /// Blocks. Thread-safe.
    void DownloadLog(std::vector<std::uint8_t>& out, std::uint32_t kind, const WaitObjectList& abortObjects,
                     bool descramble);

    /// DownloadLog, then writes the bytes to a new file at `path`, posting
    /// "Downloading file (%u bytes) to \"%ls\"". Answers true. Raises what
    /// DownloadLog raises, StandardError "Failed to open file." (logged), and
    /// StandardError (logged, the path as context) when not every byte is
    /// written. Blocks. Thread-safe.
    bool DownloadLogToFile(std::uint32_t kind, const wchar_t* path, const WaitObjectList& abortObjects,
                           bool descramble);

private:
    // ProgrammingReplies: the message writers. Each queues its message with its
    // description and no time-out; nothing when the send thread does not run.
    void SendDataBeginAck(std::uint32_t dataId) override;
    void SendDataEnd(std::uint32_t dataId, std::uint64_t totalSize) override;
    void SendDataEndAck(std::uint32_t dataId) override;
    void SendDataAbort(std::uint32_t dataId) override;
    void SendDataError(std::uint32_t dataId, std::uint32_t errorId,
                       const CommonMessageHeader& received) override;
    void SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received) override;
    ProtocolVersion GetMessageVersion() const override;
    void SendDataBegin(std::uint32_t dataId, std::uint32_t type, std::uint64_t maxDataSize,
                       std::uint32_t attributes, const std::string& name);
    // Queues the DataBlock built in `buffer` (its fixed part, then `size`
    // bytes); the buffer goes back to the window when the command is done.
    void SendDataBlock(std::uint32_t dataId, SendWindow::Buffer buffer, std::uint32_t size);
    void SendGetLog(std::uint32_t logId);
    template <typename... Args>
    void Queue(MessageBytes message, const wchar_t* description, Args... args);

    // The steps of SendData and SendFirmware.
    bool RunSend(std::uint32_t type, const WaitObjectList& abortObjects, const std::uint8_t* data,
                 std::uint64_t size, const std::string& name, Universal::ProgressProvider& provider);
    // While it lives, makes a send's task the one CancelTask ends.
    class RunningTaskScope;
    bool SendFileContents(std::uint32_t type, const wchar_t* path, const WaitObjectList& abortObjects,
                          bool firmware);
    std::vector<std::uint8_t> ReceiveLog(std::uint32_t logId, const WaitObjectList& abortObjects,
                                         std::vector<std::uint8_t>& out);
    // Waits without limit until the channel is open for the agent; false when
    // an abort object, a stop event or the end of a thread came first.
    bool WaitForOpenedChannel(const WaitObjectList& abortObjects);
    // Waits for `signal` (the data-state event, the log event): true when it
    // came, false when an abort object, the closed event or a cancel of the
    // running send came first; none on time-out.
    std::optional<bool> WaitForSignal(const WaitObjectList& abortObjects, Platform::BaseWaitObject& signal,
                                      std::uint32_t timeoutMs);
    // Waits without limit for a change of the data state or of the upload
    // window: true when one came, false when an abort object, the closed
    // event or a cancel of the running send came first.
    bool WaitForSendProgress(const WaitObjectList& abortObjects);
    // Queues the blocks of a send whose DataBeginAck arrived, at most a window
    // of them out at once, reporting the bytes written; false when the send
    // ended otherwise (camera, channel, abort object or cancel).
    bool SendBlocks(std::uint32_t dataId, const WaitObjectList& abortObjects, const std::uint8_t* data,
                    std::uint64_t size, Universal::ProgressTask& task);
    // Aborts the send after a failed wait; answers false.
    bool GiveUpSend(const WaitObjectList& abortObjects);
    // The camera's DataBegin arrived: announces the destination, grown from
    // `out`'s storage, and acknowledges the begin.
    TransferBuffer AcceptLogBegin(std::uint32_t dataId, std::vector<std::uint8_t>& out);
    void WaitForSendQueueDrain(const WaitObjectList& abortObjects, std::uint32_t timeoutMs) noexcept;

    // The channel between the two threads.
    void SendThreadBody(Platform::Thread_Posix& thread, void* parameter);
    void RecvThreadBody(Platform::Thread_Posix& thread, void* parameter);
    void ReceiveMessages(Platform::BaseEventCondition& stop, const WaitObjectList& abortList);
    bool RequestChannelOpen();
    bool OpenChannelStep(Platform::BaseEventCondition& stop);
    void CloseChannel(bool wake);
    void ResetTransfer();

    const ProgrammingTimings m_timings;
    Platform::Thread_Posix m_sendThread;
    Platform::Thread_Posix m_recvThread;
    Platform::EventCondition_Posix m_opened;      // set while channel 1.0 is open for the agent
    Platform::EventCondition_Posix m_closed;      // set while it is closed
    Platform::EventCondition_Posix m_openRequest; // the receive thread asks the send thread to open
    // The upload's block buffers; shared with the queued blocks, which give
    // their buffers back when they are done.
    const std::shared_ptr<SendWindow> m_window;
    SendMessageQueue m_queue;
    ProgrammingTransfer m_transfer; // the data group: direction, data state, record, GetLogAck
    Universal::ProgressProvider m_firmwareProgress;
    Universal::ProgressProvider m_fileProgress;

    // The task of the send in progress, which CancelTask ends.
    struct RunningTask
    {
        std::uint32_t type = 0;
        std::uint32_t id = 0;
    };
    Platform::Mutex_Posix m_cancelLock; // guards m_runningTask
    std::optional<RunningTask> m_runningTask;
    Platform::EventCondition_Posix m_cancelled; // set when the running send's task is cancelled
};

} // namespace Q7::KPX
