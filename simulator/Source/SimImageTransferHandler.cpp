#include "SimImageTransferHandler.h"

#include "SimByteCursor.h"
#include "SimDataTransfer.h"
#include "SimLog.h"

#include <algorithm>
#include <cstdio>

namespace Q7::Sim
{

namespace
{

constexpr ChannelId kFirst{4, 1};
constexpr std::uint32_t kImageDataType = 0;
constexpr std::uint32_t kNoTimeout = 0xFFFFFFFF;
constexpr std::uint64_t kTwoToThe32 = std::uint64_t{1} << 32;
// How long a camera that sends a DataEnd beside a block still on its way
// holds the block's rest back for the host's answer.
constexpr std::chrono::milliseconds kBesideHold{300};
// How long it lets the block's first half go ahead of such a DataEnd.
constexpr std::chrono::milliseconds kRewriteHeadStart{150};

std::string Hex(std::uint32_t value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", value);
    return buffer;
}

bool IsMidImageFault(ImageTransferFaultKind kind)
{
    switch (kind)
    {
    case ImageTransferFaultKind::AbortMidImage:
    case ImageTransferFaultKind::StallMidImage:
    case ImageTransferFaultKind::DropMidBlock:
    case ImageTransferFaultKind::BlockBeyondMaxSize:
    case ImageTransferFaultKind::BlockBeyondMessage:
    case ImageTransferFaultKind::SeekBackAndResend:
    case ImageTransferFaultKind::SecondBeginSameId:
    case ImageTransferFaultKind::SecondBeginOtherId:
    case ImageTransferFaultKind::DataErrorMidImage:
    case ImageTransferFaultKind::QuietMidImage:
    case ImageTransferFaultKind::EndBesideLastBlock:
        return true;
    default:
        return false;
    }
}

} // namespace

std::vector<std::uint8_t> RewrittenImage(std::vector<std::uint8_t> file, std::uint64_t blockSize)
{
    const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, file.size()));
    for (std::size_t i = 0; i < block; ++i)
        file[i] = static_cast<std::uint8_t>(~file[i]);
    return file;
}

std::string ImageTransferName(std::uint32_t imageId)
{
    char name[32];
    std::snprintf(name, sizeof name, "SIM_%04u.JPG", imageId);
    return name;
}

// The image in flight.
struct ImageTransferControl::Transfer
{
    std::uint32_t imageId = 0;
    std::uint32_t dataId = 0;
    std::string name;
    std::shared_ptr<std::vector<std::uint8_t>> bytes; // the image file
    std::uint64_t base = 0;                           // where the file goes in the transfer
    std::uint64_t firstGeneration = 0;
    std::uint64_t secondGeneration = 0;
    std::optional<ImageTransferFault> fault;
    DataSender::Blocks blocks;          // its DataBlocks, with the mid-image fault's offset
    DataSender::Slot* data = nullptr;   // the sub-channel of its blocks, seeks and own aborts
    DataSender::Open Open() const { return {firstGeneration, secondGeneration}; }
};

// ---------------------------------------------------------------------------
// Construction, configuration, observation.

ImageTransferControl::ImageTransferControl(std::shared_ptr<ImageStore> store)
    : m_store(std::move(store)), m_sender(m_mutex, m_changed, kFirst)
{
    m_store->Subscribe(this);
}

ImageTransferControl::~ImageTransferControl()
{
    m_store->Unsubscribe(this);
    Stop();
}

void ImageTransferControl::SetBlockSize(std::uint32_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_blockSize = std::max<std::uint32_t>(bytes, 1);
}

void ImageTransferControl::AddFault(ImageTransferFault fault)
{
    std::lock_guard lock(m_mutex);
    m_faults.push_back(fault);
}

void ImageTransferControl::SpreadOverBothSubChannels(std::optional<std::uint32_t> seed)
{
    std::lock_guard lock(m_mutex);
    m_sender.SpreadOverBothSubChannels(seed);
}

ImageTransferCounters ImageTransferControl::Counters() const
{
    std::lock_guard lock(m_mutex);
    ImageTransferCounters counters = m_counters;
    counters.enabled = m_enabled;
    counters.hostStorageSize = m_hostStorageSize;
    counters.pending = m_queue.size();
    return counters;
}

std::vector<SentImage> ImageTransferControl::Sent() const
{
    std::lock_guard lock(m_mutex);
    return m_sent;
}

