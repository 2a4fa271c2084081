#include "Wire/KPXPacket.h"

#include <algorithm>

namespace Q7::KPX
{
namespace
{

struct PacketTypeRow
{
    std::uint8_t type;
    const wchar_t* name;
    PacketLengthRange length;
};

constexpr PacketTypeRow kPacketTypes[] = {
    {kPacketType_OpenRequest, L"OpenRequest", {kControlPacketLength, kControlPacketLength}},
    {kPacketType_CloseRequest, L"CloseRequest", {kControlPacketLength, kControlPacketLength}},
    {kPacketType_Data, L"Data", {kPacketHeaderSize, kMaxPacketLength}},
    {kPacketType_PingRequest, L"PingRequest", {kPingPacketLength, kPingPacketLength}},
    {kPacketType_Null, L"Null", {kPacketHeaderSize, kMaxPacketLength}},
    {kPacketType_OpenReply, L"OpenReply", {kControlPacketLength, kControlPacketLength}},
    {kPacketType_CloseReply, L"CloseReply", {kControlPacketLength, kControlPacketLength}},
    {kPacketType_PingReply, L"PingReply", {kPingPacketLength, kPingPacketLength}},
    {kPacketType_ErrorReply, L"ErrorReply", {kControlPacketLength, kControlPacketLength}},
};

const PacketTypeRow* FindPacketType(std::uint8_t type) noexcept
{
    for (const auto& row : kPacketTypes)
    {
        if (row.type == type)
            return &row;
    }
    return nullptr;
}

// A control packet of this side: a 16-byte header, the payload, and zero
// padding up to `packetLength`.
std::vector<std::uint8_t> BuildControlPacket(std::uint8_t type, std::uint8_t channel, std::uint8_t subChannel,
                                             std::span<const std::uint8_t> payload,
                                             std::uint32_t packetLength)
{
    CommonPacketHeader header;
    header.packetType = type;
    header.channelNumber = channel;
    header.subChannelNumber = subChannel;
    header.payloadLength = static_cast<std::uint16_t>(payload.size());
    header.paddingLength = static_cast<std::uint8_t>(packetLength - kPacketHeaderSize - payload.size());

    std::vector<std::uint8_t> packet(packetLength, 0);
    AssemblePacket(packet, header, payload);
    return packet;
}

} // namespace

static_assert(FieldListSize<CommonPacketHeader>() == kPacketHeaderSize);
static_assert(FieldListSize<OpenPayload>() == kOpenPayloadLength);
static_assert(FieldListSize<ErrorReplyPayload>() == kErrorReplyPayloadLength);

void EncodePacketHeader(ByteWriter& writer, const CommonPacketHeader& header) noexcept
{
    WriteFields(header, writer);
}

std::optional<CommonPacketHeader> DecodePacketHeader(std::span<const std::uint8_t> bytes) noexcept
{
    return ReadRecord<CommonPacketHeader>(bytes);
}

const wchar_t* GetPacketTypeName(std::uint8_t packetType) noexcept
{
    const PacketTypeRow* row = FindPacketType(packetType);
    return row != nullptr ? row->name : L"Unknown";
}

bool IsKnownPacketType(std::uint8_t packetType) noexcept
{
    return FindPacketType(packetType) != nullptr;
}

std::optional<PacketLengthRange> GetPacketLengthRange(std::uint8_t packetType) noexcept
{
    const PacketTypeRow* row = FindPacketType(packetType);
    if (row == nullptr)
        return std::nullopt;
    return row->length;
}

const wchar_t* GetErrorReplyText(std::uint8_t code) noexcept
{
    switch (code)
    {
    case kErrorReply_InvalidPacketHeader:
        return L"Invalid packet header.";
    case kErrorReply_UnsupportedPacketType:
        return L"Unsupported packet type.";
    case kErrorReply_InvalidPacketTypeForState:
        return L"Invalid packet type for current channel state.";
    case kErrorReply_UnsupportedChannel:
        return L"Unsupported channel/sub-channel.";
    case kErrorReply_ChannelNotOpen:
        return L"Channel/sub-channel not open.";
    case kErrorReply_InvalidPacketAlignment:
        return L"Invalid packet alignment.";
    case kErrorReply_NonSequentialSequenceNumber:
        return L"Non-sequential sequence number.";
    case kErrorReply_InvalidPacketPayload:
        return L"Invalid packet payload.";
    default:
        return L"Undefined/Custom.";
    }
}

bool IsValidPipePacketHeader(const CommonPacketHeader& header) noexcept
{
    return header.magic == kPacketMagic && header.headerLength >= kPacketHeaderSize &&
           header.headerLength % 8 == 0;
}

EnumChannelPacketCheck CheckChannelPacketHeader(const CommonPacketHeader& header) noexcept
{
    if (header.headerLength < kPacketHeaderSize)
        return kChannelPacketCheck_HeaderLengthTooSmall;
    const PacketTypeRow* row = FindPacketType(header.packetType);
    if (row == nullptr)
        return kChannelPacketCheck_UnknownType;
    const std::uint32_t length = header.PacketLength();
    if (length < row->length.minimum || length > row->length.maximum)
        return kChannelPacketCheck_InvalidLength;
    return kChannelPacketCheck_Ok;
}

std::uint8_t GetErrorReplyCodeForCheck(EnumChannelPacketCheck check) noexcept
{
    switch (check)
    {
    case kChannelPacketCheck_Ok:
        return 0;
    case kChannelPacketCheck_HeaderLengthTooSmall:
    case kChannelPacketCheck_InvalidLength:
        return kErrorReply_InvalidPacketHeader;
    case kChannelPacketCheck_UnknownType:
        return kErrorReply_UnsupportedPacketType;
    }
    return kErrorReply_InvalidPacketHeader;
}

std::optional<PacketView> ParsePacket(std::span<const std::uint8_t> bytes) noexcept
{
    const auto header = DecodePacketHeader(bytes);
    if (!header)
        return std::nullopt;
    if (std::uint64_t{header->PacketLength()} > bytes.size() || header->headerLength < kPacketHeaderSize)
        return std::nullopt;
    PacketView view;
    view.header = *header;
    view.payload = bytes.subspan(header->headerLength, header->payloadLength);
    return view;
}

std::uint8_t ComputePaddingLength(std::uint32_t headerAndPayloadLength,
                                  std::uint8_t alignmentExponent) noexcept
{
    const unsigned exponent = std::min<unsigned>(alignmentExponent, kMaxAlignmentExponent);
    const std::uint32_t mask = (1U << exponent) - 1U;
    const std::uint32_t misalignment = headerAndPayloadLength & mask;
    if (mask == 0 || misalignment == 0)
        return 0;
    return static_cast<std::uint8_t>(mask - misalignment + 1U);
}

EnumPacketAlignment AlignPacketHeader(CommonPacketHeader& header, std::uint8_t alignmentExponent) noexcept
{
    const unsigned exponent = std::min<unsigned>(alignmentExponent, kMaxAlignmentExponent);
    const std::uint32_t mask = (1U << exponent) - 1U;
    if ((header.PacketLength() & mask) == 0)
        return kPacketAlignment_Unchanged;
    const bool hadPadding = header.paddingLength != 0;
    header.paddingLength =
        ComputePaddingLength(std::uint32_t{header.headerLength} + header.payloadLength, alignmentExponent);
    return hadPadding ? kPacketAlignment_Corrected : kPacketAlignment_Padded;
}

std::uint16_t ComputeMaxPayloadLength(std::uint16_t maxPayloadLength, std::uint8_t alignment) noexcept
{
    const unsigned exponent = std::min<unsigned>(GetSendAlignmentExponent(alignment), kMaxAlignmentExponent);
    return static_cast<std::uint16_t>(maxPayloadLength & (0xFFFFU << exponent));
}

std::size_t AssemblePacket(std::span<std::uint8_t> destination, const CommonPacketHeader& header,
                           std::span<const std::uint8_t> payload) noexcept
{
    if (payload.size() != header.payloadLength || header.headerLength < kPacketHeaderSize ||
        header.PacketLength() > destination.size())
        return 0;
    ByteWriter writer(destination);
    EncodePacketHeader(writer, header);
    writer.WriteZeros(header.headerLength - kPacketHeaderSize);
    writer.WriteBytes(payload);
    writer.WriteZeros(header.paddingLength);
    return writer.Overflow() ? 0 : writer.Position();
}

void EncodeOpenPayload(ByteWriter& writer, const OpenPayload& payload) noexcept
{
    WriteFields(payload, writer);
}

std::optional<OpenPayload> DecodeOpenPayload(std::span<const std::uint8_t> payload) noexcept
{
    return ReadRecord<OpenPayload>(payload);
}

std::optional<ErrorReplyPayload> DecodeErrorReplyPayload(std::span<const std::uint8_t> payload) noexcept
{
    return ReadRecord<ErrorReplyPayload>(payload);
}

std::uint8_t GetPingEchoByte(std::span<const std::uint8_t> payload) noexcept
{
    return payload.empty() ? 0 : payload[0];
}

std::vector<std::uint8_t> BuildOpenRequestPacket(std::uint8_t channel, std::uint8_t subChannel,
                                                 bool debugMode, ProtocolVersion desiredVersion,
                                                 const ClientIdentity& identity)
{
    OpenPayload open;
    open.flags = debugMode ? kOpenFlag_DebugMode : 0U;
    open.messageProtocol = desiredVersion;
    open.clientIdentity = identity;

    std::array<std::uint8_t, kOpenPayloadLength> payload{};
    ByteWriter writer(payload);
    EncodeOpenPayload(writer, open);
    return BuildControlPacket(kPacketType_OpenRequest, channel, subChannel, payload, kControlPacketLength);
}

std::vector<std::uint8_t> BuildCloseRequestPacket(std::uint8_t channel, std::uint8_t subChannel)
{
    return BuildControlPacket(kPacketType_CloseRequest, channel, subChannel, {}, kControlPacketLength);
}

std::vector<std::uint8_t> BuildCloseReplyPacket(std::uint8_t channel, std::uint8_t subChannel)
{
    return BuildControlPacket(kPacketType_CloseReply, channel, subChannel, {}, kControlPacketLength);
}

std::vector<std::uint8_t> BuildPingReplyPacket(std::uint8_t channel, std::uint8_t subChannel,
                                               std::uint8_t echoByte)
{
    const std::array<std::uint8_t, kPingPayloadLength> payload = {echoByte};
    return BuildControlPacket(kPacketType_PingReply, channel, subChannel, payload, kPingPacketLength);
}

std::vector<std::uint8_t> BuildErrorReplyPacket(std::uint8_t code, const CommonPacketHeader& offending)
{
    const std::array<std::uint8_t, kErrorReplyPayloadLength> payload = {code, offending.tag};
    return BuildControlPacket(kPacketType_ErrorReply, offending.channelNumber, offending.subChannelNumber,
                              payload, kControlPacketLength);
}

} // namespace Q7::KPX
