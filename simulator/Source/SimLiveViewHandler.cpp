#include "SimLiveViewHandler.h"

#include "SimByteCursor.h"
#include "SimDataTransfer.h"
#include "SimLog.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace Q7::Sim
{

namespace
{

constexpr ChannelId kFirst{5, 1};
constexpr std::uint32_t kFrameDataType = 0;
constexpr std::uint32_t kNoTimeout = 0xFFFFFFFF;
constexpr std::size_t kRequestSize = 16;
constexpr std::size_t kControlSize = 20;
constexpr std::size_t kWhiteBalanceSize = 24;
constexpr std::size_t kCapabilitiesSize = 56;

std::size_t ConfigurationSize(Version version)
{
    return version >= Version{1, 2} ? 60 : 56;
}

std::uint32_t Bits(float value)
{
    return std::bit_cast<std::uint32_t>(value);
}

float Float(std::uint32_t bits)
{
    return std::bit_cast<float>(bits);
}

void Put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void Put16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Breaks LVIM check `check` of an otherwise valid 1.4 frame.
void BreakCheck(std::vector<std::uint8_t>& frame, int check)
{
    switch (check)
    {
    case 2:
        frame.resize(150);
        break;
    case 3:
        frame[0] = 'X';
        break;
    case 4:
        Put16(frame, 4, 100);
        break;
    case 5:
        frame[6] = 2;
        break;
    case 6:
        Put32(frame, 12, 0xFFFFFFF0);
        break;
    case 7:
        Put16(frame, 108, 8), Put16(frame, 110, 16);
        break;
    case 8:
        Put16(frame, 108, 4), Put16(frame, 110, static_cast<std::uint16_t>(kLvimHeaderSize));
        break;
    case 10:
        Put32(frame, 36, 0xFFFFF);
        break;
    case 11:
        Put32(frame, 28, 0x1000000), Put16(frame, 40, 3);
        break;
    case 13:
        Put16(frame, 42, 45);
        break;
    case 15:
        Put32(frame, 52, 7000);
        break;
    default: // 16 (9, 12 and 14 only warn)
        Put32(frame, 72, 4001);
        break;
    }
}

// Writes (first + step * i) mod 256 for i in [0, size): the pattern repeats
// every 256 bytes, so one period is made and then copied, doubling.
void FillPattern(std::uint8_t* into, std::size_t size, std::uint8_t first, std::uint8_t step)
{
    const std::size_t period = std::min<std::size_t>(size, 256);
    for (std::size_t i = 0; i < period; ++i)
        into[i] = static_cast<std::uint8_t>(first + step * i);
    for (std::size_t done = period; done < size;)
    {
        const std::size_t n = std::min(done, size - done);
        std::memcpy(into + done, into, n);
        done += n;
    }
}

} // namespace

// Free frame buffers. A buffer handed out comes back when the last owner of
// its frame (a packet waiting to be written) lets it go, on that thread.
struct LiveViewControl::FrameBuffers : std::enable_shared_from_this<FrameBuffers>
{
    std::shared_ptr<std::vector<std::uint8_t>> Take()
    {
        std::unique_ptr<std::vector<std::uint8_t>> buffer;
        {
            std::lock_guard lock(mutex);
            if (!free.empty())
            {
                buffer = std::move(free.back());
                free.pop_back();
            }
        }
        if (!buffer)
            buffer = std::make_unique<std::vector<std::uint8_t>>();
        return std::shared_ptr<std::vector<std::uint8_t>>(buffer.release(),
                                                           [self = shared_from_this()](std::vector<std::uint8_t>* b)
                                                           {
                                                               std::lock_guard lock(self->mutex);
                                                               self->free.emplace_back(b);
                                                           });
    }

    std::mutex mutex; // guards free
    std::vector<std::unique_ptr<std::vector<std::uint8_t>>> free;
};

LiveViewControl::LiveViewControl()
    : m_frameBuffers(std::make_shared<FrameBuffers>()), m_sender(m_mutex, m_changed, kFirst)
{
}

LiveViewControl::~LiveViewControl()
{
    Stop();
}

void LiveViewControl::SetCapabilities(const LiveViewCapabilities& capabilities)
{
    std::lock_guard lock(m_mutex);
    m_capabilities = capabilities;
}

void LiveViewControl::SetConfiguration(const LiveViewConfiguration& configuration)
{
    std::lock_guard lock(m_mutex);
    m_configuration = configuration;
}

LiveViewConfiguration LiveViewControl::Configuration() const
{
    std::lock_guard lock(m_mutex);
    return m_configuration;
}

void LiveViewControl::SetFrameTime(std::uint32_t ms)
{
    std::lock_guard lock(m_mutex);
    m_frameTimeMs = ms;
}

void LiveViewControl::SetFrameRate(std::uint32_t framesPerSecond)
{
    std::lock_guard lock(m_mutex);
    m_framesPerSecond = framesPerSecond;
}

void LiveViewControl::SetJpegSize(std::uint32_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_jpegSize = bytes;
}

void LiveViewControl::SetBlockSize(std::uint32_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_blockSize = std::max<std::uint32_t>(bytes, 1);
}

void LiveViewControl::AddFault(LiveViewFault fault)
{
    std::lock_guard lock(m_mutex);
    m_faults.push_back(fault);
}

void LiveViewControl::SpreadOverBothSubChannels(std::optional<std::uint32_t> seed)
{
    std::lock_guard lock(m_mutex);
    m_sender.SpreadOverBothSubChannels(seed);
}

LiveViewCounters LiveViewControl::Counters() const
{
    std::lock_guard lock(m_mutex);
    LiveViewCounters counters = m_counters;
    counters.state = m_state;
    return counters;
}

std::vector<SentFrame> LiveViewControl::Sent() const
{
    std::lock_guard lock(m_mutex);
    return m_sent;
}

bool LiveViewControl::WaitUntil(const std::function<bool(const LiveViewCounters&)>& predicate,
                                std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout,
                              [&]
                              {
                                  LiveViewCounters counters = m_counters;
                                  counters.state = m_state;
                                  return predicate(counters);
                              });
}