bool ImageTransferControl::WaitUntil(const std::function<bool(const ImageTransferCounters&)>& predicate,
                                     std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout,
                              [&]
                              {
                                  ImageTransferCounters counters = m_counters;
                                  counters.enabled = m_enabled;
                                  counters.hostStorageSize = m_hostStorageSize;
                                  counters.pending = m_queue.size();
                                  return predicate(counters);
                              });
}

// ---------------------------------------------------------------------------
// The store: captures are queued for the host.

void ImageTransferControl::OnImagesAdded(const std::vector<SimImage>&) {}
void ImageTransferControl::OnImageRemoved(const SimImage&) {}
void ImageTransferControl::OnImageChanged(const SimImage&) {}

void ImageTransferControl::OnImagesCaptured(const std::vector<SimImage>& images)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.insert(m_queue.end(), images.begin(), images.end());
        m_statusDue = true;
    }
    m_changed.notify_all();
}

// ---------------------------------------------------------------------------
// The channels.

void ImageTransferControl::Attach(ChannelContext& context)
{
    std::lock_guard lock(m_mutex);
    m_sender.Attach(context, [this] { SenderLoop(); });
}

void ImageTransferControl::Detach(ChannelContext& context)
{
    std::unique_lock lock(m_mutex);
    // The context goes once OnClose returns: the sender must be done with it.
    m_sender.Detach(lock, context,
                    [&](DataSender::Slot& slot, bool held)
                    {
                        // The host's wishes belong to its session: it tells them
                        // again after the next open.
                        if (held && &slot == &m_sender.first)
                            m_enabled = false;
                    });
}

void ImageTransferControl::ReleaseHeldFault()
{
    {
        std::lock_guard lock(m_mutex);
        m_releaseHeld = true;
    }
    m_changed.notify_all();
}

void ImageTransferControl::Stop()
{
    m_sender.Stop();
}

// ---------------------------------------------------------------------------
// Status.

std::vector<std::uint8_t> ImageTransferControl::StatusMessage() const
{
    auto message = StartMessage(kClassImageTransfer, kItStatus, kItStatusSize, kItStatusSize);
    ByteWriter w(message);
    w.Seek(kMessageHeaderSize);
    w.U32(static_cast<std::uint32_t>(m_queue.size()));
    w.U32(m_hostStorageSize);
    w.U8(m_enabled ? 1 : 0);
    return message;
}

void ImageTransferControl::SendDueStatus(std::unique_lock<std::mutex>& lock)
{
    if (!m_statusDue || m_sender.first.context == nullptr)
        return;
    m_statusDue = false;
    const std::vector<std::uint8_t> message = StatusMessage();
    if (m_sender.SendOn(lock, m_sender.first, m_sender.first.generation, message))
        ++m_counters.statusSent;
}

void ImageTransferControl::SendStatusNow(ChannelContext& context)
{
    std::unique_lock lock(m_mutex);
    const std::vector<std::uint8_t> message = StatusMessage();
    ++m_counters.statusSent;
    // Never between the two parts of a block the sender writes on 4.1.
    m_sender.SendExclusive(lock, context, message);
}

// ---------------------------------------------------------------------------
// The host's messages on 4.1 (checked by the handler).

void ImageTransferControl::OnGetStatus(ChannelContext& context)
{
    {
        std::lock_guard lock(m_mutex);
        ++m_counters.statusRequests;
    }
    SendStatusNow(context);
}

void ImageTransferControl::OnSetHostStorageSize(ChannelContext& context, std::uint32_t megabytes)
{
    {
        std::lock_guard lock(m_mutex);
        m_hostStorageSize = megabytes;
    }
    m_changed.notify_all();
    SendStatusNow(context);
}

void ImageTransferControl::OnEnableTransfer(ChannelContext& context, std::uint8_t enable)
{
    bool silent = false;
    {
        std::lock_guard lock(m_mutex);
        ++m_counters.enableRequests;
        m_enabled = enable == 1;
        for (auto it = m_faults.begin(); it != m_faults.end(); ++it)
        {
            if (it->kind == ImageTransferFaultKind::SilentEnable && it->enable == enable)
            {
                m_faults.erase(it);
                ++m_counters.faultsApplied;
                silent = true;
                break;
            }
        }
    }
    m_changed.notify_all();
    if (silent)
        context.Log().Write(LogLevel::Warning, "fault: channel 4.1 leaves EnableTransfer unanswered");
    else
        SendStatusNow(context);
}

