#include "SimConnection.h"

#include "SimByteCursor.h"
#include "SimSha256.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>

namespace Q7::Sim
{

namespace
{

// Room for sixteen of the largest packets, as much as a host writes at once, so
// that most reads take many packets at once.
constexpr std::size_t kReceiveBufferSize = 16 * kMaxPacketSize;

std::string HeaderBytesText(std::span<const std::uint8_t> bytes)
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < std::min<std::size_t>(8, bytes.size()); ++i)
    {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        out += (i ? " " : "");
        out += buf;
    }
    return out;
}

bool AllZero(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

} // namespace

void ChannelContextImpl::ReportViolation(ViolationKind kind, std::string text)
{
    Violation v;
    v.connection = m_connection.Id();
    v.hasChannel = true;
    v.channel = m_config.id;
    v.kind = kind;
    v.text = std::move(text);
    m_connection.Core()->observations.AddViolation(std::move(v));
}

void ChannelContextImpl::RecordMessage(const MessageHeader& header, std::span<const std::uint8_t> message)
{
    MessageRecord r;
    r.connection = m_connection.Id();
    r.channel = m_config.id;
    r.header = header;
    r.bytes.assign(message.begin(),
                   message.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(message.size(), 512)));
    m_connection.Core()->observations.AddMessage(std::move(r));
}

Connection::Connection(std::uint64_t id, std::unique_ptr<ByteStream> stream, std::shared_ptr<CameraCore> core)
    : m_id(id), m_stream(std::move(stream)), m_core(std::move(core)), m_rx(kReceiveBufferSize)
{
}

Connection::~Connection()
{
    RequestStop(DropMode::Close);
    Join();
}

void Connection::Start()
{
    try
    {
        m_sender = std::thread([this] { SendLoop(); });
        m_receiver = std::thread([this] { ReceiveLoop(); });
    }
    catch (...)
    {
        RequestStop(DropMode::Close);
        {
            std::lock_guard lock(m_txMutex);
            m_txStop = true;
        }
        m_txChanged.notify_all();
        if (m_sender.joinable())
        {
            m_sender.join();
        }
        m_stream->Close(DropMode::Close);
        m_finished = true;
        throw;
    }
}

void Connection::RequestStop(DropMode mode)
{
    {
        std::lock_guard lock(m_stopMutex);
        if (!m_stopRequested)
        {
            m_stopRequested = true;
            m_dropMode = mode;
        }
    }
    m_stopChanged.notify_all();
    m_stream->Wake();
}

bool Connection::StopRequested() const
{
    std::lock_guard lock(m_stopMutex);
    return m_stopRequested;
}

void Connection::Join()
{
    std::lock_guard lock(m_joinMutex);
    if (m_receiver.joinable() && m_receiver.get_id() != std::this_thread::get_id())
    {
        m_receiver.join();
    }
}

bool Connection::Finished() const
{
    return m_finished.load();
}

void Connection::Log(LogLevel level, const std::string& line) const
{
    if (m_core->logger.Enabled(level))
    {
        m_core->logger.Write(level, "connection " + std::to_string(m_id) + ": " + line);
    }
}

void Connection::Violate(ViolationKind kind, std::string text, std::optional<ChannelId> id)
{
    Violation v;
    v.connection = m_id;
    v.hasChannel = id.has_value();
    v.channel = id.value_or(ChannelId{});
    v.kind = kind;
    v.text = std::move(text);
    m_core->observations.AddViolation(std::move(v));
}

// ------------------------------------------------------------------ threads

void Connection::ReceiveLoop()
{
    Log(LogLevel::Info, m_stream->UsbEndpoint()
                            ? "serving USB endpoint " + std::to_string(*m_stream->UsbEndpoint())
                            : "connected (local port " + std::to_string(LocalPort()) + ")");
    while (!StopRequested())
    {
        if (!Fill(kPacketHeaderSize))
        {
            break;
        }
        const std::span<const std::uint8_t> head(m_rx.data() + m_rxBegin, kPacketHeaderSize);
        const PacketHeader h = DecodePacketHeader(head.first<kPacketHeaderSize>());
        // The stream cannot be trusted past a broken header: a camera drops the connection.
        if (h.magic != kPacketMagic)
        {
            Violate(ViolationKind::BadPacketMagic,
                    "bad packet header " + HeaderBytesText(head) + "; dropping the connection");
            RequestStop(DropMode::Close);
            break;
        }
        if (h.headerLength < kPacketHeaderSize || h.headerLength % 8 != 0)
        {
            Violate(ViolationKind::BadHeaderLength, "headerLength " + std::to_string(h.headerLength) +
                                                        " in header " + HeaderBytesText(head) +
                                                        "; dropping the connection");
            RequestStop(DropMode::Close);
            break;
        }
        const std::size_t total = static_cast<std::size_t>(h.PacketLength());
        if (!Fill(total))
        {
            break;
        }
        const std::span<const std::uint8_t> packet(m_rx.data() + m_rxBegin, total);
        m_rxBegin += total;
        HandlePacket(h, packet);
        if (m_stopReading)
        {
            // A camera that no longer reads: the host's writes pile up until the connection ends.
            Log(LogLevel::Warning, "fault: no longer reading the connection");
            std::unique_lock lock(m_stopMutex);
            m_stopChanged.wait(lock, [&] { return m_stopRequested; });
            break;
        }
    }
    Shutdown();
}

bool Connection::Fill(std::size_t n)
{
    if (m_rxEnd - m_rxBegin >= n)
    {
        return true;
    }
    if (m_rxBegin + n > m_rx.size())
    {
        std::memmove(m_rx.data(), m_rx.data() + m_rxBegin, m_rxEnd - m_rxBegin);
        m_rxEnd -= m_rxBegin;
        m_rxBegin = 0;
    }
    while (m_rxEnd - m_rxBegin < n)
    {
        const Received received = m_stream->Receive(std::span(m_rx).subspan(m_rxEnd));
        if (received.bytes == 0)
        {
            if (!received.end.empty())
            {
                Log(LogLevel::Info, received.end);
            }
            return false;
        }
        m_rxEnd += received.bytes;
    }
    return true;
}