std::uint32_t LiveViewControl::Now() const
{
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start)
            .count());
}

// ---------------------------------------------------------------------------
// The channels.

void LiveViewControl::Attach(ChannelContext& context)
{
    std::lock_guard lock(m_mutex);
    m_sender.Attach(context, [this] { SenderLoop(); });
}

void LiveViewControl::Detach(ChannelContext& context)
{
    std::unique_lock lock(m_mutex);
    m_sender.Detach(lock, context,
                    [&](DataSender::Slot&, bool)
                    {
                        // A host that lost its channels starts over stopped.
                        if (context.Channel() == kFirst)
                            m_state = 0;
                    });
}

void LiveViewControl::Stop()
{
    m_sender.Stop();
}

// ---------------------------------------------------------------------------
// Replies.

std::vector<std::uint8_t> LiveViewControl::CapabilitiesReply(Version) const
{
    auto message = StartMessage(kClassLiveView, kLvCapabilities, kCapabilitiesSize, kCapabilitiesSize);
    ByteWriter w(message);
    w.Seek(kMessageHeaderSize);
    const LiveViewCapabilities& c = m_capabilities;
    w.U32(c.flags);
    w.U32(c.areaWidth);
    w.U32(c.areaHeight);
    w.U32(c.maxDimension);
    // Ranges high to low, as some cameras send them.
    w.U32(Bits(c.qualityHigh));
    w.U32(Bits(c.qualityLow));
    w.U32(Bits(c.lightnessLow));
    w.U32(Bits(c.lightnessHigh));
    w.U32(c.formatMask);
    w.U8(c.colorMask);
    w.U8(c.minCompQuality);
    w.U8(c.maxCompQuality);
    return message;
}

std::vector<std::uint8_t> LiveViewControl::ConfigurationReply(Version version,
                                                              std::optional<std::uint16_t> configId) const
{
    const std::size_t size = ConfigurationSize(version);
    auto message = StartMessage(kClassLiveView, kLvConfiguration, size, size);
    ByteWriter w(message);
    w.Seek(kMessageHeaderSize);
    const LiveViewConfiguration& c = m_configuration;
    w.U32(c.flags);
    w.U32(c.cropX);
    w.U32(c.cropY);
    w.U32(c.cropWidth);
    w.U32(c.cropHeight);
    w.U32(c.preferredDimension);
    w.U32(Bits(c.quality));
    w.U32(Bits(c.lightness));
    w.U32(c.format);
    w.U8(c.colorMode);
    w.U8(c.noDownsample);
    w.U16(version >= Version{1, 1} ? configId.value_or(c.configId) : 0);
    if (size == 60)
        w.U8(c.compQuality);
    return message;
}