void ImageTransferControl::OnRequestImage(ChannelContext& context, std::uint32_t imageId)
{
    const std::optional<SimImage> image = m_store->Find(imageId);
    bool enabled = false;
    {
        std::lock_guard lock(m_mutex);
        ++m_counters.imageRequests;
        enabled = m_enabled;
    }
    const bool accepted = image && enabled;
    auto reply = StartMessage(kClassImageTransfer, kItImageRequestReply, kItImageRequestReplySize,
                              kItImageRequestReplySize);
    ByteWriter w(reply);
    w.Seek(kMessageHeaderSize);
    w.U32(imageId);
    w.U32(accepted ? 1 : 0);
    {
        std::unique_lock lock(m_mutex);
        m_sender.SendExclusive(lock, context, reply);
    }
    if (!accepted)
        return;
    // Answered first, then queued.
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(*image);
        m_statusDue = true;
    }
    m_changed.notify_all();
}

void ImageTransferControl::OnHostAnswer(ChannelContext& context, std::uint8_t type, std::uint32_t dataId)
{
    std::string violation;
    {
        std::lock_guard lock(m_mutex);
        if (m_begunIds.count(dataId) == 0)
            violation = "answer of type " + Hex(type) + " for data id " + std::to_string(dataId) +
                        " that the camera never began";
        else if (type == kDataEndAck && m_endedIds.count(dataId) == 0)
            violation = "DataEndAck of data id " + std::to_string(dataId) + " before its DataEnd";
        else
            m_answers.push_back({type, dataId});
    }
    m_changed.notify_all();
    if (!violation.empty())
        context.ReportViolation(ViolationKind::UnexpectedMessage, violation);
}

void ImageTransferControl::OnHostDataError(ChannelContext& context, std::uint32_t errorId,
                                           std::uint32_t dataId)
{
    {
        std::lock_guard lock(m_mutex);
        m_counters.hostDataErrors.push_back(errorId);
    }
    m_changed.notify_all();
    context.Log().Write(LogLevel::Info, "channel 4.1: host sent DataError " + Hex(errorId) + " for id " +
                                            std::to_string(dataId));
}

// ---------------------------------------------------------------------------
// The sender.

bool ImageTransferControl::ReadyToSend() const
{
    return m_enabled && !m_queue.empty() && m_sender.first.context != nullptr &&
           m_sender.second.context != nullptr;
}

void ImageTransferControl::SenderLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;)
    {
        m_changed.wait(lock,
                       [&] {
                           return m_sender.Stopping() || (m_statusDue && m_sender.first.context != nullptr) ||
                                  ReadyToSend();
                       });
        if (m_sender.Stopping())
            return;
        if (m_statusDue && m_sender.first.context != nullptr)
        {
            SendDueStatus(lock);
            continue;
        }
        const SimImage image = m_queue.front();
        std::optional<ImageTransferFault> fault;
        for (auto it = m_faults.begin(); it != m_faults.end(); ++it)
        {
            if (it->kind != ImageTransferFaultKind::SilentEnable)
            {
                fault = *it;
                m_faults.erase(it);
                ++m_counters.faultsApplied;
                break;
            }
        }
        const Outcome outcome = SendImage(lock, image, fault);
        if (outcome == Outcome::Interrupted)
        {
            ++m_counters.interrupted;
            continue;
        }
        if (outcome == Outcome::Completed)
            ++m_counters.imagesCompleted;
        else if (outcome == Outcome::AbortedByHost)
            ++m_counters.abortedByHost;
        else
            ++m_counters.abortedByCamera;
        if (!m_queue.empty() && m_queue.front().id == image.id)
            m_queue.pop_front();
        m_statusDue = true;
        m_changed.notify_all();
    }
}

std::shared_ptr<std::vector<std::uint8_t>>
ImageTransferControl::FileBuffer(std::unique_lock<std::mutex>& lock, const SimImage& image)
{
    // The buffer of the last image is reused once no queued packet holds it.
    std::shared_ptr<std::vector<std::uint8_t>> buffer = m_fileBuffer;
    if (!buffer || buffer.use_count() > 2)
        buffer = std::make_shared<std::vector<std::uint8_t>>();
    m_fileBuffer.reset();
    lock.unlock();
    buffer->resize(image.info.imageSize);
    image.WriteFileBytes(*buffer);
    lock.lock();
    m_fileBuffer = buffer;
    return buffer;
}

