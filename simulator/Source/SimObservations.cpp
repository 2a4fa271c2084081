#include "SimObservations.h"

#include "SimLog.h"

#include <algorithm>

namespace Q7::Sim
{

const char* ViolationKindName(ViolationKind kind)
{
    switch (kind)
    {
    case ViolationKind::BadPacketMagic:
        return "BadPacketMagic";
    case ViolationKind::BadHeaderLength:
        return "BadHeaderLength";
    case ViolationKind::UnusualHeaderLength:
        return "UnusualHeaderLength";
    case ViolationKind::NonZeroTag:
        return "NonZeroTag";
    case ViolationKind::NonZeroReserved:
        return "NonZeroReserved";
    case ViolationKind::BadPacketLength:
        return "BadPacketLength";
    case ViolationKind::NonZeroPadding:
        return "NonZeroPadding";
    case ViolationKind::Misaligned:
        return "Misaligned";
    case ViolationKind::PayloadTooLong:
        return "PayloadTooLong";
    case ViolationKind::UnexpectedPacketType:
        return "UnexpectedPacketType";
    case ViolationKind::PacketInWrongState:
        return "PacketInWrongState";
    case ViolationKind::BadOpenRequest:
        return "BadOpenRequest";
    case ViolationKind::BadIdentity:
        return "BadIdentity";
    case ViolationKind::DataOnClosedChannel:
        return "DataOnClosedChannel";
    case ViolationKind::DataAfterClose:
        return "DataAfterClose";
    case ViolationKind::UnsupportedChannel:
        return "UnsupportedChannel";
    case ViolationKind::BadPingReply:
        return "BadPingReply";
    case ViolationKind::UnexpectedPingReply:
        return "UnexpectedPingReply";
    case ViolationKind::UnexpectedCloseReply:
        return "UnexpectedCloseReply";
    case ViolationKind::BadErrorReply:
        return "BadErrorReply";
    case ViolationKind::BadMessageHeader:
        return "BadMessageHeader";
    case ViolationKind::BadMessage:
        return "BadMessage";
    case ViolationKind::UnexpectedMessage:
        return "UnexpectedMessage";
    case ViolationKind::DataIntegrity:
        return "DataIntegrity";
    }
    return "Unknown";
}

std::size_t Observations::CountPackets(PacketType type, ChannelId channel, bool fromHost) const
{
    return static_cast<std::size_t>(std::count_if(packets.begin(), packets.end(),
                                                  [&](const PacketRecord& p)
                                                  {
                                                      return p.fromHost == fromHost &&
                                                             p.header.type ==
                                                                 static_cast<std::uint8_t>(type) &&
                                                             p.header.Channel() == channel;
                                                  }));
}

std::size_t Observations::CountPackets(PacketType type, bool fromHost) const
{
    return static_cast<std::size_t>(std::count_if(packets.begin(), packets.end(),
                                                  [&](const PacketRecord& p) {
                                                      return p.fromHost == fromHost &&
                                                             p.header.type == static_cast<std::uint8_t>(type);
                                                  }));
}

std::size_t Observations::CountViolations(ViolationKind kind) const
{
    return static_cast<std::size_t>(std::count_if(violations.begin(), violations.end(),
                                                  [&](const Violation& v) { return v.kind == kind; }));
}

std::string Observations::DescribeViolations() const
{
    std::string out;
    for (const auto& v : violations)
    {
        out += "connection " + std::to_string(v.connection);
        if (v.hasChannel)
        {
            out += " channel " + v.channel.ToString();
        }
        out += std::string(" ") + ViolationKindName(v.kind) + ": " + v.text + "\n";
    }
    return out;
}

void ObservationLog::AddViolation(Violation violation)
{
    if (m_logger.Enabled(LogLevel::Error))
    {
        std::string line = "host violation on connection " + std::to_string(violation.connection);
        if (violation.hasChannel)
        {
            line += " channel " + violation.channel.ToString();
        }
        line += std::string(" (") + ViolationKindName(violation.kind) + "): " + violation.text;
        m_logger.Write(LogLevel::Error, line);
    }
    {
        std::lock_guard lock(m_mutex);
        m_obs.violations.push_back(std::move(violation));
    }
    m_changed.notify_all();
}

void ObservationLog::AddPacket(PacketRecord record)
{
    {
        std::lock_guard lock(m_mutex);
        m_obs.packets.push_back(std::move(record));
    }
    m_changed.notify_all();
}

void ObservationLog::AddMessage(MessageRecord record)
{
    {
        std::lock_guard lock(m_mutex);
        m_obs.messages.push_back(std::move(record));
    }
    m_changed.notify_all();
}

void ObservationLog::AddData(ChannelId channel, bool fromHost, std::uint64_t bytes)
{
    {
        std::lock_guard lock(m_mutex);
        auto& c = m_obs.data[channel];
        if (fromHost)
        {
            ++c.packetsFromHost;
            c.bytesFromHost += bytes;
        }
        else
        {
            ++c.packetsToHost;
            c.bytesToHost += bytes;
        }
    }
    m_changed.notify_all();
}

void ObservationLog::Update(const std::function<void(Observations&)>& change)
{
    {
        std::lock_guard lock(m_mutex);
        change(m_obs);
    }
    m_changed.notify_all();
}

Observations ObservationLog::Snapshot() const
{
    std::lock_guard lock(m_mutex);
    return m_obs;
}

void ObservationLog::Clear()
{
    std::lock_guard lock(m_mutex);
    m_obs = Observations{};
}

bool ObservationLog::WaitUntil(const std::function<bool(const Observations&)>& predicate,
                               std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return predicate(m_obs); });
}

} // namespace Q7::Sim