void Connection::SendLoop()
{
    // Everything due is written in batches of up to this much, one system call each.
    constexpr std::size_t kBatchItems = 64;
    constexpr std::size_t kBatchBytes = 1024 * 1024;
    std::vector<OutItem> batch;
    for (;;)
    {
        batch.clear();
        {
            std::unique_lock lock(m_txMutex);
            m_txChanged.wait(lock, [&] { return m_txStop || (!m_txQueue.empty() && !m_txBusy); });
            if (m_txStop)
            {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            const auto due = m_txQueue.front().notBefore;
            if (due > now)
            {
                // A delayed answer holds back everything behind it, as a camera that is slow to answer.
                m_txChanged.wait_until(lock, due, [&] { return m_txStop; });
                continue;
            }
            std::size_t bytes = 0;
            while (!m_txQueue.empty() && batch.size() < kBatchItems && bytes < kBatchBytes &&
                   m_txQueue.front().notBefore <= now)
            {
                bytes += m_txQueue.front().size;
                batch.push_back(std::move(m_txQueue.front()));
                m_txQueue.pop_front();
                if (batch.back().post != PostAction::None)
                {
                    break;
                }
            }
            m_txBusy = true;
        }
        const bool sent = SendBatch(batch);
        if (sent)
        {
            // Recorded while still busy, so that the records keep the wire's order.
            RecordSent(batch);
        }
        std::size_t dataBytes = 0;
        for (const auto& item : batch)
        {
            dataBytes += item.data ? item.size : 0;
        }
        {
            std::lock_guard lock(m_txMutex);
            m_txDataBytes -= dataBytes;
            // A stalled output stays busy: nothing more goes out.
            m_txBusy = sent && batch.back().post == PostAction::Stall;
        }
        m_txChanged.notify_all();
        if (!sent)
        {
            RequestStop(DropMode::Close);
            StopQueue();
            return;
        }
        const PostAction post = batch.back().post;
        if (post == PostAction::Stall)
        {
            // A camera stalled in the middle of a packet: nothing more goes out.
            Log(LogLevel::Warning, "fault: output stalled");
            std::unique_lock lock(m_txMutex);
            m_txChanged.wait(lock, [&] { return m_txStop; });
            return;
        }
        if (post != PostAction::None)
        {
            Log(LogLevel::Warning, post == PostAction::Reset ? "fault: resetting the connection"
                                                             : "fault: dropping the connection");
            RequestStop(post == PostAction::Reset ? DropMode::Reset : DropMode::Close);
            StopQueue();
            return;
        }
    }
}

void Connection::RecordSent(const std::vector<OutItem>& batch)
{
    std::map<ChannelId, std::pair<std::uint64_t, std::uint64_t>> data; // packets, payload bytes
    for (const auto& item : batch)
    {
        if (item.data)
        {
            auto& d = data[item.channel];
            ++d.first;
            d.second += item.payloadBytes;
            continue;
        }
        if (item.continuation || item.bytes.size() < kPacketHeaderSize)
        {
            continue; // raw bytes of a test, or the rest of a packet recorded before
        }
        PacketRecord r;
        r.connection = m_id;
        r.fromHost = false;
        r.header = DecodePacketHeader(
            std::span<const std::uint8_t, kPacketHeaderSize>(item.bytes.data(), kPacketHeaderSize));
        const PacketHeader header = r.header;
        const std::size_t payloadEnd = std::min<std::size_t>(
            item.bytes.size(), kPacketHeaderSize + std::min<std::size_t>(header.payloadLength, 64));
        r.payload.assign(item.bytes.begin() + kPacketHeaderSize,
                         item.bytes.begin() + static_cast<std::ptrdiff_t>(payloadEnd));
        m_core->observations.AddPacket(std::move(r));
        Log(LogLevel::Debug, std::string("sent ") + PacketTypeName(header.type) + " on channel " +
                                 header.Channel().ToString());
    }
    if (!data.empty())
    {
        m_core->observations.Update(
            [&](Observations& o)
            {
                for (const auto& [channel, counts] : data)
                {
                    auto& c = o.data[channel];
                    c.packetsToHost += counts.first;
                    c.bytesToHost += counts.second;
                }
            });
    }
}

bool Connection::SendBatch(std::vector<OutItem>& batch)
{
    static constexpr std::array<std::uint8_t, 256> kZeros{};
    std::vector<std::span<const std::uint8_t>> pieces;
    pieces.reserve(3 * batch.size());
    const auto add = [&pieces](const std::uint8_t* bytes, std::size_t n)
    {
        if (n > 0)
        {
            pieces.emplace_back(bytes, n);
        }
    };
    for (auto& item : batch)
    {
        if (!item.data)
        {
            add(item.bytes.data(), item.bytes.size());
            continue;
        }
        add(item.header.data(), item.header.size());
        if (item.constantPayload.empty())
        {
            add(item.bytes.data(), item.bytes.size());
        }
        else
        {
            add(item.constantPayload.data(), item.constantPayload.size());
        }
        add(kZeros.data(), item.padding);
    }
    if (pieces.empty())
    {
        return true; // a fault's marker item carries no bytes
    }
    std::string failure;
    if (!m_stream->Send(pieces, failure))
    {
        if (!failure.empty())
        {
            Log(LogLevel::Info, failure);
        }
        return false;
    }
    return true;
}

void Connection::SendDirect(std::unique_lock<std::mutex>& lock, bool bulk)
{
    // Small answers leave this way (a request's reply, a control packet); bulk
    // data keeps to the send thread, which writes it in large batches, unless
    // a handler's own streaming thread writes it (`bulk`). Never waits for
    // the stream either way.
    const std::size_t directItems = bulk ? 64 : 4;
    const std::size_t directBytes = bulk ? 4 * 1024 * 1024 : 16 * 1024;
    std::vector<OutItem> batch;
    if (!m_txStop && !m_txBusy)
    {
        const auto now = std::chrono::steady_clock::now();
        std::size_t bytes = 0;
        while (!m_txQueue.empty() && batch.size() < directItems && m_txQueue.front().notBefore <= now &&
               m_txQueue.front().post == PostAction::None && bytes + m_txQueue.front().size <= directBytes)
        {
            bytes += m_txQueue.front().size;
            batch.push_back(std::move(m_txQueue.front()));
            m_txQueue.pop_front();
        }
    }
    if (batch.empty())
    {
        lock.unlock();
        m_txChanged.notify_all();
        return;
    }
    m_txBusy = true;
    lock.unlock();

    // The pieces of each item, as SendBatch writes them.
    static constexpr std::array<std::uint8_t, 256> kZeros{};
    std::vector<std::vector<std::span<const std::uint8_t>>> itemPieces(batch.size());
    std::vector<std::span<const std::uint8_t>> pieces;
    for (std::size_t i = 0; i < batch.size(); ++i)
    {
        OutItem& item = batch[i];
        auto& own = itemPieces[i];
        if (!item.data)
        {
            own.emplace_back(item.bytes.data(), item.bytes.size());
        }
        else
        {
            own.emplace_back(item.header.data(), item.header.size());
            if (item.constantPayload.empty())
            {
                own.emplace_back(item.bytes.data(), item.bytes.size());
            }
            else
            {
                own.emplace_back(item.constantPayload.data(), item.constantPayload.size());
            }
            own.emplace_back(kZeros.data(), item.padding);
        }
        pieces.insert(pieces.end(), own.begin(), own.end());
    }
    std::string failure;
    bool failed = false;
    std::size_t sent = m_stream->TrySend(pieces, failure, failed);

    // Items written whole or in part count as sent; the rest of a part-written
    // item and the untouched items go back to the head of the queue.
    std::vector<OutItem> written;
    std::deque<OutItem> back;
    std::size_t dataBytes = 0;
    for (std::size_t i = 0; i < batch.size(); ++i)
    {
        OutItem& item = batch[i];
        if (sent == 0)
        {
            back.push_back(std::move(item));
            continue;
        }
        if (sent < item.size)
        {
            OutItem rest;
            rest.continuation = true;
            rest.channel = item.channel;
            std::size_t skip = sent;
            for (const auto& piece : itemPieces[i])
            {
                const std::size_t from = std::min(skip, piece.size());
                skip -= from;
                rest.bytes.insert(rest.bytes.end(), piece.begin() + static_cast<std::ptrdiff_t>(from),
                                  piece.end());
            }
            rest.size = rest.bytes.size();
            back.push_back(std::move(rest));
            sent = 0;
        }
        else
        {
            sent -= item.size;
        }
        dataBytes += item.data ? item.size : 0;
        written.push_back(std::move(item));
    }
    if (!failed && !written.empty())
    {
        RecordSent(written); // while still busy, as the send thread records
    }
    bool wake = false;
    {
        std::lock_guard relock(m_txMutex);
        m_txDataBytes -= dataBytes;
        for (auto it = back.rbegin(); it != back.rend(); ++it)
        {
            m_txQueue.push_front(std::move(*it));
        }
        m_txBusy = false;
        // The send thread has work only when something stayed queued; a
        // sender waiting for room only when data left.
        wake = !m_txQueue.empty() || (dataBytes > 0 && m_txRoomWaiters > 0);
    }
    if (wake)
    {
        m_txChanged.notify_all();
    }
    if (failed)
    {
        Log(LogLevel::Info, failure);
        RequestStop(DropMode::Close);
        StopQueue();
    }
}

void Connection::StopQueue()
{
    {
        std::lock_guard lock(m_txMutex);
        m_txStop = true;
    }
    m_txChanged.notify_all();
}

void Connection::Shutdown()
{
    RequestStop(DropMode::Close);
    StopQueue();
    if (m_sender.joinable())
    {
        m_sender.join();
    }
    Handlers handlers;
    {
        std::lock_guard lock(m_stateMutex);
        for (auto& [id, slot] : m_slots)
        {
            if (slot.state == SlotState::Open)
            {
                LeaveOpenLocked(slot, id);
            }
            slot.state = SlotState::Closed;
            slot.pingOutstanding.reset();
            if (slot.handler)
            {
                handlers.emplace_back(std::move(slot.handler), std::move(slot.context));
            }
        }
    }
    m_stateChanged.notify_all();
    for (auto& [handler, context] : handlers)
    {
        FinishHandler(std::move(handler), std::move(context));
    }
    DropMode mode;
    {
        std::lock_guard lock(m_stopMutex);
        mode = m_dropMode;
    }
    m_stream->Close(mode);
    Log(LogLevel::Info, mode == DropMode::Reset ? "connection reset" : "connection closed");
    m_finished = true;
    m_core->observations.Update([](Observations& o) { ++o.connectionsEnded; });
}

// ------------------------------------------------------------------ sending

void Connection::QueueControl(std::vector<std::uint8_t> bytes, ChannelId id, std::chrono::milliseconds delay,
                              PostAction post)
{
    OutItem item;
    item.bytes = std::move(bytes);
    item.size = item.bytes.size();
    item.channel = id;
    item.notBefore = std::chrono::steady_clock::now() + delay;
    item.post = post;
    std::unique_lock lock(m_txMutex);
    if (m_txStop)
    {
        return;
    }
    m_txQueue.push_back(std::move(item));
    SendDirect(lock);
}

void Connection::DropAfterOutput(ChannelId id)
{
    // Queued behind everything sent so far: written first, then the drop.
    QueueControl({}, id, std::chrono::milliseconds{0}, PostAction::Drop);
}

bool Connection::SendData(ChannelContextImpl& context, std::span<const std::uint8_t> bytes, bool constant,
                          std::shared_ptr<const void> owner, bool bulkAtOnce)
{
    const ChannelConfig& config = context.Config();
    const std::size_t chunk = std::max<std::size_t>(config.sendPayloadLimit, 1);
    const std::uint8_t tag = m_core->faults.PacketTag();
    std::vector<OutItem> items;
    std::size_t offset = 0;
    do
    {
        const std::size_t n = std::min(chunk, bytes.size() - offset);
        const std::span<const std::uint8_t> payload = bytes.subspan(offset, n);
        OutItem& item = items.emplace_back();
        const PacketHeader header = MakeDataHeader(config.id, n, config.sendAlignmentExponent, tag);
        EncodePacketHeader(header, item.header);
        if (constant)
        {
            item.constantPayload = payload;
            item.owner = owner;
        }
        else
        {
            item.bytes.assign(payload.begin(), payload.end());
        }
        item.padding = header.paddingLength;
        item.size = header.PacketLength();
        item.channel = config.id;
        item.data = true;
        item.serial = context.Serial();
        item.payloadBytes = n;
        offset += n;
    } while (offset < bytes.size());

    // Queued with as few hand-overs to the send thread as the queue's room allows.
    for (std::size_t next = 0; next < items.size();)
    {
        {
            std::unique_lock lock(m_txMutex);
            ++m_txRoomWaiters;
            m_txChanged.wait(lock,
                             [&]
                             {
                                 return !context.IsOpen() || m_txStop || m_txDataBytes == 0 ||
                                        m_txDataBytes + items[next].size <= m_core->sendQueueLimit;
                             });
            --m_txRoomWaiters;
            if (!context.IsOpen() || m_txStop)
            {
                return false;
            }
            do
            {
                m_txDataBytes += items[next].size;
                m_txQueue.push_back(std::move(items[next]));
                ++next;
            } while (next < items.size() && m_txDataBytes + items[next].size <= m_core->sendQueueLimit);
            if (next == items.size())
            {
                SendDirect(lock, bulkAtOnce);
                return true;
            }
        }
        m_txChanged.notify_all();
    }
    return true;
}

// ------------------------------------------------------------ channel state

Connection::Slot& Connection::SlotFor(ChannelId id, const ChannelConfig* config)
{
    Slot& slot = m_slots[id];
    if (slot.config == nullptr)
    {
        slot.config = config;
    }
    return slot;
}

void Connection::LeaveOpenLocked(Slot& slot, ChannelId id)
{
    if (slot.context)
    {
        std::lock_guard lock(m_txMutex);
        slot.context->SetOpen(false);
        // Data the camera had not yet written on this open is dropped with it.
        const auto serial = slot.context->Serial();
        for (auto it = m_txQueue.begin(); it != m_txQueue.end();)
        {
            if (it->data && it->serial == serial)
            {
                m_txDataBytes -= it->size;
                it = m_txQueue.erase(it);
            }
            else
            {
                ++it;
            }
        }
    }
    m_txChanged.notify_all();
    if (slot.countedOpen)
    {
        m_core->ReleaseOpen(id);
        slot.countedOpen = false;
    }
    slot.pingOutstanding.reset();
}

void Connection::FinishHandler(std::unique_ptr<ChannelHandler> handler,
                               std::shared_ptr<ChannelContextImpl> context)
{
    if (handler && context)
    {
        try
        {
            handler->OnClose(*context);
        }
        catch (const std::exception& e)
        {
            Log(LogLevel::Error, std::string("channel handler failed on close: ") + e.what());
        }
    }
    handler.reset();
}

void Connection::CloseFromCamera(ChannelId id, std::uint64_t serial)
{
    {
        std::lock_guard lock(m_stateMutex);
        auto it = m_slots.find(id);
        if (it == m_slots.end())
        {
            return;
        }
        Slot& slot = it->second;
        if (serial != 0 &&
            (!slot.context || slot.context->Serial() != serial || slot.state != SlotState::Open))
        {
            return; // a handler of an earlier open
        }
        if (slot.state == SlotState::Open)
        {
            LeaveOpenLocked(slot, id);
            slot.state = SlotState::CloseSent;
        }
        ++slot.closeRequestsOutstanding;
        QueueControl(BuildClosePacket(PacketType::CloseRequest, id, m_core->faults.PacketTag()), id);
    }
    Log(LogLevel::Info, "camera closes channel " + id.ToString());
}

// ------------------------------------------------------------ test actions

bool Connection::SendPing(ChannelId id, std::uint8_t value, std::uint64_t& answersBefore)
{
    if (Finished() || StopRequested())
    {
        return false;
    }
    std::lock_guard lock(m_stateMutex);
    Slot& slot = SlotFor(id, Served(id));
    answersBefore = slot.pingAnswers;
    slot.pingOutstanding = value;
    QueueControl(BuildPingRequest(id, value, m_core->faults.PacketTag()), id);
    return true;
}

bool Connection::WaitPingAnswers(ChannelId id, std::uint64_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_stateMutex);
    return m_stateChanged.wait_for(lock, timeout,
                                   [&]
                                   {
                                       auto it = m_slots.find(id);
                                       return it != m_slots.end() && it->second.pingAnswers >= count;
                                   });
}