std::vector<std::uint8_t> LiveViewControl::ControlReply(std::uint32_t state) const
{
    auto message = StartMessage(kClassLiveView, kLvControl, kControlSize, kControlSize);
    message[kMessageHeaderSize] = static_cast<std::uint8_t>(state);
    return message;
}

// ---------------------------------------------------------------------------
// The host's messages.

bool LiveViewControl::OnMessage(ChannelContext& context, const MessageHeader& header,
                                std::span<const std::uint8_t> message, const SizeCheck& expect)
{
    if (context.Channel() != kFirst)
        return false; // the host sends everything on 5.1
    const Version version = context.NegotiatedVersion();
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    if (header.messageClass == kClassLiveView)
    {
        std::vector<std::uint8_t> reply;
        switch (header.messageType)
        {
        case kLvGetCapabilities:
            if (!expect(kRequestSize, "GetCapabilities"))
                return true;
            {
                std::lock_guard lock(m_mutex);
                ++m_counters.capabilityRequests;
                reply = CapabilitiesReply(version);
            }
            break;
        case kLvGetConfiguration:
            if (!expect(kRequestSize, "GetConfiguration"))
                return true;
            {
                std::lock_guard lock(m_mutex);
                ++m_counters.configurationRequests;
                reply = ConfigurationReply(version, std::nullopt);
            }
            break;
        case kLvSetConfiguration:
            if (expect(ConfigurationSize(version), "SetConfiguration"))
                OnSetConfiguration(context, message);
            return true;
        case kLvGetControl:
            if (!expect(kRequestSize, "GetControl"))
                return true;
            {
                std::lock_guard lock(m_mutex);
                reply = ControlReply(m_state);
            }
            break;
        case kLvSetControl:
            if (expect(kControlSize, "SetControl"))
            {
                const std::uint8_t control = r.U8();
                if (control > 2 || r.U8() != 0 || r.U8() != 0 || r.U8() != 0)
                    context.ReportViolation(ViolationKind::BadMessage, "SetControl with control " +
                                                                           std::to_string(control) +
                                                                           " or non-zero bytes 17 to 19");
                else
                    OnSetControl(context, control);
            }
            return true;
        case kLvGetTime:
            if (!expect(kRequestSize, "GetTime"))
                return true;
            reply = StartMessage(kClassLiveView, kLvTime, kControlSize, kControlSize);
            Put32(reply, kMessageHeaderSize, Now());
            {
                std::lock_guard lock(m_mutex);
                ++m_counters.timeRequests;
            }
            break;
        case kLvSetWhiteBalancePoint:
            if (expect(kWhiteBalanceSize, "SetWhiteBalancePoint"))
            {
                std::lock_guard lock(m_mutex);
                if ((m_capabilities.flags & 1) == 0)
                {
                    context.ReportViolation(ViolationKind::UnexpectedMessage,
                                            "SetWhiteBalancePoint on a camera without the capability");
                    return true;
                }
                m_counters.whiteBalanceX = r.U32();
                m_counters.whiteBalanceY = r.U32();
                ++m_counters.whiteBalanceRequests;
                m_changed.notify_all();
            }
            return true;
        default:
            return false;
        }
        // Never between the two parts of a block the sender writes on 5.1.
        std::unique_lock lock(m_mutex);
        m_sender.SendExclusive(lock, context, reply);
        m_changed.notify_all();
        return true;
    }
    if (header.messageClass != kClassDataTransfer)
        return false;
    switch (header.messageType)
    {
    case kDataBeginAck:
    case kDataEndAck:
    case kDataAbort:
        if (expect(kDataIdMessageSize, "data-transfer answer"))
        {
            const std::uint32_t dataId = r.U32();
            std::lock_guard lock(m_mutex);
            m_answers.push_back({header.messageType, dataId});
            m_changed.notify_all();
        }
        return true;
    case kDataError:
    {
        if (!expect(kDataErrorHeaderSize, "DataError"))
            return true;
        const std::uint32_t errorId = r.U32();
        std::lock_guard lock(m_mutex);
        m_counters.hostDataErrors.push_back(errorId);
        m_changed.notify_all();
        return true;
    }
    default:
        return false;
    }
}

