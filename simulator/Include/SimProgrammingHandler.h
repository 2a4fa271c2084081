// Channel 1.0 of the simulated camera, the programming channel: it receives
// files and firmware images from the host as data transfers (DataBegin,
// DataBlock..., DataEnd, each acknowledged) and keeps them for tests to
// compare; it answers GetLog with GetLogAck and sends the log as a data
// transfer (DataBegin, then the blocks and DataEnd once the host acknowledged
// the begin), stopping when the host aborts. A ProgrammingStore shared by the
// handlers of every open holds the logs to serve, what was received, counters
// and the faults to inject.
#pragma once

#include "SimDataTransfer.h"
#include "SimMessageChannelHandler.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace Q7::Sim
{

// Message types of the programming class (0x65); the data-transfer class is
// in SimDataTransfer.h.
inline constexpr std::uint8_t kGetLog = 0x01;
inline constexpr std::uint8_t kGetLogAck = 0x81;

inline constexpr std::size_t kGetLogSize = 20;
inline constexpr std::size_t kGetLogAckSize = 28;
// The largest block a host cuts (and announces in its DataBegin).
inline constexpr std::uint32_t kHostMaxBlockSize = 0x01000000;

// GetLogAck results.
inline constexpr std::uint32_t kLogResultOk = 0;
inline constexpr std::uint32_t kLogResultNotExist = 1;
inline constexpr std::uint32_t kLogResultNotAvailable = 2;

// Scrambles a log with the camera's key (XOR, so it also unscrambles).
// Reentrant.
void ScrambleLog(std::span<std::uint8_t> bytes);

// Faults of the programming channel. Each applies to the next transfer of its
// direction and is then used up.
enum class ProgrammingFaultKind
{
    // Uploads (host -> camera).
    RefuseUpload,       // a DataAbort instead of the DataBeginAck
    IgnoreUploadBegin,  // no answer at all to the DataBegin
    ErrorOnUploadBegin, // a DataError `errorId` instead of the DataBeginAck
    AbortUpload,        // a DataAbort once `afterBytes` block bytes arrived
    ErrorInUpload,      // a DataError `errorId` once `afterBytes` block bytes arrived
    StallUpload,        // no DataEndAck: the DataEnd is never answered
                        // Downloads (camera -> host).
    RefuseLog,          // a GetLogAck with `result` (not 0)
    IgnoreGetLog,       // no GetLogAck at all
    NoDataBegin,        // the GetLogAck, then nothing
    AnnounceSize,       // the DataBegin announces `announcedSize` bytes (the blocks follow if acknowledged)
    AbortDownload,      // a DataAbort once `afterBytes` bytes were sent
    ErrorInDownload,    // a DataError `errorId` once `afterBytes` bytes were sent
    BlockOutOfRange, // once `afterBytes` bytes were sent, a block that ends one byte past the announced size
    EndSizeMismatch, // a DataEnd announcing one byte more than was sent
    StallDownload,   // nothing more once `afterBytes` bytes were sent, until the host aborts or closes
};

struct ProgrammingFault
{
    ProgrammingFaultKind kind = ProgrammingFaultKind::RefuseUpload;
    std::uint32_t errorId = 0x02000001;
    std::uint64_t afterBytes = 0;
    std::uint32_t result = kLogResultNotExist;
    std::uint64_t announcedSize = 0;
};

// One upload the camera received.
struct Upload
{
    std::uint32_t dataType = 0;
    std::uint32_t dataId = 0;
    std::string name; // without its terminating zero
    std::uint64_t announcedSize = 0;
    std::vector<std::uint8_t> bytes; // empty when the store checks the pattern instead
    std::uint64_t size = 0;          // bytes received
    bool patternMatched = true;      // every byte followed the pattern (when checked)
    bool completed = false;          // the DataEnd matched and was acknowledged
};

// Counters over every open of the channel.
struct ProgrammingCounters
{
    std::size_t uploadsBegun = 0;
    std::size_t uploadEndsReceived = 0;
    std::size_t uploadsCompleted = 0;
    std::size_t uploadsAbortedByHost = 0;
    std::size_t logRequests = 0;
    std::size_t downloadsBegun = 0;        // DataBegin sent
    std::size_t downloadsAcknowledged = 0; // DataBeginAck received
    std::size_t downloadsCompleted = 0;    // DataEndAck received
    std::size_t downloadsAbortedByHost = 0;
    std::uint64_t downloadBytesSent = 0;
    std::uint64_t uploadBytesReceived = 0; // of the current upload
    // Block bytes the host sent for an upload after the camera had ended it
    // (with a DataAbort or a DataError), over every upload.
    std::uint64_t uploadBytesAfterEnd = 0;
};

// What the programming channel serves and what it saw. Thread-safe.
class ProgrammingStore
{
public:
    // The content of a log id; with `scramble` it goes out scrambled.
    void SetLog(std::uint32_t logId, std::vector<std::uint8_t> bytes, bool scramble);
    // Bytes per DataBlock of a download (default 1 MiB).
    void SetDownloadBlockSize(std::uint32_t bytes);
    // The time-out a download's DataBegin announces at offset 44 (default none).
    void SetDownloadTimeout(std::uint32_t ms);
    void AddFault(ProgrammingFault fault);

    std::vector<Upload> Uploads() const;
    // Forgets the uploads received so far.
    void ClearUploads();
    // What the camera does with an upload's bytes (Keep by default; the
    // others, for benchmarks of large uploads, keep only the size).
    enum class UploadHandling
    {
        Keep,         // kept in the Upload record
        CheckPattern, // compared with the test pattern (SimStreamHandler.h) from offset 0 as they arrive
        CountOnly,    // counted, neither kept nor checked (patternMatched stays true)
    };
    void SetUploadHandling(UploadHandling handling);
    ProgrammingCounters Counters() const;
    // Waits until `predicate` holds over the counters; true when it does.
    bool WaitUntil(const std::function<bool(const ProgrammingCounters&)>& predicate,
                   std::chrono::milliseconds timeout) const;

    // --- Used by the handlers.
    // A log as it goes out (scrambled when asked); null when the id has none.
    using LogBytes = std::shared_ptr<const std::vector<std::uint8_t>>;
    LogBytes FindLog(std::uint32_t logId) const;
    UploadHandling GetUploadHandling() const;
    std::uint32_t DownloadBlockSize() const;
    std::uint32_t DownloadTimeout() const;
    std::uint32_t NextDataId();
    // Takes the first fault that applies to an upload (true) or a download (false).
    std::optional<ProgrammingFault> TakeFault(bool upload);
    void AddUpload(Upload upload);
    void Update(const std::function<void(ProgrammingCounters&)>& change);

private:
    mutable std::mutex m_mutex; // guards every field below
    mutable std::condition_variable m_changed;
    std::map<std::uint32_t, LogBytes> m_logs;
    UploadHandling m_uploadHandling = UploadHandling::Keep;
    std::uint32_t m_blockSize = 1024 * 1024;
    std::uint32_t m_timeout = 0xFFFFFFFF;
    std::uint32_t m_nextDataId = 0x100;
    std::deque<ProgrammingFault> m_faults;
    std::vector<Upload> m_uploads;
    ProgrammingCounters m_counters;
};

class ProgrammingHandler : public MessageChannelHandler
{
public:
    explicit ProgrammingHandler(std::shared_ptr<ProgrammingStore> store);
    ~ProgrammingHandler() override;

    void OnOpen(ChannelContext& context) override;
    void OnClose(ChannelContext& context) override;

    // A factory for channel 1.0 whose handlers share `store`.
    static ChannelHandlerFactory Factory(std::shared_ptr<ProgrammingStore> store);

protected:
    bool OnMessage(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message) override;
    // DataBlocks are taken as they arrive: the fixed part whole, then the data.
    std::size_t StreamedPrefix(const MessageHeader& header) override;
    void OnStreamedStart(ChannelContext& context, const MessageHeader& header,
                         std::span<const std::uint8_t> prefix) override;
    void OnStreamedData(ChannelContext& context, const MessageHeader& header,
                        std::span<const std::uint8_t> piece) override;
    void OnStreamedEnd(ChannelContext& context, const MessageHeader& header) override;

private:
    // An upload in progress (receive thread only).
    struct Receiving
    {
        Upload upload;
        std::optional<ProgrammingFault> fault;
        ProgrammingStore::UploadHandling handling = ProgrammingStore::UploadHandling::Keep;
    };

    void OnDataBegin(ChannelContext& context, const MessageHeader& header,
                     std::span<const std::uint8_t> message);
    // A DataBlock whole (OnDataBlock), or in its three steps.
    void OnDataBlock(ChannelContext& context, const MessageHeader& header,
                     std::span<const std::uint8_t> message);
    void BeginBlock(ChannelContext& context, const MessageHeader& header,
                    std::span<const std::uint8_t> fixedPart);
    void BlockData(std::span<const std::uint8_t> data);
    void EndBlock(ChannelContext& context, const MessageHeader& header);
    void OnDataEnd(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message);
    void OnDataIdMessage(ChannelContext& context, const MessageHeader& header,
                         std::span<const std::uint8_t> message);
    void OnDataError(ChannelContext& context, const MessageHeader& header,
                     std::span<const std::uint8_t> message);
    void OnGetLog(ChannelContext& context, const MessageHeader& header,
                  std::span<const std::uint8_t> message);

    // The download's sender thread: blocks and DataEnd.
    void SendDownload(ChannelContext& context);
    void StopDownload();
    // Waits until the download is stopped (host abort or close).
    void WaitForDownloadStop();

    std::shared_ptr<ProgrammingStore> m_store;
    std::optional<Receiving> m_receiving; // receive thread only
    // The last upload the camera ended itself or the host aborted: its blocks
    // still in flight are dropped without complaint (receive thread only).
    std::optional<std::uint32_t> m_lastUploadFailed;
    // Where the data of the DataBlock being received goes (receive thread only).
    enum class BlockTarget
    {
        Ignored,  // a malformed block (reported) or none
        Upload,   // the upload in progress
        AfterEnd, // an upload the camera already ended: counted, dropped
    };
    BlockTarget m_blockTarget = BlockTarget::Ignored;
    std::uint32_t m_blockDataId = 0;

    // The download of this open. The receive thread sets it up before the
    // sender starts and reads `dataId` after; m_downloadMutex guards `stop`.
    struct Sending
    {
        std::uint32_t dataId = 0;
        ProgrammingStore::LogBytes bytes; // as they go out
        std::uint64_t announcedSize = 0;
        std::optional<ProgrammingFault> fault;
        bool acknowledged = false; // receive thread only: DataBeginAck seen
    };
    std::optional<Sending> m_sending;
    std::mutex m_downloadMutex; // guards m_stopDownload
    std::condition_variable m_downloadStopped;
    bool m_stopDownload = false;
    std::thread m_sender;
};

} // namespace Q7::Sim