bool Connection::SendOnChannel(ChannelId id, std::span<const std::uint8_t> bytes)
{
    std::shared_ptr<ChannelContextImpl> context;
    {
        std::lock_guard lock(m_stateMutex);
        auto it = m_slots.find(id);
        if (it == m_slots.end() || it->second.state != SlotState::Open)
        {
            return false;
        }
        context = it->second.context;
    }
    return context && context->Send(bytes);
}

bool Connection::SendCloseRequest(ChannelId id)
{
    if (Finished() || StopRequested())
    {
        return false;
    }
    {
        std::lock_guard lock(m_stateMutex);
        SlotFor(id, Served(id));
    }
    CloseFromCamera(id, 0);
    return true;
}

bool Connection::SendErrorReply(ChannelId id, std::uint8_t code)
{
    if (Finished() || StopRequested())
    {
        return false;
    }
    QueueControl(BuildErrorReply(id, code, 0, m_core->faults.PacketTag()), id);
    return true;
}

bool Connection::SendRaw(std::vector<std::uint8_t> bytes)
{
    if (Finished() || StopRequested())
    {
        return false;
    }
    QueueControl(std::move(bytes), ChannelId{});
    return true;
}

bool Connection::SendMalformed(MalformedHeader kind, ChannelId id)
{
    return SendRaw(BuildMalformedPacket(kind, id));
}

