#include "SimEnumerationHandler.h"

#include "SimByteCursor.h"
#include "SimLog.h"

namespace Q7::Sim
{

std::vector<std::uint8_t> BuildDeviceInfoReply(const CameraDescription& d)
{
    std::vector<std::uint8_t> msg(kDeviceInfoReplySize, 0);
    MessageHeader h;
    h.messageClass = kClassEnumeration;
    h.messageType = kEnumDeviceInfoReply;
    h.headerSize = kDeviceInfoReplySize;
    h.messageSize = kDeviceInfoReplySize;
    EncodeMessageHeader(h, std::span<std::uint8_t, kMessageHeaderSize>(msg.data(), kMessageHeaderSize));
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U8(d.deviceType);
    w.U8(d.enumerationMajorLowest);
    w.U8(d.enumerationMajorHighest);
    w.U8(0);
    w.U32(d.deviceFlags);
    w.U32(d.manufacturerId);
    w.U32(d.modelId);
    w.U32(d.mountInterfaceId);
    w.U32(d.hardwareRevision);
    w.U32(d.hardwareConfig);
    w.U32(d.PackedFirmwareVersion());
    w.FixedText(d.firmwareText, 32);
    w.FixedText(d.manufacturerName, 32);
    w.FixedText(d.modelName, 32);
    w.FixedText(d.mountInterfaceName, 32);
    w.FixedText(d.serialNumber, 32);
    w.FixedText(d.additionalDescription, 80);
    return msg;
}

std::vector<std::uint8_t> BuildChannelListReply(const CameraDescription& d, std::uint16_t port,
                                                std::uint8_t transport)
{
    std::size_t count = 0;
    for (const auto& c : d.channels)
    {
        count += c.listed ? 1 : 0;
    }
    // Every entry is 16 bytes: the 12 fixed bytes and 4 transport bytes (zero
    // for types other than USB and TCP, which a host skips).
    std::vector<std::uint8_t> msg(kChannelListHeaderSize + count * kTcpDescriptorSize, 0);
    MessageHeader h;
    h.messageClass = kClassEnumeration;
    h.messageType = kEnumChannelListReply;
    h.headerSize = kChannelListHeaderSize;
    h.messageSize = static_cast<std::uint32_t>(msg.size());
    EncodeMessageHeader(h, std::span<std::uint8_t, kMessageHeaderSize>(msg.data(), kMessageHeaderSize));
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U8(static_cast<std::uint8_t>(count));
    w.Zeros(3);
    for (const auto& c : d.channels)
    {
        if (!c.listed)
        {
            continue;
        }
        const std::uint8_t type = c.TransportTypeOver(transport);
        w.U16(kTcpDescriptorSize);
        w.U8(type);
        w.U8(c.id.channel);
        w.U8(c.id.sub);
        w.U8(c.LowestMajor());
        w.U8(c.HighestMajor());
        w.U8(0);
        w.U32(c.flags);
        if (type == kTransportUsb)
        {
            w.U8(c.UsbEndpoint());
            w.U8(c.UsbBurstIn() ? 1 : 0);
            w.U16(0);
        }
        else if (type == kTransportTcp)
        {
            w.U16(c.tcpPort.value_or(port));
            w.U16(0);
        }
        else
        {
            w.Zeros(4);
        }
    }
    return msg;
}

EnumerationHandler::EnumerationHandler(Options options) : m_options(std::move(options)) {}

ChannelHandlerFactory EnumerationHandler::Factory(Options options)
{
    return [options](ChannelId) { return std::make_unique<EnumerationHandler>(options); };
}

bool EnumerationHandler::OnMessage(ChannelContext& context, const MessageHeader& header,
                                   std::span<const std::uint8_t>)
{
    if (header.messageClass != kClassEnumeration)
    {
        return false;
    }
    const auto& d = context.Description();
    switch (header.messageType)
    {
    case kEnumGetDeviceInfo:
    {
        ExpectSize(context, header, kMessageHeaderSize, "GetDeviceInfo");
        auto reply = BuildDeviceInfoReply(d);
        if (m_options.deviceInfoMutator)
        {
            m_options.deviceInfoMutator(reply);
        }
        if (!reply.empty())
        {
            SendMessage(context, reply);
        }
        return true;
    }
    case kEnumGetChannelList:
    {
        ExpectSize(context, header, kMessageHeaderSize, "GetChannelList");
        if (d.enumerationMajorHighest < 2)
        {
            // An older camera does not know the request; its host must use the default list.
            context.ReportViolation(ViolationKind::UnexpectedMessage,
                                    "GetChannelList sent to a camera whose highest enumeration major is " +
                                        std::to_string(d.enumerationMajorHighest));
            return false;
        }
        auto reply = BuildChannelListReply(d, context.LocalPort(), context.TransportType());
        if (m_options.channelListMutator)
        {
            m_options.channelListMutator(reply);
        }
        if (!reply.empty())
        {
            SendMessage(context, reply);
        }
        return true;
    }
    default:
        return false;
    }
}

} // namespace Q7::Sim
