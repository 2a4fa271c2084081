#include "SimProgrammingHandler.h"

#include "SimByteCursor.h"
#include "SimLog.h"
#include "SimStreamHandler.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

namespace Q7::Sim
{

namespace
{

// The key the camera scrambles its logs with.
constexpr std::array<std::uint8_t, 8> kScrambleKey{0x5A, 0xC3, 0x17, 0x9E, 0x64, 0x2B, 0xF0, 0x81};

// The value the host's DataBegin carries at offset 40: its largest block.
constexpr std::uint32_t kHostDataAttributes = kHostMaxBlockSize;
constexpr std::uint32_t kNoTimeout = 0xFFFFFFFF;
// A camera's buffer holds the largest block with its fixed part, and a little more.
constexpr std::uint32_t kMaxProgrammingMessageSize = kHostMaxBlockSize + 4096;

std::string Hex8(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::vector<std::uint8_t> BuildGetLogAck(std::uint32_t logId, std::uint32_t result, std::uint32_t dataId)
{
    auto msg = StartMessage(kClassProgramming, kGetLogAck, kGetLogAckSize, kGetLogAckSize);
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U32(logId);
    w.U32(result);
    w.U32(dataId);
    return msg;
}

bool IsUploadFault(ProgrammingFaultKind kind)
{
    switch (kind)
    {
    case ProgrammingFaultKind::RefuseUpload:
    case ProgrammingFaultKind::IgnoreUploadBegin:
    case ProgrammingFaultKind::ErrorOnUploadBegin:
    case ProgrammingFaultKind::AbortUpload:
    case ProgrammingFaultKind::ErrorInUpload:
    case ProgrammingFaultKind::StallUpload:
        return true;
    default:
        return false;
    }
}

} // namespace

void ScrambleLog(std::span<std::uint8_t> bytes)
{
    // Eight bytes at a time, each group lined up with the whole key.
    std::uint64_t key = 0;
    std::memcpy(&key, kScrambleKey.data(), sizeof key);
    std::size_t i = 0;
    for (; i + sizeof key <= bytes.size(); i += sizeof key)
    {
        std::uint64_t group = 0;
        std::memcpy(&group, bytes.data() + i, sizeof group);
        group ^= key;
        std::memcpy(bytes.data() + i, &group, sizeof group);
    }
    for (; i < bytes.size(); ++i)
    {
        bytes[i] ^= kScrambleKey[i % kScrambleKey.size()];
    }
}

// ---------------------------------------------------------------- store

void ProgrammingStore::SetLog(std::uint32_t logId, std::vector<std::uint8_t> bytes, bool scramble)
{
    if (scramble)
    {
        ScrambleLog(bytes);
    }
    auto shared = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    std::lock_guard lock(m_mutex);
    m_logs[logId] = std::move(shared);
}

void ProgrammingStore::SetDownloadBlockSize(std::uint32_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_blockSize = std::max<std::uint32_t>(bytes, 1);
}

void ProgrammingStore::SetDownloadTimeout(std::uint32_t ms)
{
    std::lock_guard lock(m_mutex);
    m_timeout = ms;
}

void ProgrammingStore::AddFault(ProgrammingFault fault)
{
    std::lock_guard lock(m_mutex);
    m_faults.push_back(fault);
}

std::vector<Upload> ProgrammingStore::Uploads() const
{
    std::lock_guard lock(m_mutex);
    return m_uploads;
}

void ProgrammingStore::ClearUploads()
{
    std::lock_guard lock(m_mutex);
    m_uploads.clear();
}

ProgrammingCounters ProgrammingStore::Counters() const
{
    std::lock_guard lock(m_mutex);
    return m_counters;
}

bool ProgrammingStore::WaitUntil(const std::function<bool(const ProgrammingCounters&)>& predicate,
                                 std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return predicate(m_counters); });
}