std::vector<ChannelId> Connection::OpenChannels() const
{
    std::lock_guard lock(m_stateMutex);
    std::vector<ChannelId> out;
    for (const auto& [id, slot] : m_slots)
    {
        if (slot.state == SlotState::Open)
        {
            out.push_back(id);
        }
    }
    return out;
}

// --------------------------------------------------------- packet handling

const ChannelConfig* Connection::Served(ChannelId id) const
{
    const ChannelConfig* config = m_core->description.FindChannel(id);
    const std::optional<std::uint8_t> endpoint = m_stream->UsbEndpoint();
    if (config != nullptr && endpoint && config->UsbEndpoint() != *endpoint)
    {
        return nullptr;
    }
    return config;
}

bool Connection::CheckControlLength(const PacketHeader& h)
{
    std::size_t payload = 0;
    std::uint64_t length = kControlPacketSize;
    switch (static_cast<PacketType>(h.type))
    {
    case PacketType::OpenRequest:
        payload = kOpenPayloadSize;
        break;
    case PacketType::CloseRequest:
    case PacketType::CloseReply:
        payload = 0;
        break;
    case PacketType::ErrorReply:
        payload = kErrorReplyPayloadSize;
        break;
    case PacketType::PingReply:
    {
        payload = kPingPayloadSize;
        std::uint8_t exponent = 0;
        {
            std::lock_guard lock(m_stateMutex);
            auto it = m_slots.find(h.Channel());
            exponent = it == m_slots.end() ? 0 : it->second.hostAlignmentExponent;
        }
        // A host pads its PingReply to the channel's alignment like any packet.
        length = kPingPacketSize + AlignmentPadding(kPingPacketSize, exponent);
        break;
    }
    default:
        return true;
    }
    const std::uint64_t actual = std::uint64_t{kPacketHeaderSize} + h.payloadLength + h.paddingLength;
    if (h.payloadLength == payload && actual == length)
    {
        return true;
    }
    Violate(ViolationKind::BadPacketLength,
            std::string(PacketTypeName(h.type)) + " with payloadLength " + std::to_string(h.payloadLength) +
                " and packet length " + std::to_string(h.PacketLength()) + "; expected payload " +
                std::to_string(payload) + " in " + std::to_string(length) + " bytes",
            h.Channel());
    return false;
}