bool ImageTransferControl::HasAnswer(std::uint32_t dataId) const
{
    return std::any_of(m_answers.begin(), m_answers.end(),
                       [dataId](const Answer& answer) { return answer.dataId == dataId; });
}

void ImageTransferControl::MarkCompleted(std::uint32_t dataId)
{
    for (SentImage& sent : m_sent)
    {
        if (sent.dataId == dataId)
            sent.completed = true;
    }
}

ImageTransferControl::Outcome ImageTransferControl::SendEndBesideBlock(std::unique_lock<std::mutex>& lock,
                                                                       Transfer& transfer,
                                                                       std::span<const std::uint8_t> block,
                                                                       std::chrono::milliseconds headStart)
{
    m_endedIds.insert(transfer.dataId);
    const std::vector<std::uint8_t> end = BuildDataEnd(transfer.dataId, transfer.base + transfer.bytes->size());
    if (!m_sender.SendEndBesideBlock(lock, transfer.Open(), m_sender.second, m_sender.first, transfer.dataId,
                                     block, end, headStart, [&] { return HasAnswer(transfer.dataId); },
                                     kBesideHold))
        return Outcome::Interrupted;
    m_counters.bytesSent += block.size();
    bool aborted = false;
    if (!WaitForAnswer(lock, transfer, Wait::EndAck, aborted))
        return Outcome::Interrupted;
    if (aborted)
        return Outcome::AbortedByHost;
    MarkCompleted(transfer.dataId);
    return Outcome::Completed;
}

bool ImageTransferControl::TakeAbort(std::uint32_t dataId)
{
    for (auto it = m_answers.begin(); it != m_answers.end(); ++it)
    {
        if (it->type == kDataAbort && it->dataId == dataId)
        {
            m_answers.erase(it);
            return true;
        }
    }
    return false;
}

bool ImageTransferControl::WaitForAnswer(std::unique_lock<std::mutex>& lock, const Transfer& transfer,
                                         Wait wait, bool& aborted)
{
    aborted = false;
    for (;;)
    {
        if (m_sender.Stopping())
            return false;
        // An answer that arrived before a sub-channel closed still counts: a
        // DataEndAck taken in means the host has the image.
        for (auto it = m_answers.begin(); it != m_answers.end();)
        {
            if (it->dataId != transfer.dataId)
            {
                ++it; // another transfer's: not this wait's business
                continue;
            }
            const std::uint8_t type = it->type;
            it = m_answers.erase(it);
            if (type == kDataAbort)
            {
                aborted = true;
                return true;
            }
            if ((wait == Wait::BeginAck && type == kDataBeginAck) ||
                (wait == Wait::EndAck && type == kDataEndAck))
                return true;
        }
        // The host's answers come on 4.1, which has a pipe of its own (over
        // USB an endpoint, over TCP a connection): once the image is sent
        // whole, a close of 4.2 taken in before its DataEndAck does not end
        // the wait, as a host that acknowledged the image before closing 4.1
        // has it.
        const bool secondClosed =
            wait != Wait::EndAck && m_sender.second.generation != transfer.secondGeneration;
        if (m_sender.first.generation != transfer.firstGeneration || secondClosed)
            return false;
        if (m_statusDue)
        {
            SendDueStatus(lock);
            continue;
        }
        m_changed.wait(lock);
    }
}