ProgrammingStore::LogBytes ProgrammingStore::FindLog(std::uint32_t logId) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_logs.find(logId);
    return it == m_logs.end() ? nullptr : it->second;
}

void ProgrammingStore::SetUploadHandling(UploadHandling handling)
{
    std::lock_guard lock(m_mutex);
    m_uploadHandling = handling;
}

ProgrammingStore::UploadHandling ProgrammingStore::GetUploadHandling() const
{
    std::lock_guard lock(m_mutex);
    return m_uploadHandling;
}

std::uint32_t ProgrammingStore::DownloadBlockSize() const
{
    std::lock_guard lock(m_mutex);
    return m_blockSize;
}

std::uint32_t ProgrammingStore::DownloadTimeout() const
{
    std::lock_guard lock(m_mutex);
    return m_timeout;
}

std::uint32_t ProgrammingStore::NextDataId()
{
    std::lock_guard lock(m_mutex);
    return m_nextDataId++;
}

std::optional<ProgrammingFault> ProgrammingStore::TakeFault(bool upload)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it)
    {
        if (IsUploadFault(it->kind) == upload)
        {
            ProgrammingFault fault = *it;
            m_faults.erase(it);
            return fault;
        }
    }
    return std::nullopt;
}

void ProgrammingStore::AddUpload(Upload upload)
{
    {
        std::lock_guard lock(m_mutex);
        m_uploads.push_back(std::move(upload));
    }
    m_changed.notify_all();
}

void ProgrammingStore::Update(const std::function<void(ProgrammingCounters&)>& change)
{
    {
        std::lock_guard lock(m_mutex);
        change(m_counters);
    }
    m_changed.notify_all();
}

// ---------------------------------------------------------------- handler

ProgrammingHandler::ProgrammingHandler(std::shared_ptr<ProgrammingStore> store)
    : MessageChannelHandler(kMaxProgrammingMessageSize),
      m_store(store ? std::move(store) : std::make_shared<ProgrammingStore>())
{
}

ProgrammingHandler::~ProgrammingHandler()
{
    StopDownload();
}

ChannelHandlerFactory ProgrammingHandler::Factory(std::shared_ptr<ProgrammingStore> store)
{
    return [store](ChannelId) { return std::make_unique<ProgrammingHandler>(store); };
}

void ProgrammingHandler::OnOpen(ChannelContext& context)
{
    MessageChannelHandler::OnOpen(context);
    m_receiving.reset();
    m_sending.reset();
    m_blockTarget = BlockTarget::Ignored;
}

void ProgrammingHandler::OnClose(ChannelContext& context)
{
    // The context refuses sends from here on, so a sender blocked in Send returns.
    StopDownload();
    MessageChannelHandler::OnClose(context);
}

void ProgrammingHandler::StopDownload()
{
    {
        std::lock_guard lock(m_downloadMutex);
        m_stopDownload = true;
    }
    m_downloadStopped.notify_all();
    if (m_sender.joinable())
    {
        m_sender.join();
    }
}

void ProgrammingHandler::WaitForDownloadStop()
{
    std::unique_lock lock(m_downloadMutex);
    m_downloadStopped.wait(lock, [&] { return m_stopDownload; });
}