void Connection::HandlePacket(const PacketHeader& h, std::span<const std::uint8_t> packet)
{
    const ChannelId id = h.Channel();
    const auto payload = packet.subspan(h.headerLength, h.payloadLength);
    const auto padding = packet.subspan(std::size_t{h.headerLength} + h.payloadLength);
    const auto type = static_cast<PacketType>(h.type);

    if (type == PacketType::Data)
    {
        m_core->observations.AddData(id, true, h.payloadLength);
    }
    else
    {
        PacketRecord r;
        r.connection = m_id;
        r.fromHost = true;
        r.header = h;
        r.payload.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(
                                                                std::min<std::size_t>(payload.size(), 64)));
        m_core->observations.AddPacket(std::move(r));
        Log(LogLevel::Debug,
            std::string("received ") + PacketTypeName(h.type) + " on channel " + id.ToString());
    }

    if (h.headerLength != kPacketHeaderSize)
    {
        Violate(ViolationKind::UnusualHeaderLength,
                "headerLength " + std::to_string(h.headerLength) + " (a host always sends 16)", id);
    }
    if (h.tag != 0)
    {
        Violate(ViolationKind::NonZeroTag, "tag " + std::to_string(h.tag) + " on " + PacketTypeName(h.type),
                id);
    }
    if (h.reserved != 0)
    {
        Violate(ViolationKind::NonZeroReserved,
                std::string("reserved header bytes of ") + PacketTypeName(h.type) + " are not 0", id);
    }
    if (!AllZero(padding))
    {
        Violate(ViolationKind::NonZeroPadding,
                std::string("padding of ") + PacketTypeName(h.type) + " is not 0", id);
    }

    switch (type)
    {
    case PacketType::OpenRequest:
    case PacketType::CloseRequest:
    case PacketType::CloseReply:
    case PacketType::PingReply:
    case PacketType::ErrorReply:
    case PacketType::Data:
        break;
    case PacketType::Null:
        // A camera ignores Null packets, but a host has no reason to send one.
        Violate(ViolationKind::UnexpectedPacketType, "Null packet (a host never sends one)", id);
        return;
    case PacketType::PingRequest:
    case PacketType::OpenReply:
    default:
        Violate(ViolationKind::UnexpectedPacketType,
                std::string(PacketTypeName(h.type)) + " (type " + std::to_string(h.type) +
                    ") is not a packet a host sends",
                id);
        QueueControl(BuildErrorReply(id, kErrorUnsupportedType, h.tag, m_core->faults.PacketTag()), id);
        return;
    }

    const ChannelConfig* config = Served(id);
    if (config == nullptr)
    {
        // The answer is ErrorReply 4 whatever the packet holds, but a malformed
        // control packet or OpenRequest is still the host's fault.
        const bool lengthOk = type == PacketType::Data || CheckControlLength(h);
        if (type == PacketType::ErrorReply)
        {
            if (lengthOk)
            {
                HandleErrorReply(h, payload); // never answered
            }
            return;
        }
        if (type == PacketType::OpenRequest)
        {
            if (lengthOk)
            {
                CheckOpenRequestFields(id, DecodeOpenPayload(payload));
            }
            Log(LogLevel::Info,
                "OpenRequest for channel " + id.ToString() + ", which the camera does not serve");
        }
        else
        {
            Violate(ViolationKind::UnsupportedChannel,
                    std::string(PacketTypeName(h.type)) + " on a channel the camera does not serve", id);
        }
        QueueControl(BuildErrorReply(id, kErrorUnsupportedChannel, h.tag, m_core->faults.PacketTag()), id);
        return;
    }

    if (type != PacketType::Data && !CheckControlLength(h))
    {
        if (type != PacketType::ErrorReply)
        {
            QueueControl(BuildErrorReply(id, kErrorInvalidHeader, h.tag, m_core->faults.PacketTag()), id);
        }
        return;
    }

    switch (type)
    {
    case PacketType::OpenRequest:
        HandleOpenRequest(h, payload, *config);
        break;
    case PacketType::CloseRequest:
        HandleCloseRequest(h);
        break;
    case PacketType::CloseReply:
        HandleCloseReply(h);
        break;
    case PacketType::PingReply:
        HandlePingReply(h, payload);
        break;
    case PacketType::ErrorReply:
        HandleErrorReply(h, payload);
        break;
    case PacketType::Data:
        HandleData(h, payload);
        break;
    default:
        break;
    }
}