ImageTransferControl::Outcome ImageTransferControl::SendImage(std::unique_lock<std::mutex>& lock,
                                                              const SimImage& image,
                                                              std::optional<ImageTransferFault> fault)
{
    Transfer transfer;
    transfer.imageId = image.id;
    transfer.name = ImageTransferName(image.id);
    transfer.firstGeneration = m_sender.first.generation;
    transfer.secondGeneration = m_sender.second.generation;
    transfer.fault = fault;
    transfer.bytes = FileBuffer(lock, image);
    if (m_sender.Stopping() || m_sender.first.generation != transfer.firstGeneration ||
        m_sender.second.generation != transfer.secondGeneration)
        return Outcome::Interrupted;
    const std::uint64_t size = transfer.bytes->size();
    const ImageTransferFaultKind kind = fault ? fault->kind : ImageTransferFaultKind::SilentEnable; // none
    m_answers.clear();
    const DataSender::Open open = transfer.Open();
    // The faults that put the DataEnd beside a block send the data on 4.2.
    const bool beside =
        kind == ImageTransferFaultKind::EndBesideLastBlock || kind == ImageTransferFaultKind::RewriteBesideEnd;
    transfer.data = beside ? &m_sender.second : &m_sender.DataSlot();

    transfer.dataId = m_nextDataId++;
    std::uint64_t announced = size;
    if (kind == ImageTransferFaultKind::HugeMaxDataSize)
        announced = fault->maxDataSize != 0 ? fault->maxDataSize : kTwoToThe32;
    if (kind == ImageTransferFaultKind::AbortThenLargerBegin)
    {
        // A transfer abandoned at once, then the image under another id with a
        // larger size (in order, on the data's sub-channel).
        m_begunIds.insert(transfer.dataId);
        if (!m_sender.SendIn(lock, *transfer.data, open,
                             BuildDataBegin(kImageDataType, transfer.dataId, size, kNoTimeout, transfer.name)))
            return Outcome::Interrupted;
        if (fault->hold)
        {
            ++m_counters.faultsHeld;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_releaseHeld || m_sender.Stopping(); });
            m_releaseHeld = false;
            --m_counters.faultsHeld;
        }
        if (!m_sender.SendIn(lock, *transfer.data, open, BuildDataIdMessage(kDataAbort, transfer.dataId)))
            return Outcome::Interrupted;
        transfer.dataId = m_nextDataId++;
        announced = fault->largerMaxSize;
        transfer.base = fault->seekTo;
    }
    m_begunIds.insert(transfer.dataId);
    m_sent.push_back(
        {image.id, transfer.dataId, transfer.name, size, std::chrono::steady_clock::now(), false});
    ++m_counters.imagesBegun;
    DataSender::Slot& beginSlot =
        kind == ImageTransferFaultKind::AbortThenLargerBegin ? *transfer.data : m_sender.ControlSlot();
    if (!m_sender.SendIn(lock, beginSlot, open,
                         BuildDataBegin(kImageDataType, transfer.dataId, announced, kNoTimeout, transfer.name)))
        return Outcome::Interrupted;

    bool aborted = false;
    if (kind != ImageTransferFaultKind::BlocksBeforeAck)
    {
        if (!WaitForAnswer(lock, transfer, Wait::BeginAck, aborted))
            return Outcome::Interrupted;
        if (aborted)
            return Outcome::AbortedByHost;
    }
    if (transfer.base > 0 &&
        !m_sender.SendIn(lock, *transfer.data, open, BuildDataSeek(transfer.dataId, transfer.base)))
        return Outcome::Interrupted;

    // A fault in the middle of the image strikes at its byte offset within the
    // image (also when `afterBytes` lies inside a block or beyond a small
    // image): a fault taken for this image always happens.
    if (fault && IsMidImageFault(kind) && size > 0)
        transfer.blocks.faultAt = std::min(fault->afterBytes, size - 1);
    if (kind == ImageTransferFaultKind::EndBesideLastBlock && size > 0)
        transfer.blocks.faultAt = (size - 1) / m_blockSize * m_blockSize; // the last block
    const auto atFault = [&](std::uint64_t& offset) -> std::optional<Outcome>
    {
        Outcome outcome = Outcome::Interrupted;
        if (SendMidImageFault(lock, transfer, offset, outcome))
            return outcome;
        if (kind == ImageTransferFaultKind::SeekBackAndResend)
            offset = 0;
        return std::nullopt;
    };
    const auto afterBlock = [&]() -> std::optional<Outcome>
    {
        if (TakeAbort(transfer.dataId))
            return Outcome::AbortedByHost;
        SendDueStatus(lock);
        return std::nullopt;
    };
    transfer.blocks.dataId = transfer.dataId;
    transfer.blocks.bytes = transfer.bytes;
    transfer.blocks.blockSize = m_blockSize;
    transfer.blocks.slot = transfer.data;
    if (const std::optional<Outcome> ended =
            m_sender.SendBlocks(lock, open, transfer.blocks, atFault, afterBlock, m_counters.bytesSent))
        return *ended;

    if (kind == ImageTransferFaultKind::RewriteBesideEnd && size > 0)
    {
        // Back to the start, and a first block that differs, beside the DataEnd.
        if (!m_sender.SendIn(lock, *transfer.data, open, BuildDataSeek(transfer.dataId, transfer.base)))
            return Outcome::Interrupted;
        const std::vector<std::uint8_t> rewritten = RewrittenImage(
            std::vector<std::uint8_t>(transfer.bytes->begin(),
                                      transfer.bytes->begin() +
                                          static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(m_blockSize, size))),
            m_blockSize);
        return SendEndBesideBlock(lock, transfer, rewritten, kRewriteHeadStart);
    }

    std::uint64_t total = transfer.base + size;
    if (kind == ImageTransferFaultKind::ShortDataEnd && total > 0)
        --total;
    m_endedIds.insert(transfer.dataId);
    if (!m_sender.SendIn(lock, m_sender.ControlSlot(), open, BuildDataEnd(transfer.dataId, total)))
        return Outcome::Interrupted;
    if (!WaitForAnswer(lock, transfer, Wait::EndAck, aborted))
        return Outcome::Interrupted;
    if (aborted)
        return Outcome::AbortedByHost;
    MarkCompleted(transfer.dataId);
    return Outcome::Completed;
}

