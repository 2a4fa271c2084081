// Channels 5.1 and 5.2 of the simulated camera, live view: the camera streams
// LVIM frames to a host that started live view.
//
// The host talks on 5.1 (class 0x69): GetCapabilities, GetConfiguration,
// SetConfiguration (clamped to the capabilities, echoing the host's configID
// from 1.1), GetControl and SetControl (0 stop, 1 start, 2 pause), GetTime
// (milliseconds since the camera started) and SetWhiteBalancePoint (stored).
// Sizes follow the version negotiated on 5.1 (1.0 to 1.2). The frames'
// acknowledgements (DataBeginAck, DataEndAck) and the host's DataAbort and
// DataError come on 5.1 as well.
//
// One LiveViewControl per camera, shared by the handlers of 5.1 and 5.2,
// sends from a thread of its own. While started and both channels are open,
// each frame goes out on 5.2 as a data transfer (DataBegin, a wait for the
// DataBeginAck, blocks, DataEnd, a wait for the DataEndAck), paced or
// unthrottled: an LVIM 1.4 file with a JPEG stream (FF D8 ... FF D9) or RGB24
// pixels as configured, as wide as the preferred dimension, its word 37 the
// set camera frame time and its time stamp the send time. A stop or pause
// abandons an unacknowledged frame with DataAbort. Spread over both
// sub-channels (SpreadOverBothSubChannels), each DataBegin and DataEnd goes
// on 5.1 or 5.2 by a seeded choice and a frame's data on one of them (see
// SimDataSender.h).
//
// Faults (each used up by the next frame, or the next matching request) test
// the host's answers: see LiveViewFaultKind.
#pragma once