bool ProgrammingHandler::OnMessage(ChannelContext& context, const MessageHeader& header,
                                   std::span<const std::uint8_t> message)
{
    if (header.messageClass == kClassProgramming && header.messageType == kGetLog)
    {
        OnGetLog(context, header, message);
        return true;
    }
    if (header.messageClass != kClassDataTransfer)
    {
        return false;
    }
    switch (header.messageType)
    {
    case kDataBegin:
        OnDataBegin(context, header, message);
        return true;
    case kDataBlock:
        OnDataBlock(context, header, message);
        return true;
    case kDataEnd:
        OnDataEnd(context, header, message);
        return true;
    case kDataAbort:
    case kDataBeginAck:
    case kDataEndAck:
        OnDataIdMessage(context, header, message);
        return true;
    case kDataError:
        OnDataError(context, header, message);
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------- uploads

void ProgrammingHandler::OnDataBegin(ChannelContext& context, const MessageHeader& header,
                                     std::span<const std::uint8_t> message)
{
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    Upload upload;
    upload.dataType = r.U32();
    upload.dataId = r.U32();
    const std::uint64_t reserved24 = ReadU64(r);
    upload.announcedSize = ReadU64(r);
    const std::uint32_t attributes = r.U32();
    const std::uint32_t timeout = r.U32();
    const std::uint16_t nameLength = r.U16();
    const std::uint16_t nameOffset = r.U16();
    const std::uint32_t reserved52 = r.U32();
    const auto name = r.Bytes(nameLength);

    if (header.headerSize != kDataBeginSize || !r.Ok() ||
        std::uint64_t{header.messageSize} != kDataBeginSize + std::uint64_t{nameLength})
    {
        context.ReportViolation(ViolationKind::BadMessage,
                                "DataBegin has messageHeaderSize " + std::to_string(header.headerSize) +
                                    ", messageSize " + std::to_string(header.messageSize) +
                                    " and nameLength " + std::to_string(nameLength));
        return;
    }
    if (reserved24 != 0 || attributes != kHostDataAttributes || timeout != kNoTimeout ||
        nameOffset != kDataBeginSize || reserved52 != 0)
    {
        context.ReportViolation(ViolationKind::BadMessage,
                                "DataBegin fields: offset 24 " + std::to_string(reserved24) +
                                    ", attributes " + Hex8(attributes) + ", time-out " + Hex8(timeout) +
                                    ", nameOffset " + std::to_string(nameOffset) + ", offset 52 " +
                                    std::to_string(reserved52));
    }
    if (!name.empty())
    {
        const auto zero = std::find(name.begin(), name.end(), std::uint8_t{0});
        if (zero != name.end() - 1)
        {
            context.ReportViolation(ViolationKind::BadMessage,
                                    "DataBegin name is not a text ending in its only zero byte");
        }
        upload.name.assign(name.begin(), zero);
    }
    if (upload.announcedSize > 0xFFFFFFFFu)
    {
        context.ReportViolation(ViolationKind::BadMessage, "DataBegin announces " +
                                                               std::to_string(upload.announcedSize) +
                                                               " bytes, more than a transfer carries");
    }
    if (m_receiving || m_sending)
    {
        context.ReportViolation(ViolationKind::UnexpectedMessage,
                                "DataBegin while another transfer is in progress");
    }

    const std::uint32_t dataId = upload.dataId;
    const std::optional<ProgrammingFault> fault = m_store->TakeFault(true);
    m_store->Update(
        [](ProgrammingCounters& c)
        {
            ++c.uploadsBegun;
            c.uploadBytesReceived = 0;
        });
    if (fault && fault->kind == ProgrammingFaultKind::RefuseUpload)
    {
        m_receiving.reset();
        SendMessage(context, BuildDataIdMessage(kDataAbort, dataId));
        return;
    }
    if (fault && fault->kind == ProgrammingFaultKind::IgnoreUploadBegin)
    {
        m_receiving.reset();
        m_lastUploadFailed = dataId;
        return;
    }
    if (fault && fault->kind == ProgrammingFaultKind::ErrorOnUploadBegin)
    {
        m_receiving.reset();
        SendMessage(context, BuildDataError(fault->errorId, header.messageClass, header.messageType, dataId));
        return;
    }
    const ProgrammingStore::UploadHandling handling = m_store->GetUploadHandling();
    if (handling == ProgrammingStore::UploadHandling::Keep)
    {
        // Up to a bound: the announced size comes from the host.
        upload.bytes.reserve(
            static_cast<std::size_t>(std::min<std::uint64_t>(upload.announcedSize, 1u << 30)));
    }
    m_receiving = Receiving{std::move(upload), fault, handling};
    SendMessage(context, BuildDataIdMessage(kDataBeginAck, dataId));
}

void ProgrammingHandler::OnDataBlock(ChannelContext& context, const MessageHeader& header,
                                     std::span<const std::uint8_t> message)
{
    const std::size_t fixed = std::min<std::size_t>(message.size(), kDataBlockHeaderSize);
    BeginBlock(context, header, message.first(fixed));
    BlockData(message.subspan(fixed));
    EndBlock(context, header);
}

std::size_t ProgrammingHandler::StreamedPrefix(const MessageHeader& header)
{
    const bool block = header.messageClass == kClassDataTransfer && header.messageType == kDataBlock &&
                       header.headerSize == kDataBlockHeaderSize;
    return block ? kDataBlockHeaderSize : 0;
}

void ProgrammingHandler::OnStreamedStart(ChannelContext& context, const MessageHeader& header,
                                         std::span<const std::uint8_t> prefix)
{
    BeginBlock(context, header, prefix);
}

void ProgrammingHandler::OnStreamedData(ChannelContext&, const MessageHeader&,
                                        std::span<const std::uint8_t> piece)
{
    BlockData(piece);
}

void ProgrammingHandler::OnStreamedEnd(ChannelContext& context, const MessageHeader& header)
{
    EndBlock(context, header);
}

void ProgrammingHandler::BeginBlock(ChannelContext& context, const MessageHeader& header,
                                    std::span<const std::uint8_t> fixedPart)
{
    m_blockTarget = BlockTarget::Ignored;
    ByteReader r(fixedPart);
    r.Seek(kMessageHeaderSize);
    const std::uint32_t dataId = r.U32();
    const std::uint32_t reserved20 = r.U32();
    const std::uint32_t reserved24 = r.U32();
    const std::uint32_t tag = r.U32();
    const std::uint32_t blockSize = r.U32();
    if (header.headerSize != kDataBlockHeaderSize || !r.Ok() ||
        std::uint64_t{header.messageSize} != kDataBlockHeaderSize + std::uint64_t{blockSize})
    {
        context.ReportViolation(ViolationKind::BadMessage,
                                "DataBlock has messageHeaderSize " + std::to_string(header.headerSize) +
                                    ", messageSize " + std::to_string(header.messageSize) +
                                    " and blockSize " + std::to_string(blockSize));
        return;
    }
    if (reserved20 != 0 || reserved24 != 0 || tag != kBlockTag || blockSize > kHostMaxBlockSize)
    {
        context.ReportViolation(ViolationKind::BadMessage,
                                "DataBlock fields: offset 20 " + std::to_string(reserved20) + ", offset 24 " +
                                    std::to_string(reserved24) + ", tag " + Hex8(tag) + ", blockSize " +
                                    std::to_string(blockSize));
    }
    m_blockDataId = dataId;
    if (!m_receiving || m_receiving->upload.dataId != dataId)
    {
        // Blocks the host queued before it saw the camera end the transfer are
        // dropped; any other block is out of place.
        if (m_lastUploadFailed == dataId)
        {
            m_blockTarget = BlockTarget::AfterEnd;
        }
        else
        {
            context.ReportViolation(ViolationKind::UnexpectedMessage,
                                    "DataBlock of id " + std::to_string(dataId) + " without an upload");
        }
        return;
    }
    const Upload& upload = m_receiving->upload;
    if (upload.size + std::uint64_t{blockSize} > upload.announcedSize)
    {
        context.ReportViolation(ViolationKind::BadMessage, "DataBlock goes beyond the announced " +
                                                               std::to_string(upload.announcedSize) +
                                                               " bytes");
    }
    m_blockTarget = BlockTarget::Upload;
}

void ProgrammingHandler::BlockData(std::span<const std::uint8_t> data)
{
    if (m_blockTarget == BlockTarget::AfterEnd)
    {
        const std::size_t bytes = data.size();
        m_store->Update([bytes](ProgrammingCounters& c) { c.uploadBytesAfterEnd += bytes; });
        return;
    }
    if (m_blockTarget != BlockTarget::Upload)
    {
        return;
    }
    Upload& upload = m_receiving->upload;
    switch (m_receiving->handling)
    {
    case ProgrammingStore::UploadHandling::Keep:
        upload.bytes.insert(upload.bytes.end(), data.begin(), data.end());
        break;
    case ProgrammingStore::UploadHandling::CheckPattern:
        upload.patternMatched = upload.patternMatched && !FindPatternMismatch(upload.size, data).has_value();
        break;
    case ProgrammingStore::UploadHandling::CountOnly:
        break;
    }
    upload.size += data.size();
}

void ProgrammingHandler::EndBlock(ChannelContext& context, const MessageHeader& header)
{
    const BlockTarget target = std::exchange(m_blockTarget, BlockTarget::Ignored);
    if (target != BlockTarget::Upload)
    {
        return;
    }
    const std::uint64_t received = m_receiving->upload.size;
    m_store->Update([received](ProgrammingCounters& c) { c.uploadBytesReceived = received; });

    const auto& fault = m_receiving->fault;
    if (fault && received >= fault->afterBytes &&
        (fault->kind == ProgrammingFaultKind::AbortUpload ||
         fault->kind == ProgrammingFaultKind::ErrorInUpload))
    {
        const bool abort = fault->kind == ProgrammingFaultKind::AbortUpload;
        const std::uint32_t errorId = fault->errorId;
        const std::uint32_t dataId = m_blockDataId;
        m_lastUploadFailed = dataId;
        m_receiving.reset();
        SendMessage(context, abort
                                 ? BuildDataIdMessage(kDataAbort, dataId)
                                 : BuildDataError(errorId, header.messageClass, header.messageType, dataId));
    }
}

void ProgrammingHandler::OnDataEnd(ChannelContext& context, const MessageHeader& header,
                                   std::span<const std::uint8_t> message)
{
    if (!ExpectSize(context, header, kDataEndSize, "DataEnd"))
    {
        return;
    }
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    const std::uint32_t dataId = r.U32();
    const std::uint32_t reserved20 = r.U32();
    const std::uint64_t totalSize = ReadU64(r);
    if (!m_receiving || m_receiving->upload.dataId != dataId)
    {
        if (m_lastUploadFailed != dataId)
        {
            context.ReportViolation(ViolationKind::UnexpectedMessage,
                                    "DataEnd of id " + std::to_string(dataId) + " without an upload");
        }
        return;
    }
    Upload upload = std::move(m_receiving->upload);
    const std::optional<ProgrammingFault> fault = m_receiving->fault;
    m_receiving.reset();
    m_store->Update([](ProgrammingCounters& c) { ++c.uploadEndsReceived; });
    if (reserved20 != 0 || totalSize != upload.size || totalSize != upload.announcedSize)
    {
        context.ReportViolation(ViolationKind::BadMessage,
                                "DataEnd total " + std::to_string(totalSize) + " after " +
                                    std::to_string(upload.size) + " bytes of " +
                                    std::to_string(upload.announcedSize) + " announced (offset 20 " +
                                    std::to_string(reserved20) + ")");
        SendMessage(context, BuildDataError(0x02000006, header.messageClass, header.messageType, dataId));
        return;
    }
    if (fault && fault->kind == ProgrammingFaultKind::StallUpload)
    {
        return;
    }
    upload.completed = true;
    m_store->AddUpload(std::move(upload));
    m_store->Update([](ProgrammingCounters& c) { ++c.uploadsCompleted; });
    SendMessage(context, BuildDataIdMessage(kDataEndAck, dataId));
}

// ---------------------------------------------------------------- acknowledgements, aborts, errors

void ProgrammingHandler::OnDataIdMessage(ChannelContext& context, const MessageHeader& header,
                                         std::span<const std::uint8_t> message)
{
    const char* name = header.messageType == kDataAbort      ? "DataAbort"
                       : header.messageType == kDataBeginAck ? "DataBeginAck"
                                                             : "DataEndAck";
    if (!ExpectSize(context, header, kDataIdMessageSize, name))
    {
        return;
    }
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    const std::uint32_t dataId = r.U32();
    const std::uint32_t reserved20 = r.U32();
    if (reserved20 != 0)
    {
        context.ReportViolation(ViolationKind::BadMessage, std::string(name) + " offset 20 is not 0");
    }

    if (header.messageType == kDataAbort)
    {
        if (m_receiving && m_receiving->upload.dataId == dataId)
        {
            m_lastUploadFailed = dataId;
            m_receiving.reset();
            m_store->Update([](ProgrammingCounters& c) { ++c.uploadsAbortedByHost; });
        }
        else if (m_sending && m_sending->dataId == dataId)
        {
            StopDownload();
            m_sending.reset();
            m_store->Update([](ProgrammingCounters& c) { ++c.downloadsAbortedByHost; });
        }
        // A DataAbort of a transfer that already ended is harmless.
        return;
    }
    if (!m_sending || m_sending->dataId != dataId)
    {
        context.ReportViolation(ViolationKind::UnexpectedMessage, std::string(name) + " of id " +
                                                                      std::to_string(dataId) +
                                                                      " without a download");
        return;
    }
    if (header.messageType == kDataBeginAck)
    {
        if (m_sending->acknowledged)
        {
            context.ReportViolation(ViolationKind::UnexpectedMessage, "second DataBeginAck of a download");
            return;
        }
        m_sending->acknowledged = true;
        m_store->Update([](ProgrammingCounters& c) { ++c.downloadsAcknowledged; });
        if (m_sender.joinable())
        {
            m_sender.join();
        }
        {
            std::lock_guard lock(m_downloadMutex);
            m_stopDownload = false;
        }
        m_sender = std::thread([this, &context] { SendDownload(context); });
        return;
    }
    // DataEndAck: only after the whole download went out.
    StopDownload();
    m_sending.reset();
    m_store->Update([](ProgrammingCounters& c) { ++c.downloadsCompleted; });
}

void ProgrammingHandler::OnDataError(ChannelContext& context, const MessageHeader& header,
                                     std::span<const std::uint8_t> message)
{
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    const std::uint32_t errorId = r.U32();
    r.Skip(4);
    const std::uint16_t textSize = r.U16();
    const std::uint16_t textOffset = r.U16();
    const std::uint32_t dataId = r.U32();
    if (header.headerSize != kDataErrorHeaderSize || !r.Ok() || textOffset != kDataErrorHeaderSize ||
        std::uint64_t{header.messageSize} != kDataErrorHeaderSize + std::uint64_t{textSize})
    {
        context.ReportViolation(ViolationKind::BadMessage, "DataError sizes or text offset are wrong");
    }
    context.Log().Write(LogLevel::Info, "channel 1.0: host sent DataError " + Hex8(errorId) + " for id " +
                                            std::to_string(dataId));
}

// ---------------------------------------------------------------- downloads

void ProgrammingHandler::OnGetLog(ChannelContext& context, const MessageHeader& header,
                                  std::span<const std::uint8_t> message)
{
    if (!ExpectSize(context, header, kGetLogSize, "GetLog"))
    {
        return;
    }
    ByteReader r(message);
    r.Seek(kMessageHeaderSize);
    const std::uint32_t logId = r.U32();
    m_store->Update([](ProgrammingCounters& c) { ++c.logRequests; });
    if (m_sending || m_receiving)
    {
        context.ReportViolation(ViolationKind::UnexpectedMessage, "GetLog while a transfer is in progress");
    }

    const std::optional<ProgrammingFault> fault = m_store->TakeFault(false);
    if (fault && fault->kind == ProgrammingFaultKind::IgnoreGetLog)
    {
        return;
    }
    const ProgrammingStore::LogBytes log = m_store->FindLog(logId);
    if (!log || (fault && fault->kind == ProgrammingFaultKind::RefuseLog))
    {
        SendMessage(context, BuildGetLogAck(logId, log ? fault->result : kLogResultNotExist, 0));
        return;
    }
    const std::uint32_t dataId = m_store->NextDataId();
    SendMessage(context, BuildGetLogAck(logId, kLogResultOk, dataId));
    if (fault && fault->kind == ProgrammingFaultKind::NoDataBegin)
    {
        return;
    }

    if (m_sender.joinable())
    {
        StopDownload();
    }
    Sending sending;
    sending.dataId = dataId;
    sending.bytes = log;
    sending.announcedSize =
        fault && fault->kind == ProgrammingFaultKind::AnnounceSize ? fault->announcedSize : log->size();
    sending.fault = fault;
    const std::uint64_t announced = sending.announcedSize;
    m_sending = std::move(sending);
    m_store->Update([](ProgrammingCounters& c) { ++c.downloadsBegun; });
    SendMessage(context, BuildDataBegin(logId, dataId, announced, m_store->DownloadTimeout(), "log"));
}

void ProgrammingHandler::SendDownload(ChannelContext& context)
{
    // The receive thread does not touch the download's bytes or fault while the
    // sender runs (it stops the sender before it drops them).
    const Sending& job = *m_sending;
    const std::vector<std::uint8_t>& bytes = *job.bytes;
    const std::uint32_t blockSize = m_store->DownloadBlockSize();
    const auto stopped = [this]
    {
        std::lock_guard lock(m_downloadMutex);
        return m_stopDownload;
    };
    const auto send = [&](const std::vector<std::uint8_t>& msg)
    { return !stopped() && SendMessage(context, msg); };

    std::uint64_t sent = 0;
    for (;;)
    {
        if (job.fault && sent >= job.fault->afterBytes)
        {
            switch (job.fault->kind)
            {
            case ProgrammingFaultKind::AbortDownload:
                send(BuildDataIdMessage(kDataAbort, job.dataId));
                return;
            case ProgrammingFaultKind::ErrorInDownload:
                send(BuildDataError(job.fault->errorId, kClassDataTransfer, kDataBeginAck, job.dataId));
                return;
            case ProgrammingFaultKind::BlockOutOfRange:
            {
                // One byte more than the announced size leaves room for.
                const std::uint64_t size = job.announcedSize - std::min(sent, job.announcedSize) + 1;
                const std::vector<std::uint8_t> filler(static_cast<std::size_t>(size), 0xEE);
                send(BuildDataBlock(job.dataId, filler));
                WaitForDownloadStop();
                return;
            }
            case ProgrammingFaultKind::StallDownload:
                WaitForDownloadStop();
                return;
            default:
                break;
            }
        }
        if (sent >= bytes.size())
        {
            break;
        }
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, bytes.size() - sent));
        // The block's bytes go out from the log itself, which the queued
        // packets keep alive: a camera streams from its storage.
        if (!send(BuildDataBlockHeader(job.dataId, static_cast<std::uint32_t>(n),
                                       static_cast<std::uint32_t>(n))) ||
            stopped() ||
            !context.SendShared(std::span(bytes).subspan(static_cast<std::size_t>(sent), n), job.bytes))
        {
            return;
        }
        sent += n;
        m_store->Update([n](ProgrammingCounters& c) { c.downloadBytesSent += n; });
    }
    const bool mismatch = job.fault && job.fault->kind == ProgrammingFaultKind::EndSizeMismatch;
    send(BuildDataEnd(job.dataId, sent + (mismatch ? 1 : 0)));
}

} // namespace Q7::Sim