void Connection::CheckOpenRequestFields(ChannelId id, const OpenPayload& req)
{
    std::string bad;
    auto note = [&](const std::string& what)
    {
        bad += bad.empty() ? "" : ", ";
        bad += what;
    };
    if ((req.flags & ~1u) != 0)
    {
        note("flags 0x" +
             [&]
             {
                 char b[12];
                 std::snprintf(b, sizeof b, "%X", req.flags);
                 return std::string(b);
             }());
    }
    if (req.maxPayloadLength != 0xFFFF)
    {
        note("maxPayloadLength " + std::to_string(req.maxPayloadLength) + " (expected 65535)");
    }
    if (req.channelProtocolVersion != 1)
    {
        note("channelProtocolVersion " + std::to_string(req.channelProtocolVersion) + " (expected 1)");
    }
    if (req.alignment != 0)
    {
        note("alignment " + std::to_string(req.alignment) + " (expected 0)");
    }
    if (req.primaryTimeout != 10000)
    {
        note("primaryTimeout " + std::to_string(req.primaryTimeout) + " (expected 10000)");
    }
    if (req.secondaryTimeout != 2000)
    {
        note("secondaryTimeout " + std::to_string(req.secondaryTimeout) + " (expected 2000)");
    }
    if (!bad.empty())
    {
        Violate(ViolationKind::BadOpenRequest, "OpenRequest fields: " + bad, id);
    }
    if (id == ChannelId{0, 0} && !AllZero(req.identity))
    {
        Violate(ViolationKind::BadIdentity, "OpenRequest on 0.0 carries a non-zero client identity", id);
    }
}

void Connection::HandleOpenRequest(const PacketHeader& h, std::span<const std::uint8_t> payload,
                                   const ChannelConfig& config)
{
    const ChannelId id = h.Channel();
    const std::uint8_t tag = m_core->faults.PacketTag();
    const OpenPayload req = DecodeOpenPayload(payload);
    CheckOpenRequestFields(id, req);

    {
        std::lock_guard lock(m_stateMutex);
        Slot& slot = SlotFor(id, &config);
        if (slot.state == SlotState::Open)
        {
            Violate(ViolationKind::PacketInWrongState, "OpenRequest on a channel that is open", id);
            QueueControl(BuildErrorReply(id, kErrorInvalidTypeForState, h.tag, tag), id);
            return;
        }
        if (slot.state == SlotState::CloseSent)
        {
            // The camera is closing the channel: this open crossed its CloseRequest.
            Log(LogLevel::Info, "OpenRequest on " + id.ToString() + " while closing; answering ErrorReply 3");
            QueueControl(BuildErrorReply(id, kErrorInvalidTypeForState, h.tag, tag), id);
            return;
        }
    }

    const auto fault = m_core->faults.TakeOpenFault(id);
    const auto delay = fault ? fault->delay : std::chrono::milliseconds{0};
    const OpenAction action = fault ? fault->action : OpenAction::Reply;
    if (fault)
    {
        Log(LogLevel::Warning, "fault on OpenRequest " + id.ToString() + ": action " +
                                   std::to_string(static_cast<int>(action)) + ", delay " +
                                   std::to_string(delay.count()) + " ms");
    }
    switch (action)
    {
    case OpenAction::Reply:
        break;
    case OpenAction::Ignore:
        return;
    case OpenAction::DropConnection:
        RequestStop(DropMode::Close);
        return;
    case OpenAction::ResetConnection:
        RequestStop(DropMode::Reset);
        return;
    case OpenAction::Unplug:
        Unplug();
        return;
    case OpenAction::CloseRequest:
    {
        std::lock_guard lock(m_stateMutex);
        ++SlotFor(id, &config).closeRequestsOutstanding;
        QueueControl(BuildClosePacket(PacketType::CloseRequest, id, tag), id, delay);
        return;
    }
    case OpenAction::ErrorReply:
        QueueControl(BuildErrorReply(id, fault->errorCode, h.tag, tag), id, delay);
        return;
    case OpenAction::Raw:
        QueueControl(fault->rawBytes, id, delay);
        return;
    case OpenAction::Malformed:
        QueueControl(BuildMalformedPacket(fault->malformed, id), id, delay);
        return;
    }

    // Status: a fault's, else the connection limit, else the authentication check.
    std::uint8_t status = kOpenAccepted;
    bool counted = false;
    if (fault && fault->status)
    {
        status = *fault->status;
    }
    else
    {
        const bool checksIdentity = id != ChannelId{0, 0} && id != ChannelId{255, 0};
        if (checksIdentity && m_core->description.authenticationCode &&
            req.identity != IdentityForAuthenticationCode(*m_core->description.authenticationCode))
        {
            status = kOpenAuthenticationFailed;
        }
        else if (!m_core->TryCountOpen(id, config.maxOpenConnections))
        {
            status = kOpenConnectionLimit;
        }
        else
        {
            counted = true;
        }
    }
    if (status == kOpenAccepted && !counted)
    {
        m_core->TryCountOpen(id, 0);
        counted = true;
    }

    OpenPayload fields;
    fields.flags = fault && fault->flags ? *fault->flags : (config.debugMode ? 1u : 0u);
    fields.maxPayloadLength =
        fault && fault->maxPayloadLength ? *fault->maxPayloadLength : config.maxPayloadLength;
    fields.channelProtocolVersion = fault && fault->channelProtocolVersion ? *fault->channelProtocolVersion
                                                                           : config.channelProtocolVersion;
    fields.alignment = fault && fault->alignment ? *fault->alignment : config.alignment;
    fields.primaryTimeout = fault && fault->primaryTimeout ? *fault->primaryTimeout : config.primaryTimeout;
    fields.secondaryTimeout = config.secondaryTimeout;
    fields.version = fault && fault->version ? *fault->version : config.ChooseVersion(req.version);
    auto reply = BuildOpenReply(id, fields, status, tag);

    const AfterReply after = fault ? fault->after : AfterReply::Nothing;
    const PostAction post = after == AfterReply::DropConnection    ? PostAction::Drop
                            : after == AfterReply::ResetConnection ? PostAction::Reset
                                                                   : PostAction::None;
    if (status != kOpenAccepted)
    {
        Log(LogLevel::Info, "refusing open of " + id.ToString() + " with status " + std::to_string(status));
        QueueControl(std::move(reply), id, delay, post);
        return;
    }

    std::unique_ptr<ChannelHandler> handler;
    try
    {
        handler = m_core->FactoryFor(id)(id);
    }
    catch (const std::exception& e)
    {
        Log(LogLevel::Error, std::string("channel handler factory failed: ") + e.what());
    }
    std::shared_ptr<ChannelContextImpl> context;
    ChannelHandler* handlerPtr = nullptr;
    {
        std::lock_guard lock(m_stateMutex);
        Slot& slot = SlotFor(id, &config);
        context = std::make_shared<ChannelContextImpl>(*this, config, fields.version, m_nextSerial++);
        slot.state = SlotState::Open;
        slot.closedByHost = false;
        slot.bytesThisOpen = 0;
        slot.countedOpen = counted;
        slot.pingOutstanding.reset();
        // Mirror what the host takes from this reply: alignment once the status and
        // channel protocol version passed, the maximum payload once alignment passed too.
        if (fields.channelProtocolVersion == 1)
        {
            const std::uint8_t high = fields.alignment >> 4;
            const std::uint8_t low = fields.alignment & 0x0F;
            if (high <= kMaxAlignmentExponent && low <= kMaxAlignmentExponent)
            {
                slot.hostAlignmentExponent = high;
                const auto maxPayload = static_cast<std::uint16_t>(
                    fields.maxPayloadLength & static_cast<std::uint16_t>(0xFFFFu << high));
                if (maxPayload >= kInitialMaxPayload)
                {
                    slot.hostMaxPayload = maxPayload;
                }
            }
        }
        slot.context = context;
        slot.handler = std::move(handler);
        handlerPtr = slot.handler.get();
        QueueControl(std::move(reply), id, delay, post);
        if (after == AfterReply::CloseRequest)
        {
            LeaveOpenLocked(slot, id);
            slot.state = SlotState::CloseSent;
            ++slot.closeRequestsOutstanding;
            QueueControl(BuildClosePacket(PacketType::CloseRequest, id, tag), id, delay);
        }
    }
    m_core->observations.Update([](Observations& o) { ++o.opensAccepted; });
    Log(LogLevel::Info, "opened channel " + id.ToString() + " at version " + fields.version.ToString());
    if (handlerPtr != nullptr)
    {
        try
        {
            handlerPtr->OnOpen(*context);
        }
        catch (const std::exception& e)
        {
            Log(LogLevel::Error, std::string("channel handler failed on open: ") + e.what());
        }
    }
}