#include "SimDataSender.h"
#include "SimMessageChannelHandler.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace Q7::Sim
{

// Message types of the live-view class (0x69).
inline constexpr std::uint8_t kLvGetCapabilities = 0x01;
inline constexpr std::uint8_t kLvGetConfiguration = 0x02;
inline constexpr std::uint8_t kLvSetConfiguration = 0x03;
inline constexpr std::uint8_t kLvGetControl = 0x04;
inline constexpr std::uint8_t kLvSetControl = 0x05;
inline constexpr std::uint8_t kLvGetTime = 0x06;
inline constexpr std::uint8_t kLvSetWhiteBalancePoint = 0x07;
inline constexpr std::uint8_t kLvCapabilities = 0x81;
inline constexpr std::uint8_t kLvConfiguration = 0x83;
inline constexpr std::uint8_t kLvControl = 0x85;
inline constexpr std::uint8_t kLvTime = 0x86;

inline constexpr std::uint32_t kLvFormatRgb24 = 1;
inline constexpr std::uint32_t kLvFormatJpeg = 0x10000;
inline constexpr std::size_t kLvimHeaderSize = 156;

enum class LiveViewFaultKind
{
    AbortMidFrame,      // once `afterBytes` were sent, the camera's DataAbort instead of the rest
    StallMidFrame,      // once `afterBytes` were sent, half a block, then nothing until the channel closes
    DropMidFrame,       // once `afterBytes` were sent, half a block, then the connection drops
    ShortDataEnd,       // a DataEnd announcing one byte fewer than was sent
    MaxDataSize,        // the DataBegin announces `maxDataSize` (0xFFC00001, 2^32, ...)
    BlockBeyondMaxSize, // the last block ends one byte past the announced size
    MalformedLvim,      // the frame fails LVIM check `check` (2 to 16)
    ZeroSizeFrame,      // a transfer of 0 bytes
    ForeignConfigId,    // the next configuration reply carries `configId` instead of the host's
    LateControlReply,   // SetControl(0) is answered first by a control reply of state 1
    EndBesideLastBlock, // the last block's header and first half on 5.2, the DataEnd on 5.1, then (once the
                        // host answered the frame, then 300 ms more, or after 300 ms) the block's second half
};

struct LiveViewFault
{
    LiveViewFaultKind kind = LiveViewFaultKind::AbortMidFrame;
    std::uint64_t afterBytes = 0;
    std::uint64_t maxDataSize = 0;
    int check = 3;
    std::uint16_t configId = 0;
};

// The camera's live-view capabilities and configuration.
struct LiveViewCapabilities
{
    std::uint32_t flags = 1; // bit 0: a white-balance point can be set
    std::uint32_t areaWidth = 6000;
    std::uint32_t areaHeight = 4000;
    std::uint32_t maxDimension = 2048;
    float qualityLow = 0.0f, qualityHigh = 100.0f;
    float lightnessLow = -1.0f, lightnessHigh = 1.0f;
    std::uint32_t formatMask = kLvFormatRgb24 | kLvFormatJpeg;
    std::uint8_t colorMask = 3;
    std::uint8_t minCompQuality = 50;
    std::uint8_t maxCompQuality = 95;
};

struct LiveViewConfiguration
{
    std::uint16_t configId = 0;
    std::uint32_t flags = 0;
    std::uint32_t cropX = 0, cropY = 0, cropWidth = 6000, cropHeight = 4000;
    std::uint32_t preferredDimension = 640;
    float quality = 50.0f;
    float lightness = 0.0f;
    std::uint32_t format = kLvFormatJpeg;
    std::uint8_t colorMode = 1;
    std::uint8_t noDownsample = 0;
    std::uint8_t compQuality = 80;
};

// One frame the camera began to send.
struct SentFrame
{
    std::uint32_t dataId = 0;
    std::uint32_t frameNumber = 0;
    std::uint32_t format = 0;
    std::uint64_t size = 0;
    std::chrono::steady_clock::time_point begun; // when its DataBegin was queued
    bool completed = false;
};

struct LiveViewCounters
{
    std::uint32_t state = 0; // the control state
    std::size_t capabilityRequests = 0;
    std::size_t configurationRequests = 0;
    std::size_t setConfigurations = 0;
    std::size_t setControls = 0;
    std::size_t timeRequests = 0;
    std::size_t framesBegun = 0;
    std::size_t framesCompleted = 0;
    std::size_t abortedByHost = 0;   // the host's DataAbort ended a frame
    std::size_t abortedByCamera = 0; // a stop, pause or the camera's own DataAbort ended a frame
    std::size_t interrupted = 0;     // a channel closed in the middle of a frame
    std::size_t faultsApplied = 0;
    std::vector<std::uint32_t> hostDataErrors;
    std::uint32_t whiteBalanceX = 0, whiteBalanceY = 0;
    std::size_t whiteBalanceRequests = 0;
    std::uint64_t bytesSent = 0;
};

// The live-view behaviour of one camera. Thread-safe.
class LiveViewControl
{
public:
    LiveViewControl();
    ~LiveViewControl();
    LiveViewControl(const LiveViewControl&) = delete;
    LiveViewControl& operator=(const LiveViewControl&) = delete;

    void SetCapabilities(const LiveViewCapabilities& capabilities);
    void SetConfiguration(const LiveViewConfiguration& configuration);
    LiveViewConfiguration Configuration() const;
    // The frame time the frames report (LVIM word 37), ms.
    void SetFrameTime(std::uint32_t ms);
    // Frames a second (0: as fast as the host acknowledges).
    void SetFrameRate(std::uint32_t framesPerSecond);
    // The JPEG stream's size (0: a fifth of the RGB24 size, scaled by the
    // compression quality).
    void SetJpegSize(std::uint32_t bytes);
    // Bytes per DataBlock (default 1 MiB; at least 1).
    void SetBlockSize(std::uint32_t bytes);
    void AddFault(LiveViewFault fault);
    // Spreads each frame over both sub-channels with choices seeded by `seed`
    // (none: everything on 5.2, the default).
    void SpreadOverBothSubChannels(std::optional<std::uint32_t> seed);

    LiveViewCounters Counters() const;
    std::vector<SentFrame> Sent() const;
    // Waits until `predicate` holds over the counters (run under the lock).
    bool WaitUntil(const std::function<bool(const LiveViewCounters&)>& predicate,
                   std::chrono::milliseconds timeout) const;
    // Ends the sender thread. Not from a handler.
    void Stop();

    // --- Used by the handlers, with the host's messages checked and read.
    void Attach(ChannelContext& context);
    void Detach(ChannelContext& context);
    // Checks a message's size (reporting a violation when it differs).
    using SizeCheck = std::function<bool(std::size_t size, const char* name)>;
    bool OnMessage(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message, const SizeCheck& expect);

private:
    struct Answer
    {
        std::uint8_t type = 0;
        std::uint32_t dataId = 0;
    };
    using Outcome = DataSendOutcome;

    void SenderLoop();
    bool ReadyToSend() const; // m_mutex held
    Outcome SendFrame(std::unique_lock<std::mutex>& lock, std::optional<LiveViewFault> fault);
    // Waits for the answer of `type` to `dataId`: Completed, AbortedByHost,
    // AbortedByCamera (live view left the started state: the camera's
    // DataAbort goes on `data`) or Interrupted.
    Outcome WaitForAnswer(std::unique_lock<std::mutex>& lock, std::uint32_t dataId, std::uint8_t type,
                          const DataSender::Open& open, DataSender::Slot& data);
    // The next frame, in a buffer of m_frameBuffers that comes back once the
    // last packet holding it is written. m_mutex held.
    std::shared_ptr<std::vector<std::uint8_t>> BuildFrame(const std::optional<LiveViewFault>& fault);
    std::vector<std::uint8_t> CapabilitiesReply(Version version) const; // m_mutex held
    std::vector<std::uint8_t> ConfigurationReply(Version version,
                                                 std::optional<std::uint16_t> configId) const;
    std::vector<std::uint8_t> ControlReply(std::uint32_t state) const;
    std::uint32_t Now() const;

    void OnSetConfiguration(ChannelContext& context, std::span<const std::uint8_t> message);
    void OnSetControl(ChannelContext& context, std::uint8_t control);

    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();

    mutable std::mutex m_mutex; // guards everything below
    mutable std::condition_variable m_changed;
    LiveViewCapabilities m_capabilities;
    LiveViewConfiguration m_configuration;
    std::uint32_t m_state = 0;
    std::uint32_t m_frameTimeMs = 33;
    std::uint32_t m_framesPerSecond = 0;
    std::uint32_t m_jpegSize = 0;
    std::uint32_t m_blockSize = 1024 * 1024;
    std::uint32_t m_nextDataId = 1;
    std::uint32_t m_frameNumber = 0;
    std::chrono::steady_clock::time_point m_nextFrame{};
    std::deque<LiveViewFault> m_faults;
    LiveViewCounters m_counters;
    std::vector<SentFrame> m_sent;
    std::deque<Answer> m_answers;
    // Frame buffers taken again once written: a stream of frames allocates
    // (and faults in) no fresh memory per frame.
    struct FrameBuffers;
    std::shared_ptr<FrameBuffers> m_frameBuffers;
    DataSender m_sender; // 5.1 (first) and 5.2 (second), and the thread that sends on them
};

// The handler of one open of 5.1 or 5.2.
class LiveViewHandler : public MessageChannelHandler
{
public:
    explicit LiveViewHandler(std::shared_ptr<LiveViewControl> control);

    void OnOpen(ChannelContext& context) override;
    void OnClose(ChannelContext& context) override;

    static ChannelHandlerFactory Factory(std::shared_ptr<LiveViewControl> control);

protected:
    bool OnMessage(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message) override;

private:
    std::shared_ptr<LiveViewControl> m_control;
};

} // namespace Q7::Sim