void LiveViewControl::OnSetConfiguration(ChannelContext& context, std::span<const std::uint8_t> message)
{
    const Version version = context.NegotiatedVersion();
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    LiveViewConfiguration c;
    c.flags = r.U32();
    c.cropX = r.U32();
    c.cropY = r.U32();
    c.cropWidth = r.U32();
    c.cropHeight = r.U32();
    c.preferredDimension = r.U32();
    c.quality = Float(r.U32());
    c.lightness = Float(r.U32());
    c.format = r.U32();
    c.colorMode = r.U8();
    c.noDownsample = r.U8();
    c.configId = r.U16();
    if (ConfigurationSize(version) == 60)
        c.compQuality = r.U8();
    std::vector<std::uint8_t> reply;
    {
        std::lock_guard lock(m_mutex);
        ++m_counters.setConfigurations;
        const LiveViewCapabilities& caps = m_capabilities;
        // Clamped to what the camera can do; a format it does not offer is kept as it was.
        c.cropX = std::min(c.cropX, caps.areaWidth);
        c.cropY = std::min(c.cropY, caps.areaHeight);
        c.cropWidth = std::min(c.cropWidth, caps.areaWidth - c.cropX);
        c.cropHeight = std::min(c.cropHeight, caps.areaHeight - c.cropY);
        c.preferredDimension = std::clamp<std::uint32_t>(c.preferredDimension, 16, caps.maxDimension);
        c.quality = std::clamp(c.quality, caps.qualityLow, caps.qualityHigh);
        c.lightness = std::clamp(c.lightness, caps.lightnessLow, caps.lightnessHigh);
        if ((c.format & caps.formatMask) == 0 || (c.format != kLvFormatJpeg && c.format != kLvFormatRgb24))
            c.format = m_configuration.format;
        if (ConfigurationSize(version) == 60)
            c.compQuality = std::clamp(c.compQuality, caps.minCompQuality, caps.maxCompQuality);
        else
            c.compQuality = m_configuration.compQuality;
        if (version < Version{1, 1})
            c.configId = 0;
        m_configuration = c;
        std::optional<std::uint16_t> echoed;
        for (auto it = m_faults.begin(); it != m_faults.end(); ++it)
        {
            if (it->kind == LiveViewFaultKind::ForeignConfigId)
            {
                echoed = it->configId;
                m_faults.erase(it);
                ++m_counters.faultsApplied;
                break;
            }
        }
        reply = ConfigurationReply(version, echoed);
        m_changed.notify_all();
    }
    std::unique_lock lock(m_mutex);
    m_sender.SendExclusive(lock, context, reply);
}

void LiveViewControl::OnSetControl(ChannelContext& context, std::uint8_t control)
{
    bool late = false;
    {
        std::lock_guard lock(m_mutex);
        ++m_counters.setControls;
        m_state = control;
        if (control == 1)
            m_nextFrame = std::chrono::steady_clock::now();
        if (control == 0)
        {
            for (auto it = m_faults.begin(); it != m_faults.end(); ++it)
            {
                if (it->kind == LiveViewFaultKind::LateControlReply)
                {
                    m_faults.erase(it);
                    ++m_counters.faultsApplied;
                    late = true;
                    break;
                }
            }
        }
        m_changed.notify_all();
    }
    // A reply of the state before the stop, as a camera that answers late.
    std::unique_lock lock(m_mutex);
    if (late)
        m_sender.SendExclusive(lock, context, ControlReply(1));
    m_sender.SendExclusive(lock, context, ControlReply(control));
}

// ---------------------------------------------------------------------------
// The sender.

bool LiveViewControl::ReadyToSend() const
{
    return m_state == 1 && m_sender.first.context != nullptr && m_sender.second.context != nullptr &&
           (m_framesPerSecond == 0 || std::chrono::steady_clock::now() >= m_nextFrame);
}

