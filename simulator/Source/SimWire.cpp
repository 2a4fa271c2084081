#include "SimWire.h"

#include "SimByteCursor.h"

#include <algorithm>
#include <stdexcept>

namespace Q7::Sim
{

const char* PacketTypeName(std::uint8_t type)
{
    switch (type)
    {
    case 0x00:
        return "OpenRequest";
    case 0x01:
        return "CloseRequest";
    case 0x02:
        return "Data";
    case 0x03:
        return "PingRequest";
    case 0x04:
        return "Null";
    case 0x80:
        return "OpenReply";
    case 0x81:
        return "CloseReply";
    case 0x83:
        return "PingReply";
    case 0xFF:
        return "ErrorReply";
    default:
        return "Unknown";
    }
}

bool IsKnownPacketType(std::uint8_t type)
{
    return std::string_view(PacketTypeName(type)) != "Unknown";
}

const char* ErrorReplyText(std::uint8_t code)
{
    switch (code)
    {
    case 1:
        return "Invalid packet header.";
    case 2:
        return "Unsupported packet type.";
    case 3:
        return "Invalid packet type for current channel state.";
    case 4:
        return "Unsupported channel/sub-channel.";
    case 5:
        return "Channel/sub-channel not open.";
    case 6:
        return "Invalid packet alignment.";
    case 7:
        return "Non-sequential sequence number.";
    case 8:
        return "Invalid packet payload.";
    default:
        return "Undefined/Custom.";
    }
}

std::string ChannelId::ToString() const
{
    return std::to_string(channel) + "." + std::to_string(sub);
}

std::string Version::ToString() const
{
    return std::to_string(major) + "." + std::to_string(minor);
}

PacketHeader DecodePacketHeader(std::span<const std::uint8_t, kPacketHeaderSize> bytes)
{
    ByteReader r(bytes);
    PacketHeader h;
    h.magic = r.U32();
    h.type = r.U8();
    h.headerLength = r.U8();
    h.channel = r.U8();
    h.sub = r.U8();
    h.payloadLength = r.U16();
    h.paddingLength = r.U8();
    h.tag = r.U8();
    h.reserved = r.U32();
    return h;
}

void EncodePacketHeader(const PacketHeader& h, std::span<std::uint8_t, kPacketHeaderSize> bytes)
{
    ByteWriter w(bytes);
    w.U32(h.magic);
    w.U8(h.type);
    w.U8(h.headerLength);
    w.U8(h.channel);
    w.U8(h.sub);
    w.U16(h.payloadLength);
    w.U8(h.paddingLength);
    w.U8(h.tag);
    w.U32(h.reserved);
}

std::uint8_t AlignmentPadding(std::uint64_t length, std::uint8_t exponent)
{
    const std::uint64_t mask =
        (std::uint64_t{1} << std::min<std::uint8_t>(exponent, kMaxAlignmentExponent)) - 1;
    if (mask == 0 || (length & mask) == 0)
    {
        return 0;
    }
    return static_cast<std::uint8_t>(mask - (length & mask) + 1);
}

OpenPayload DecodeOpenPayload(std::span<const std::uint8_t> payload)
{
    std::array<std::uint8_t, kOpenPayloadSize> full{};
    std::copy_n(payload.begin(), std::min(payload.size(), full.size()), full.begin());
    ByteReader r(full);
    OpenPayload p;
    p.flags = r.U32();
    p.maxPayloadLength = r.U16();
    p.channelProtocolVersion = r.U8();
    p.alignment = r.U8();
    p.primaryTimeout = r.U32();
    p.secondaryTimeout = r.U32();
    p.version.major = r.U8();
    p.version.minor = r.U8();
    auto id = r.Bytes(32);
    std::copy(id.begin(), id.end(), p.identity.begin());
    return p;
}

namespace
{

// Builds header + payload + padding in one buffer.
std::vector<std::uint8_t> BuildPacket(PacketType type, ChannelId id, std::span<const std::uint8_t> payload,
                                      std::size_t padding, std::uint8_t tag)
{
    if (payload.size() > 0xFFFF || padding > 0xFF)
    {
        throw std::length_error("packet payload or padding too long");
    }
    std::vector<std::uint8_t> packet(kPacketHeaderSize + payload.size() + padding, 0);
    PacketHeader h;
    h.type = static_cast<std::uint8_t>(type);
    h.channel = id.channel;
    h.sub = id.sub;
    h.payloadLength = static_cast<std::uint16_t>(payload.size());
    h.paddingLength = static_cast<std::uint8_t>(padding);
    h.tag = tag;
    EncodePacketHeader(h, std::span<std::uint8_t, kPacketHeaderSize>(packet.data(), kPacketHeaderSize));
    std::copy(payload.begin(), payload.end(), packet.begin() + kPacketHeaderSize);
    return packet;
}

} // namespace

std::vector<std::uint8_t> BuildOpenReply(ChannelId id, const OpenPayload& f, std::uint8_t status,
                                         std::uint8_t tag)
{
    std::array<std::uint8_t, kOpenPayloadSize> payload{};
    ByteWriter w(payload);
    w.U32(f.flags);
    w.U16(f.maxPayloadLength);
    w.U8(f.channelProtocolVersion);
    w.U8(f.alignment);
    w.U32(f.primaryTimeout);
    w.U32(f.secondaryTimeout);
    w.U8(f.version.major);
    w.U8(f.version.minor);
    w.U8(status);
    return BuildPacket(PacketType::OpenReply, id, payload,
                       kControlPacketSize - kPacketHeaderSize - kOpenPayloadSize, tag);
}

std::vector<std::uint8_t> BuildClosePacket(PacketType type, ChannelId id, std::uint8_t tag)
{
    return BuildPacket(type, id, {}, kControlPacketSize - kPacketHeaderSize, tag);
}

std::vector<std::uint8_t> BuildErrorReply(ChannelId id, std::uint8_t code, std::uint8_t offendingTag,
                                          std::uint8_t tag)
{
    const std::array<std::uint8_t, kErrorReplyPayloadSize> payload{code, offendingTag};
    return BuildPacket(PacketType::ErrorReply, id, payload,
                       kControlPacketSize - kPacketHeaderSize - kErrorReplyPayloadSize, tag);
}

std::vector<std::uint8_t> BuildPingRequest(ChannelId id, std::uint8_t value, std::uint8_t tag)
{
    std::array<std::uint8_t, kPingPayloadSize> payload{};
    payload[0] = value;
    return BuildPacket(PacketType::PingRequest, id, payload, 0, tag);
}

PacketHeader MakeDataHeader(ChannelId id, std::size_t payloadLength, std::uint8_t alignmentExponent,
                            std::uint8_t tag)
{
    if (payloadLength > 0xFFFF)
    {
        throw std::length_error("packet payload too long");
    }
    PacketHeader h;
    h.type = static_cast<std::uint8_t>(PacketType::Data);
    h.channel = id.channel;
    h.sub = id.sub;
    h.payloadLength = static_cast<std::uint16_t>(payloadLength);
    h.paddingLength =
        static_cast<std::uint8_t>(AlignmentPadding(kPacketHeaderSize + payloadLength, alignmentExponent));
    h.tag = tag;
    return h;
}

std::vector<std::uint8_t> BuildDataPacket(ChannelId id, std::span<const std::uint8_t> payload,
                                          std::uint8_t alignmentExponent, std::uint8_t tag)
{
    const PacketHeader h = MakeDataHeader(id, payload.size(), alignmentExponent, tag);
    return BuildPacket(PacketType::Data, id, payload, h.paddingLength, tag);
}

MessageHeader DecodeMessageHeader(std::span<const std::uint8_t, kMessageHeaderSize> bytes)
{
    ByteReader r(bytes);
    MessageHeader h;
    h.magic = r.U32();
    h.messageClass = r.U8();
    h.messageType = r.U8();
    h.headerSize = r.U16();
    h.messageSize = r.U32();
    h.reserved = r.U32();
    return h;
}

void EncodeMessageHeader(const MessageHeader& h, std::span<std::uint8_t, kMessageHeaderSize> bytes)
{
    ByteWriter w(bytes);
    w.U32(h.magic);
    w.U8(h.messageClass);
    w.U8(h.messageType);
    w.U16(h.headerSize);
    w.U32(h.messageSize);
    w.U32(h.reserved);
}

std::vector<std::uint8_t> StartMessage(std::uint8_t messageClass, std::uint8_t type, std::size_t headerSize,
                                       std::size_t messageSize)
{
    std::vector<std::uint8_t> message(messageSize, 0);
    MessageHeader header;
    header.messageClass = messageClass;
    header.messageType = type;
    header.headerSize = static_cast<std::uint16_t>(headerSize);
    header.messageSize = static_cast<std::uint32_t>(messageSize);
    EncodeMessageHeader(header,
                        std::span<std::uint8_t, kMessageHeaderSize>(message.data(), kMessageHeaderSize));
    return message;
}

std::vector<std::uint8_t> BuildCommonError(std::uint32_t errorId, std::uint8_t sourceClass,
                                           std::uint8_t sourceType, std::string_view text)
{
    return BuildErrorMessage(kClassCommon, kCommonErrorHeaderSize, errorId, sourceClass, sourceType, text);
}

std::vector<std::uint8_t> BuildErrorMessage(std::uint8_t messageClass, std::size_t fixedSize,
                                            std::uint32_t errorId, std::uint8_t sourceClass,
                                            std::uint8_t sourceType, std::string_view text)
{
    fixedSize = std::max(fixedSize, kCommonErrorHeaderSize);
    const std::size_t textSize = std::min<std::size_t>(text.size(), 0xFFFF);
    std::vector<std::uint8_t> msg =
        StartMessage(messageClass, kMessageTypeError, fixedSize, fixedSize + textSize);
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U32(errorId);
    w.U8(sourceClass);
    w.U8(sourceType);
    w.U16(0);
    w.U16(static_cast<std::uint16_t>(textSize));
    w.U16(static_cast<std::uint16_t>(fixedSize));
    w.Seek(fixedSize);
    w.FixedText(text.substr(0, textSize), textSize);
    return msg;
}

} // namespace Q7::Sim