bool ImageTransferControl::SendMidImageFault(std::unique_lock<std::mutex>& lock, Transfer& transfer,
                                             std::uint64_t offset, Outcome& outcome)
{
    const std::uint64_t size = transfer.bytes->size();
    const std::uint64_t block = std::min<std::uint64_t>(m_blockSize, size - offset);
    const DataSender::Open open = transfer.Open();
    DataSender::Slot& data = *transfer.data;
    bool aborted = false;
    // Waits for the host's DataAbort (or a close): the camera sends nothing more.
    const auto hostAborts = [&]
    {
        if (!WaitForAnswer(lock, transfer, Wait::Abort, aborted))
            return Outcome::Interrupted;
        return Outcome::AbortedByHost;
    };
    switch (transfer.fault->kind)
    {
    case ImageTransferFaultKind::AbortMidImage:
        m_sender.SendIn(lock, data, open, BuildDataIdMessage(kDataAbort, transfer.dataId));
        m_sender.FollowAbort(data);
        outcome = Outcome::AbortedByCamera;
        return true;
    case ImageTransferFaultKind::StallMidImage:
    case ImageTransferFaultKind::DropMidBlock:
        // Half a block: its header promises more than follows.
        outcome = m_sender.SendHalfBlockAndHang(lock, open, transfer.blocks, offset,
                                                transfer.fault->kind == ImageTransferFaultKind::DropMidBlock);
        return true;
    case ImageTransferFaultKind::BlockBeyondMaxSize:
    {
        // The rest of the image and one byte more.
        std::vector<std::uint8_t> bytes(transfer.bytes->begin() + static_cast<std::ptrdiff_t>(offset),
                                        transfer.bytes->end());
        bytes.push_back(0);
        if (!m_sender.SendIn(lock, data, open, BuildDataBlock(transfer.dataId, bytes)))
        {
            outcome = Outcome::Interrupted;
            return true;
        }
        outcome = hostAborts();
        return true;
    }
    case ImageTransferFaultKind::BlockBeyondMessage:
    {
        const auto header = BuildDataBlockHeader(transfer.dataId, static_cast<std::uint32_t>(block + 1),
                                                 static_cast<std::uint32_t>(block));
        const std::span<const std::uint8_t> bytes(transfer.bytes->data() + offset,
                                                  static_cast<std::size_t>(block));
        if (m_sender.SendIn(lock, data, open, header))
            m_sender.SendIn(lock, data, open, bytes, transfer.bytes);
        outcome = hostAborts();
        return true;
    }
    case ImageTransferFaultKind::SeekBackAndResend:
        if (!m_sender.SendIn(lock, data, open,
                             BuildDataSeek(transfer.dataId, transfer.base)))
        {
            outcome = Outcome::Interrupted;
            return true;
        }
        return false; // the caller sends every block again
    case ImageTransferFaultKind::SecondBeginSameId:
        if (!m_sender.SendIn(lock, data, open,
                BuildDataBegin(kImageDataType, transfer.dataId, size, kNoTimeout, transfer.name)))
        {
            outcome = Outcome::Interrupted;
            return true;
        }
        outcome = hostAborts();
        return true;
    case ImageTransferFaultKind::SecondBeginOtherId:
    {
        const std::uint32_t other = m_nextDataId++;
        m_begunIds.insert(other);
        if (!m_sender.SendIn(lock, data, open,
                BuildDataBegin(kImageDataType, other, size, kNoTimeout, ImageTransferName(transfer.imageId))))
        {
            outcome = Outcome::Interrupted;
            return true;
        }
        return false; // the image goes on
    }
    case ImageTransferFaultKind::QuietMidImage:
        outcome = hostAborts();
        return true;
    case ImageTransferFaultKind::EndBesideLastBlock:
        outcome = SendEndBesideBlock(
            lock, transfer,
            std::span<const std::uint8_t>(transfer.bytes->data() + offset, static_cast<std::size_t>(size - offset)),
            std::chrono::milliseconds(0));
        return true;
    case ImageTransferFaultKind::DataErrorMidImage:
        if (!m_sender.SendIn(lock, data, open,
                BuildDataError(transfer.fault->errorId, kClassDataTransfer, kDataBlock, transfer.dataId)))
        {
            outcome = Outcome::Interrupted;
            return true;
        }
        outcome = hostAborts();
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------
// The handler.

ImageTransferHandler::ImageTransferHandler(std::shared_ptr<ImageTransferControl> control)
    : m_control(std::move(control))
{
}

void ImageTransferHandler::OnOpen(ChannelContext& context)
{
    MessageChannelHandler::OnOpen(context);
    m_control->Attach(context);
}

void ImageTransferHandler::OnClose(ChannelContext& context)
{
    m_control->Detach(context);
    MessageChannelHandler::OnClose(context);
}

bool ImageTransferHandler::OnMessage(ChannelContext& context, const MessageHeader& header,
                                     std::span<const std::uint8_t> message)
{
    if (context.Channel() != kFirst)
        return false; // the host sends everything on 4.1
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    if (header.messageClass == kClassImageTransfer)
    {
        switch (header.messageType)
        {
        case kItGetStatus:
            if (ExpectSize(context, header, kItGetStatusSize, "GetStatus"))
                m_control->OnGetStatus(context);
            return true;
        case kItEnableTransfer:
            if (ExpectSize(context, header, kItRequestSize, "EnableTransfer"))
            {
                const std::uint8_t enable = r.U8();
                const bool padded = r.U8() == 0 && r.U8() == 0 && r.U8() == 0;
                if (enable > 1 || !padded)
                    context.ReportViolation(ViolationKind::BadMessage, "EnableTransfer with enable " +
                                                                           std::to_string(enable) +
                                                                           " or non-zero bytes 17 to 19");
                else
                    m_control->OnEnableTransfer(context, enable);
            }
            return true;
        case kItSetHostStorageSize:
            if (ExpectSize(context, header, kItRequestSize, "SetHostStorageSize"))
                m_control->OnSetHostStorageSize(context, r.U32());
            return true;
        case kItRequestImage:
            if (ExpectSize(context, header, kItRequestSize, "RequestImage"))
                m_control->OnRequestImage(context, r.U32());
            return true;
        default:
            return false;
        }
    }
    if (header.messageClass != kClassDataTransfer)
        return false;
    switch (header.messageType)
    {
    case kDataBeginAck:
    case kDataEndAck:
    case kDataAbort:
        if (ExpectSize(context, header, kDataIdMessageSize, "data-transfer answer"))
        {
            const std::uint32_t dataId = r.U32();
            if (r.U32() != 0)
                context.ReportViolation(ViolationKind::BadMessage,
                                        "non-zero bytes 20 to 23 of a data-transfer answer");
            m_control->OnHostAnswer(context, header.messageType, dataId);
        }
        return true;
    case kDataError:
    {
        // A DataError from the host carries no text.
        if (!ExpectSize(context, header, kDataErrorHeaderSize, "DataError"))
            return true;
        const std::uint32_t errorId = r.U32();
        r.Seek(kCommonErrorHeaderSize);
        m_control->OnHostDataError(context, errorId, r.U32());
        return true;
    }
    default:
        return false;
    }
}

ChannelHandlerFactory ImageTransferHandler::Factory(std::shared_ptr<ImageTransferControl> control)
{
    return [control](ChannelId) { return std::make_unique<ImageTransferHandler>(control); };
}

} // namespace Q7::Sim