void LiveViewControl::SenderLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;)
    {
        while (!m_sender.Stopping() && !ReadyToSend())
        {
            if (m_state == 1 && m_framesPerSecond != 0 && m_sender.first.context != nullptr &&
                m_sender.second.context != nullptr)
                m_changed.wait_until(lock, m_nextFrame);
            else
                m_changed.wait(lock);
        }
        if (m_sender.Stopping())
            return;
        if (m_framesPerSecond != 0)
            m_nextFrame += std::chrono::nanoseconds(1000000000 / m_framesPerSecond);
        std::optional<LiveViewFault> fault;
        for (auto it = m_faults.begin(); it != m_faults.end(); ++it)
        {
            if (it->kind != LiveViewFaultKind::ForeignConfigId &&
                it->kind != LiveViewFaultKind::LateControlReply)
            {
                fault = *it;
                m_faults.erase(it);
                ++m_counters.faultsApplied;
                break;
            }
        }
        switch (SendFrame(lock, fault))
        {
        case Outcome::Completed:
            ++m_counters.framesCompleted;
            break;
        case Outcome::AbortedByHost:
            ++m_counters.abortedByHost;
            break;
        case Outcome::AbortedByCamera:
            ++m_counters.abortedByCamera;
            break;
        case Outcome::Interrupted:
            ++m_counters.interrupted;
            break;
        }
        m_changed.notify_all();
    }
}

std::shared_ptr<std::vector<std::uint8_t>>
LiveViewControl::BuildFrame(const std::optional<LiveViewFault>& fault)
{
    const LiveViewConfiguration& c = m_configuration;
    const std::uint32_t width = std::max<std::uint32_t>(c.preferredDimension, 16);
    const std::uint32_t height = std::max<std::uint32_t>(width * 2 / 3, 1);
    const bool jpeg = c.format == kLvFormatJpeg;
    const std::uint32_t rgbSize = width * height * 3;
    std::uint32_t imageSize = rgbSize;
    if (jpeg)
        imageSize =
            m_jpegSize != 0 ? m_jpegSize : std::max<std::uint32_t>(rgbSize / 500 * c.compQuality / 1, 64);
    const std::string status = "sim";
    std::shared_ptr<std::vector<std::uint8_t>> frame = m_frameBuffers->Take();
    std::vector<std::uint8_t>& f = *frame;
    f.resize(kLvimHeaderSize + imageSize + status.size());
    std::memset(f.data(), 0, kLvimHeaderSize);
    const std::uint32_t number = ++m_frameNumber;
    Put32(f, 0, 0x4D49564C);
    Put16(f, 4, kLvimHeaderSize);
    f[6] = 1;
    f[7] = 4;
    Put32(f, 8, kLvimHeaderSize);
    Put32(f, 12, imageSize);
    Put32(f, 16, number);
    Put32(f, 20, Now());
    Put32(f, 24, jpeg ? kLvFormatJpeg : kLvFormatRgb24);
    Put32(f, 28, width);
    Put32(f, 32, height);
    Put32(f, 36, jpeg ? 0 : width * 3);
    Put16(f, 40, jpeg ? 0 : 3);
    Put32(f, 44, m_capabilities.areaWidth);
    Put32(f, 48, m_capabilities.areaHeight);
    Put32(f, 52, c.cropX);
    Put32(f, 56, c.cropY);
    Put32(f, 60, c.cropWidth);
    Put32(f, 64, c.cropHeight);
    Put32(f, 68, c.cropX);
    Put32(f, 72, c.cropY);
    Put32(f, 76, c.cropWidth);
    Put32(f, 80, c.cropHeight);
    Put32(f, 84, Bits(c.quality));
    Put32(f, 88, Bits(c.lightness));
    Put32(f, 92, Bits(1.0f));
    Put32(f, 96, Bits(1.0f));
    Put32(f, 100, Bits(1.0f));
    f[104] = c.colorMode == 2 ? 2 : 1;
    Put16(f, 108, static_cast<std::uint16_t>(status.size()));
    Put16(f, 110, 0); // set below when the offset fits in 16 bits
    for (std::size_t offset = 112; offset < 148; offset += 4)
        Put32(f, offset, 0xFFFFFFFF);
    Put32(f, 124, 0); // integration time absent
    Put32(f, 148, m_frameTimeMs);
    Put32(f, 152, number);
    std::uint8_t* image = f.data() + kLvimHeaderSize;
    if (jpeg)
    {
        FillPattern(image, imageSize, static_cast<std::uint8_t>(number), 7);
        image[0] = 0xFF;
        image[1] = 0xD8;
        image[imageSize - 2] = 0xFF;
        image[imageSize - 1] = 0xD9;
    }
    else
    {
        FillPattern(image, imageSize, static_cast<std::uint8_t>(number), 1);
    }
    // The status text follows the image; its 16-bit offset reaches it only in
    // small frames, so larger frames carry none.
    const std::size_t statusOffset = kLvimHeaderSize + imageSize;
    if (statusOffset + status.size() <= 0xFFFF)
    {
        Put16(f, 110, static_cast<std::uint16_t>(statusOffset));
        std::memcpy(f.data() + statusOffset, status.data(), status.size());
    }
    else
    {
        Put16(f, 108, 0);
        f.resize(statusOffset);
    }
    if (fault && fault->kind == LiveViewFaultKind::MalformedLvim)
        BreakCheck(f, fault->check);
    if (fault && fault->kind == LiveViewFaultKind::ZeroSizeFrame)
        f.clear();
    return frame;
}