void Connection::HandleCloseRequest(const PacketHeader& h)
{
    const ChannelId id = h.Channel();
    if (const auto fault = m_core->faults.TakeCloseFault(id))
    {
        Log(LogLevel::Warning, "fault on CloseRequest " + id.ToString());
        if (fault->action == CloseAction::Unplug)
        {
            Unplug();
        }
        else
        {
            RequestStop(DropMode::Close);
        }
        return;
    }
    std::unique_ptr<ChannelHandler> handler;
    std::shared_ptr<ChannelContextImpl> context;
    bool wasOpen = false;
    {
        std::lock_guard lock(m_stateMutex);
        Slot& slot = SlotFor(id, Served(id));
        if (slot.state == SlotState::Open)
        {
            LeaveOpenLocked(slot, id);
            wasOpen = true;
        }
        else if (slot.state == SlotState::CloseSent)
        {
            // Both sides closed at once; the host's CloseReply to ours may still come.
            wasOpen = true;
        }
        slot.state = SlotState::Closed;
        slot.closedByHost = true;
        handler = std::move(slot.handler);
        context = std::move(slot.context);
        // A camera answers a CloseRequest in any state.
        QueueControl(BuildClosePacket(PacketType::CloseReply, id, m_core->faults.PacketTag()), id);
    }
    m_stateChanged.notify_all();
    FinishHandler(std::move(handler), std::move(context));
    if (wasOpen)
    {
        m_core->observations.Update([](Observations& o) { ++o.closesCompleted; });
        Log(LogLevel::Info, "host closed channel " + id.ToString());
    }
}

void Connection::HandleCloseReply(const PacketHeader& h)
{
    const ChannelId id = h.Channel();
    std::unique_ptr<ChannelHandler> handler;
    std::shared_ptr<ChannelContextImpl> context;
    bool completed = false;
    {
        std::lock_guard lock(m_stateMutex);
        Slot& slot = SlotFor(id, Served(id));
        if (slot.closeRequestsOutstanding == 0)
        {
            Violate(ViolationKind::UnexpectedCloseReply, "CloseReply without a CloseRequest from the camera",
                    id);
            return;
        }
        --slot.closeRequestsOutstanding;
        slot.closedByHost = true;
        if (slot.state == SlotState::CloseSent)
        {
            slot.state = SlotState::Closed;
            handler = std::move(slot.handler);
            context = std::move(slot.context);
            completed = true;
        }
    }
    m_stateChanged.notify_all();
    FinishHandler(std::move(handler), std::move(context));
    if (completed)
    {
        m_core->observations.Update([](Observations& o) { ++o.closesCompleted; });
        Log(LogLevel::Info, "channel " + id.ToString() + " closed by the camera");
    }
}

void Connection::HandlePingReply(const PacketHeader& h, std::span<const std::uint8_t> payload)
{
    const ChannelId id = h.Channel();
    bool answered = false;
    {
        std::lock_guard lock(m_stateMutex);
        Slot& slot = SlotFor(id, Served(id));
        if (!slot.pingOutstanding)
        {
            Violate(ViolationKind::UnexpectedPingReply, "PingReply without a PingRequest from the camera",
                    id);
            return;
        }
        const std::uint8_t expected = *slot.pingOutstanding;
        slot.pingOutstanding.reset();
        if (payload.size() != kPingPayloadSize || payload[0] != expected || !AllZero(payload.subspan(1)))
        {
            Violate(ViolationKind::BadPingReply,
                    "PingReply payload does not echo byte " + std::to_string(expected) +
                        " followed by seven zeros",
                    id);
        }
        else
        {
            ++slot.pingAnswers;
            answered = true;
        }
    }
    m_stateChanged.notify_all();
    if (answered)
    {
        m_core->observations.Update([](Observations& o) { ++o.pingsAnswered; });
    }
}

