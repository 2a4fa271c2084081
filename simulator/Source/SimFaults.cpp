#include "SimFaults.h"

namespace Q7::Sim
{

std::vector<std::uint8_t> BuildMalformedPacket(MalformedHeader kind, ChannelId channel)
{
    PacketHeader h;
    h.type = static_cast<std::uint8_t>(PacketType::Data);
    h.channel = channel.channel;
    h.sub = channel.sub;
    switch (kind)
    {
    case MalformedHeader::BadMagic:
        h.magic = 0xDDCCBBABu;
        break;
    case MalformedHeader::HeaderLength20:
        h.headerLength = 20;
        break;
    case MalformedHeader::HeaderLength8:
        h.headerLength = 8;
        break;
    }
    std::vector<std::uint8_t> bytes(kPacketHeaderSize + 8, 0);
    EncodePacketHeader(h, std::span<std::uint8_t, kPacketHeaderSize>(bytes.data(), kPacketHeaderSize));
    return bytes;
}

std::vector<std::uint8_t> BuildPartialDataPacket(ChannelId channel)
{
    PacketHeader h;
    h.type = static_cast<std::uint8_t>(PacketType::Data);
    h.channel = channel.channel;
    h.sub = channel.sub;
    h.payloadLength = 64;
    std::vector<std::uint8_t> bytes(kPacketHeaderSize + 8, 0);
    EncodePacketHeader(h, std::span<std::uint8_t, kPacketHeaderSize>(bytes.data(), kPacketHeaderSize));
    return bytes;
}

void FaultPlan::AddOpenFault(OpenFault fault)
{
    std::lock_guard lock(m_mutex);
    m_openFaults.push_back(std::move(fault));
}

void FaultPlan::AddDataFault(DataFault fault)
{
    std::lock_guard lock(m_mutex);
    m_dataFaults.push_back(fault);
}

void FaultPlan::AddCloseFault(CloseFault fault)
{
    std::lock_guard lock(m_mutex);
    m_closeFaults.push_back(fault);
}

void FaultPlan::AddAcceptFault(AcceptFault fault)
{
    std::lock_guard lock(m_mutex);
    m_acceptFaults.push_back(fault);
}

void FaultPlan::SetPacketTag(std::uint8_t tag)
{
    std::lock_guard lock(m_mutex);
    m_tag = tag;
}

std::uint8_t FaultPlan::PacketTag() const
{
    std::lock_guard lock(m_mutex);
    return m_tag;
}

void FaultPlan::Clear()
{
    std::lock_guard lock(m_mutex);
    m_openFaults.clear();
    m_dataFaults.clear();
    m_closeFaults.clear();
    m_acceptFaults.clear();
    m_tag = 0;
}

std::optional<OpenFault> FaultPlan::TakeOpenFault(ChannelId channel)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_openFaults.begin(); it != m_openFaults.end(); ++it)
    {
        if (it->channel != channel || it->count == 0)
        {
            continue;
        }
        OpenFault taken = *it;
        if (it->count != kAlways && --it->count == 0)
        {
            m_openFaults.erase(it);
        }
        return taken;
    }
    return std::nullopt;
}

std::optional<DataFault> FaultPlan::TakeDataFault(ChannelId channel, std::uint64_t bytesSoFar)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_dataFaults.begin(); it != m_dataFaults.end(); ++it)
    {
        if (it->channel == channel && bytesSoFar >= it->afterBytes)
        {
            DataFault taken = *it;
            m_dataFaults.erase(it);
            return taken;
        }
    }
    return std::nullopt;
}

bool FaultPlan::HasDataFaults() const
{
    std::lock_guard lock(m_mutex);
    return !m_dataFaults.empty();
}

std::optional<CloseFault> FaultPlan::TakeCloseFault(ChannelId channel)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_closeFaults.begin(); it != m_closeFaults.end(); ++it)
    {
        if (it->channel == channel)
        {
            const CloseFault taken = *it;
            m_closeFaults.erase(it);
            return taken;
        }
    }
    return std::nullopt;
}

std::optional<AcceptFault> FaultPlan::TakeAcceptFault()
{
    std::lock_guard lock(m_mutex);
    if (m_acceptFaults.empty())
    {
        return std::nullopt;
    }
    const AcceptFault taken = m_acceptFaults.front();
    if (taken.count <= 1)
    {
        m_acceptFaults.erase(m_acceptFaults.begin());
    }
    else
    {
        --m_acceptFaults.front().count;
    }
    return taken;
}

} // namespace Q7::Sim