LiveViewControl::Outcome LiveViewControl::WaitForAnswer(std::unique_lock<std::mutex>& lock,
                                                        std::uint32_t dataId, std::uint8_t type,
                                                        const DataSender::Open& open, DataSender::Slot& data)
{
    for (;;)
    {
        if (!m_sender.IsOpen(open))
            return Outcome::Interrupted;
        for (auto it = m_answers.begin(); it != m_answers.end();)
        {
            if (it->dataId != dataId)
            {
                it = m_answers.erase(it); // an old transfer's: done with
                continue;
            }
            const std::uint8_t answer = it->type;
            it = m_answers.erase(it);
            if (answer == kDataAbort)
                return Outcome::AbortedByHost;
            if (answer == type)
                return Outcome::Completed;
        }
        if (m_state != 1)
        {
            // Stopped or paused: the unacknowledged frame is abandoned.
            m_sender.SendIn(lock, data, open, BuildDataIdMessage(kDataAbort, dataId));
            m_sender.FollowAbort(data);
            return Outcome::AbortedByCamera;
        }
        m_changed.wait(lock);
    }
}

LiveViewControl::Outcome LiveViewControl::SendFrame(std::unique_lock<std::mutex>& lock,
                                                    std::optional<LiveViewFault> fault)
{
    const DataSender::Open open = m_sender.Current();
    const std::shared_ptr<std::vector<std::uint8_t>> frame = BuildFrame(fault);
    const std::uint64_t size = frame->size();
    const std::uint32_t dataId = m_nextDataId++;
    const LiveViewFaultKind kind = fault ? fault->kind : LiveViewFaultKind::ForeignConfigId; // none
    char name[32];
    std::snprintf(name, sizeof name, "LV_%06u.LVIM", m_frameNumber);
    std::uint64_t announced = size;
    if (kind == LiveViewFaultKind::MaxDataSize)
        announced = fault->maxDataSize;
    m_answers.clear();
    m_sent.push_back(
        {dataId, m_frameNumber, m_configuration.format, size, std::chrono::steady_clock::now(), false});
    ++m_counters.framesBegun;
    const bool beside = kind == LiveViewFaultKind::EndBesideLastBlock;
    DataSender::Slot& data = beside ? m_sender.second : m_sender.DataSlot();
    if (!m_sender.SendIn(lock, m_sender.ControlSlot(), open,
                         BuildDataBegin(kFrameDataType, dataId, announced, kNoTimeout, name)))
        return Outcome::Interrupted;
    Outcome outcome = WaitForAnswer(lock, dataId, kDataBeginAck, open, data);
    if (outcome != Outcome::Completed)
        return outcome;

    DataSender::Blocks blocks;
    blocks.dataId = dataId;
    blocks.bytes = frame;
    blocks.blockSize = m_blockSize;
    blocks.slot = &data;
    blocks.lastBlockOneByteLonger = kind == LiveViewFaultKind::BlockBeyondMaxSize;
    blocks.atOnce = true;
    // A fault in the middle of the frame strikes at its byte offset within
    // the frame (also when `afterBytes` lies beyond a small frame): a fault
    // taken for this frame always happens.
    if (size > 0 && (kind == LiveViewFaultKind::AbortMidFrame || kind == LiveViewFaultKind::StallMidFrame ||
                     kind == LiveViewFaultKind::DropMidFrame))
        blocks.faultAt = std::min(fault->afterBytes, size - 1);
    if (size > 0 && beside)
        blocks.faultAt = (size - 1) / m_blockSize * m_blockSize; // the last block
    const auto atFault = [&](std::uint64_t& offset) -> std::optional<Outcome>
    {
        if (kind == LiveViewFaultKind::AbortMidFrame)
        {
            m_sender.SendIn(lock, data, open, BuildDataIdMessage(kDataAbort, dataId));
            m_sender.FollowAbort(data);
            return Outcome::AbortedByCamera;
        }
        if (beside)
        {
            const std::span<const std::uint8_t> last(frame->data() + offset,
                                                     static_cast<std::size_t>(size - offset));
            const auto answered = [&]
            {
                return std::any_of(m_answers.begin(), m_answers.end(),
                                   [dataId](const Answer& answer) { return answer.dataId == dataId; });
            };
            if (!m_sender.SendEndBesideBlock(lock, open, m_sender.second, m_sender.first, dataId, last,
                                             BuildDataEnd(dataId, size), std::chrono::milliseconds(0), answered,
                                             std::chrono::milliseconds(300)))
                return Outcome::Interrupted;
            m_counters.bytesSent += last.size();
            return WaitForAnswer(lock, dataId, kDataEndAck, open, data);
        }
        return m_sender.SendHalfBlockAndHang(lock, open, blocks, offset,
                                             kind == LiveViewFaultKind::DropMidFrame);
    };
    const auto afterBlock = [&]() -> std::optional<Outcome>
    {
        for (const Answer& answer : m_answers)
        {
            if (answer.type == kDataAbort && answer.dataId == dataId)
                return WaitForAnswer(lock, dataId, kDataAbort, open, data);
        }
        if (m_state != 1)
            return WaitForAnswer(lock, dataId, kDataEndAck, open, data);
        return std::nullopt;
    };
    if (const std::optional<Outcome> ended =
            m_sender.SendBlocks(lock, open, blocks, atFault, afterBlock, m_counters.bytesSent))
    {
        if (*ended == Outcome::Completed)
        {
            for (SentFrame& sent : m_sent)
            {
                if (sent.dataId == dataId)
                    sent.completed = true;
            }
        }
        return *ended;
    }

    std::uint64_t total = size;
    if (kind == LiveViewFaultKind::ShortDataEnd && total > 0)
        --total;
    if (!m_sender.SendIn(lock, m_sender.ControlSlot(), open, BuildDataEnd(dataId, total)))
        return Outcome::Interrupted;
    outcome = WaitForAnswer(lock, dataId, kDataEndAck, open, data);
    if (outcome == Outcome::Completed)
    {
        for (SentFrame& sent : m_sent)
        {
            if (sent.dataId == dataId)
                sent.completed = true;
        }
    }
    return outcome;
}

// ---------------------------------------------------------------------------
// The handler.

LiveViewHandler::LiveViewHandler(std::shared_ptr<LiveViewControl> control) : m_control(std::move(control)) {}

void LiveViewHandler::OnOpen(ChannelContext& context)
{
    MessageChannelHandler::OnOpen(context);
    m_control->Attach(context);
}

void LiveViewHandler::OnClose(ChannelContext& context)
{
    m_control->Detach(context);
    MessageChannelHandler::OnClose(context);
}

bool LiveViewHandler::OnMessage(ChannelContext& context, const MessageHeader& header,
                                std::span<const std::uint8_t> message)
{
    return m_control->OnMessage(context, header, message,
                                [&](std::size_t size, const char* name)
                                { return ExpectSize(context, header, size, name); });
}

ChannelHandlerFactory LiveViewHandler::Factory(std::shared_ptr<LiveViewControl> control)
{
    return [control](ChannelId) { return std::make_unique<LiveViewHandler>(control); };
}

} // namespace Q7::Sim