void Connection::HandleErrorReply(const PacketHeader& h, std::span<const std::uint8_t> payload)
{
    const ChannelId id = h.Channel();
    const std::uint8_t code = payload.size() > 0 ? payload[0] : 0;
    const std::uint8_t echoedTag = payload.size() > 1 ? payload[1] : 0;
    // The host sends codes 1 to 4 and 8; it copies the tag of the packet it refuses.
    if (payload.size() != kErrorReplyPayloadSize || (!(code >= 1 && code <= 4) && code != 8))
    {
        Violate(ViolationKind::BadErrorReply,
                "ErrorReply with code " + std::to_string(code) + " (a host sends 1 to 4 or 8)", id);
    }
    const std::uint8_t tag = m_core->faults.PacketTag();
    if (echoedTag != tag)
    {
        Violate(ViolationKind::BadErrorReply,
                "ErrorReply tag byte " + std::to_string(echoedTag) + " does not copy the camera's tag " +
                    std::to_string(tag),
                id);
    }
    Log(LogLevel::Warning, "host sent ErrorReply " + std::to_string(code) + " (" + ErrorReplyText(code) +
                               ") on channel " + id.ToString());
}

void Connection::HandleData(const PacketHeader& h, std::span<const std::uint8_t> payload)
{
    const ChannelId id = h.Channel();
    ChannelHandler* handler = nullptr;
    std::shared_ptr<ChannelContextImpl> context;
    std::uint64_t bytesSoFar = 0;
    std::optional<std::uint8_t> errorReply;
    {
        std::lock_guard lock(m_stateMutex);
        Slot& slot = SlotFor(id, Served(id));
        if (slot.state != SlotState::Open)
        {
            if (slot.closedByHost)
            {
                Violate(ViolationKind::DataAfterClose, "Data after the host's CloseRequest or CloseReply",
                        id);
            }
            else if (slot.state == SlotState::CloseSent)
            {
                // Data that crossed the camera's CloseRequest: dropped, as the channel is gone.
                Log(LogLevel::Debug, "dropping Data on closing channel " + id.ToString());
            }
            else
            {
                Violate(ViolationKind::DataOnClosedChannel, "Data on a channel the host has not opened", id);
            }
            return;
        }
        const std::uint8_t exponent = slot.hostAlignmentExponent;
        const std::uint64_t unpadded = std::uint64_t{h.headerLength} + h.payloadLength;
        const std::uint64_t mask = (std::uint64_t{1} << exponent) - 1;
        if ((h.PacketLength() & mask) != 0)
        {
            Violate(ViolationKind::Misaligned,
                    "Data packet of " + std::to_string(h.PacketLength()) + " bytes is not a multiple of " +
                        std::to_string(mask + 1),
                    id);
            errorReply = kErrorInvalidAlignment;
        }
        else if (h.paddingLength != AlignmentPadding(unpadded, exponent))
        {
            Violate(ViolationKind::Misaligned,
                    "Data packet padding " + std::to_string(h.paddingLength) + " instead of " +
                        std::to_string(AlignmentPadding(unpadded, exponent)),
                    id);
        }
        if (h.payloadLength > slot.hostMaxPayload)
        {
            Violate(ViolationKind::PayloadTooLong,
                    "Data payload " + std::to_string(h.payloadLength) + " above the channel's maximum " +
                        std::to_string(slot.hostMaxPayload),
                    id);
        }
        slot.bytesThisOpen += h.payloadLength;
        bytesSoFar = slot.bytesThisOpen;
        handler = slot.handler.get();
        context = slot.context;
    }
    if (errorReply)
    {
        QueueControl(BuildErrorReply(id, *errorReply, h.tag, m_core->faults.PacketTag()), id);
    }
    if (handler != nullptr && context)
    {
        try
        {
            handler->OnData(*context, payload);
        }
        catch (const std::exception& e)
        {
            Log(LogLevel::Error, std::string("channel handler failed on data: ") + e.what());
        }
    }
    if (m_core->faults.HasDataFaults())
    {
        if (auto fault = m_core->faults.TakeDataFault(id, bytesSoFar))
        {
            ApplyDataFault(*fault, id);
        }
    }
}

void Connection::ApplyDataFault(const DataFault& fault, ChannelId id)
{
    Log(LogLevel::Warning, "data fault on channel " + id.ToString() + ": action " +
                               std::to_string(static_cast<int>(fault.action)));
    switch (fault.action)
    {
    case DataAction::DropConnection:
        RequestStop(DropMode::Close);
        break;
    case DataAction::ResetConnection:
        RequestStop(DropMode::Reset);
        break;
    case DataAction::Malformed:
        QueueControl(BuildMalformedPacket(fault.malformed, id), id);
        break;
    case DataAction::CloseRequest:
        CloseFromCamera(id, 0);
        break;
    case DataAction::ErrorReply:
        QueueControl(BuildErrorReply(id, fault.errorCode, 0, m_core->faults.PacketTag()), id);
        break;
    case DataAction::Unplug:
        Unplug();
        break;
    case DataAction::StopReading:
        m_stopReading = true;
        break;
    case DataAction::StallMidPacket:
        QueueControl(BuildPartialDataPacket(id), id, std::chrono::milliseconds{0}, PostAction::Stall);
        break;
    case DataAction::DropAfterOutput:
        // Queued behind everything the handler sent: written first, then the drop.
        QueueControl({}, id, std::chrono::milliseconds{0}, PostAction::Drop);
        break;
    }
}

void Connection::Unplug()
{
    Log(LogLevel::Warning, "fault: unplugging the camera");
    m_core->RequestUnplug();
    RequestStop(DropMode::Reset);
}

} // namespace Q7::Sim
