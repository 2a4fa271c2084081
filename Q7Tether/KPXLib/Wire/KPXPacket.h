// KPX channel packets: the framing of every byte on a transport pipe.
//
// A packet is a 16-byte header (more when `headerLength` says so), then
// `payloadLength` payload bytes, then `paddingLength` zero bytes. Control
// packets open and close a channel, answer pings and report errors; Data
// packets carry a channel's byte stream. This file holds the header, the packet
// types with their names and allowed lengths, the control-packet builders and
// payload readers, the alignment padding, the maximum payload rule and the two
// header checks (at the pipe and at the channel). Everything here is pure:
// no I/O, no threads, no logging; all functions are reentrant.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "Wire/KPXByteCursor.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX
{

/// First four header bytes of every packet (AA BB CC DD on the wire).
inline constexpr std::uint32_t kPacketMagic = 0xDDCCBBAA;
/// Size of `CommonPacketHeader` on the wire; this side always sends 16.
inline constexpr std::uint32_t kPacketHeaderSize = 16;
/// The largest packet, and the size of every packet buffer.
inline constexpr std::uint32_t kMaxPacketLength = 0x10200;
/// Length of OpenRequest, CloseRequest, CloseReply, OpenReply and ErrorReply.
inline constexpr std::uint32_t kControlPacketLength = 256;
/// Length of PingRequest and PingReply.
inline constexpr std::uint32_t kPingPacketLength = 24;
/// Payload length of OpenRequest and OpenReply.
inline constexpr std::uint16_t kOpenPayloadLength = 50;
/// Payload length of PingRequest and PingReply.
inline constexpr std::uint16_t kPingPayloadLength = 8;
/// Payload length of ErrorReply.
inline constexpr std::uint16_t kErrorReplyPayloadLength = 2;
/// A channel's maximum Data payload before an OpenReply is accepted, and the
/// smallest maximum an OpenReply may give.
inline constexpr std::uint16_t kMinMaxPayloadLength = 240;
/// The largest alignment exponent an OpenReply may give (256-byte alignment).
inline constexpr std::uint8_t kMaxAlignmentExponent = 8;
/// Size of the client identity presented in an OpenRequest.
inline constexpr std::size_t kClientIdentitySize = 32;

/// The client identity: SHA-256 of the authentication text, or 32 zero bytes.
using ClientIdentity = std::array<std::uint8_t, kClientIdentitySize>;

/// Packet types (`packetType`). A reply is its request with bit 7 set, except
/// ErrorReply.
enum EnumPacketType : std::uint8_t
{
    kPacketType_OpenRequest = 0x00,
    kPacketType_CloseRequest = 0x01,
    kPacketType_Data = 0x02,
    kPacketType_PingRequest = 0x03,
    kPacketType_Null = 0x04,
    kPacketType_OpenReply = 0x80,
    kPacketType_CloseReply = 0x81,
    kPacketType_PingReply = 0x83,
    kPacketType_ErrorReply = 0xFF,
};

/// ErrorReply codes (payload byte 0).
enum EnumErrorReplyCode : std::uint8_t
{
    kErrorReply_InvalidPacketHeader = 1,
    kErrorReply_UnsupportedPacketType = 2,
    kErrorReply_InvalidPacketTypeForState = 3,
    kErrorReply_UnsupportedChannel = 4,
    kErrorReply_ChannelNotOpen = 5,
    kErrorReply_InvalidPacketAlignment = 6,
    kErrorReply_NonSequentialSequenceNumber = 7,
    kErrorReply_InvalidPacketPayload = 8,
};

/// Bit 0 of the OpenRequest/OpenReply `flags`: debug mode, time-outs disabled.
inline constexpr std::uint32_t kOpenFlag_DebugMode = 0x1;

/// The header at the start of every packet. Reserved bytes 12..15 are sent as
/// zero and ignored on receipt, so they have no member.
struct CommonPacketHeader
{
    std::uint32_t magic = kPacketMagic;
    std::uint8_t packetType = kPacketType_Data;
    std::uint8_t headerLength = kPacketHeaderSize;
    std::uint8_t channelNumber = 0;
    std::uint8_t subChannelNumber = 0;
    std::uint16_t payloadLength = 0;
    std::uint8_t paddingLength = 0;
    std::uint8_t tag = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(magic, packetType, headerLength, channelNumber, subChannelNumber, payloadLength, paddingLength,
           tag, Padding<4>{});
    }

    /// headerLength + payloadLength + paddingLength; at most 255 + 65535 + 255
    /// = 66045, so it always fits a packet buffer.
    [[nodiscard]] constexpr std::uint32_t PacketLength() const noexcept
    {
        return std::uint32_t{headerLength} + payloadLength + paddingLength;
    }

    friend constexpr bool operator==(const CommonPacketHeader&, const CommonPacketHeader&) noexcept = default;
};

/// Writes the 16 header bytes (reserved bytes as zero). Extra header bytes
/// announced by a `headerLength` above 16 are not written here.
void EncodePacketHeader(ByteWriter& writer, const CommonPacketHeader& header) noexcept;

/// Reads the first 16 bytes of a packet. Empty when fewer than 16 bytes are
/// given; the fields are not checked (see the two checks below).
std::optional<CommonPacketHeader> DecodePacketHeader(std::span<const std::uint8_t> bytes) noexcept;

/// The text of a packet type used in log lines ("OpenRequest", ...); "Unknown"
/// for a value not in the type table. Never null.
const wchar_t* GetPacketTypeName(std::uint8_t packetType) noexcept;

/// True when the value is one of the nine packet types.
bool IsKnownPacketType(std::uint8_t packetType) noexcept;

/// The allowed packet length of a type, inclusive.
struct PacketLengthRange
{
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0;
};

/// The allowed length range of a known type; empty for an unknown type.
std::optional<PacketLengthRange> GetPacketLengthRange(std::uint8_t packetType) noexcept;

/// The text of an ErrorReply code ("Invalid packet header.", ...);
/// "Undefined/Custom." for any other code. Never null.
const wchar_t* GetErrorReplyText(std::uint8_t code) noexcept;

/// The check made on every packet header read from a pipe: `magic` must be
/// 0xDDCCBBAA and `headerLength` at least 16 and a multiple of 8. A header
/// that fails means the stream cannot be trusted any more.
bool IsValidPipePacketHeader(const CommonPacketHeader& header) noexcept;

/// Outcome of the check made on each whole packet that reaches a channel.
enum EnumChannelPacketCheck : std::uint8_t
{
    kChannelPacketCheck_Ok = 0,
    kChannelPacketCheck_HeaderLengthTooSmall, ///< `headerLength` below 16: ErrorReply 1.
    kChannelPacketCheck_UnknownType,          ///< not a packet type: ErrorReply 2.
    kChannelPacketCheck_InvalidLength,        ///< length outside the type's range: ErrorReply 1.
};

/// Checks a packet header at the channel, in this order: header length, type,
/// packet length against the type's range. The channel numbers are not
/// checked: the transport routes by them.
EnumChannelPacketCheck CheckChannelPacketHeader(const CommonPacketHeader& header) noexcept;

/// The ErrorReply code that answers a failed channel check; 0 for Ok.
std::uint8_t GetErrorReplyCodeForCheck(EnumChannelPacketCheck check) noexcept;

/// A received packet: its header and a view of its payload inside the bytes
/// given to ParsePacket.
struct PacketView
{
    CommonPacketHeader header;
    std::span<const std::uint8_t> payload;
};

/// Splits a whole packet into header and payload. Empty when fewer than 16
/// bytes are given or the bytes are shorter than the header's PacketLength();
/// header bytes beyond 16 and the padding are skipped. The header fields are
/// not checked.
std::optional<PacketView> ParsePacket(std::span<const std::uint8_t> bytes) noexcept;

/// Alignment exponent for packets sent to the camera: the high nibble of the
/// OpenReply's `alignment` byte.
constexpr std::uint8_t GetSendAlignmentExponent(std::uint8_t alignment) noexcept
{
    return static_cast<std::uint8_t>(alignment >> 4);
}

/// The second alignment exponent: the low nibble of `alignment`.
constexpr std::uint8_t GetSecondAlignmentExponent(std::uint8_t alignment) noexcept
{
    return static_cast<std::uint8_t>(alignment & 0x0F);
}

/// True when both nibbles of an OpenReply's `alignment` are at most 8.
constexpr bool IsValidAlignment(std::uint8_t alignment) noexcept
{
    return GetSendAlignmentExponent(alignment) <= kMaxAlignmentExponent &&
           GetSecondAlignmentExponent(alignment) <= kMaxAlignmentExponent;
}

/// The padding that makes a packet of `headerAndPayloadLength` bytes a
/// multiple of 2^e, with e = `alignmentExponent` clamped to 8; 0 when already
/// aligned or when e is 0.
std::uint8_t ComputePaddingLength(std::uint32_t headerAndPayloadLength,
                                  std::uint8_t alignmentExponent) noexcept;

/// What AlignPacketHeader did.
enum EnumPacketAlignment : std::uint8_t
{
    kPacketAlignment_Unchanged = 0, ///< the packet length was already aligned.
    kPacketAlignment_Padded,        ///< the packet carried no padding and got some.
    kPacketAlignment_Corrected, ///< the packet carried padding of its own that was wrong; it was replaced.
};

/// Brings `paddingLength` to the alignment of 2^e (e clamped to 8): a packet
/// whose length is already a multiple of 2^e stays as it is (so a 256-byte
/// control packet is never touched); otherwise the padding is recomputed from
/// header and payload. Corrected means the writer should warn.
EnumPacketAlignment AlignPacketHeader(CommonPacketHeader& header, std::uint8_t alignmentExponent) noexcept;

/// The largest Data payload after an OpenReply: `maxPayloadLength` with its
/// low e bits cleared (e = high nibble of `alignment`, clamped to 8). A result
/// below kMinMaxPayloadLength must be refused by the caller.
std::uint16_t ComputeMaxPayloadLength(std::uint16_t maxPayloadLength, std::uint8_t alignment) noexcept;

/// Writes a whole packet into `destination`: the header (zeros for header
/// bytes beyond 16), the payload and `paddingLength` zero bytes. The header's
/// `payloadLength` must equal the payload's size. Returns the number of bytes
/// written, or 0 (nothing written) when the payload size does not match or the
/// packet does not fit the destination.
std::size_t AssemblePacket(std::span<std::uint8_t> destination, const CommonPacketHeader& header,
                           std::span<const std::uint8_t> payload) noexcept;

/// The payload of OpenRequest and OpenReply (50 bytes). In an OpenReply byte
/// 18 of the payload (the first identity byte) is the `openStatus`.
struct OpenPayload
{
    std::uint32_t flags = 0;
    std::uint16_t maxPayloadLength = 0xFFFF;
    std::uint8_t channelProtocolVersion = 1;
    std::uint8_t alignment = 0;
    std::uint32_t primaryTimeout = 10000;
    std::uint32_t secondaryTimeout = 2000;
    ProtocolVersion messageProtocol;
    ClientIdentity clientIdentity{};

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(flags, maxPayloadLength, channelProtocolVersion, alignment, primaryTimeout, secondaryTimeout,
           messageProtocol, clientIdentity);
    }

    /// OpenReply only: 0 accepted, anything else refuses the open (5: the
    /// camera's connection limit is reached, 6: authentication code missing or
    /// incorrect).
    [[nodiscard]] constexpr std::uint8_t OpenStatus() const noexcept { return clientIdentity[0]; }

    friend bool operator==(const OpenPayload&, const OpenPayload&) noexcept = default;
};

/// Writes the 50 payload bytes.
void EncodeOpenPayload(ByteWriter& writer, const OpenPayload& payload) noexcept;

/// Reads an OpenRequest or OpenReply payload. Empty when fewer than 50 bytes
/// are given: such an OpenReply is an invalid payload (ErrorReply 8).
std::optional<OpenPayload> DecodeOpenPayload(std::span<const std::uint8_t> payload) noexcept;

/// An ErrorReply payload: the code and the `tag` of the packet it answers.
struct ErrorReplyPayload
{
    std::uint8_t code = 0;
    std::uint8_t tag = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(code, tag);
    }
};

/// Reads an ErrorReply payload. Empty when fewer than 2 bytes are given.
std::optional<ErrorReplyPayload> DecodeErrorReplyPayload(std::span<const std::uint8_t> payload) noexcept;

/// The echo byte of a PingRequest: payload byte 0, or 0 when the payload is
/// empty.
std::uint8_t GetPingEchoByte(std::span<const std::uint8_t> payload) noexcept;

/// Builds the 256-byte OpenRequest for channel.subChannel: flags bit 0 =
/// `debugMode`, maxPayloadLength 0xFFFF, channel protocol 1, alignment 0,
/// time-outs 10000 and 2000 ms, the desired message protocol version and the
/// client identity. Raises only std::bad_alloc.
std::vector<std::uint8_t> BuildOpenRequestPacket(std::uint8_t channel, std::uint8_t subChannel,
                                                 bool debugMode, ProtocolVersion desiredVersion,
                                                 const ClientIdentity& identity);

/// Builds the 256-byte CloseRequest (no payload, 240 padding bytes).
std::vector<std::uint8_t> BuildCloseRequestPacket(std::uint8_t channel, std::uint8_t subChannel);

/// Builds the 256-byte CloseReply (no payload, 240 padding bytes).
std::vector<std::uint8_t> BuildCloseReplyPacket(std::uint8_t channel, std::uint8_t subChannel);

/// Builds the 24-byte PingReply whose payload byte 0 is `echoByte`.
std::vector<std::uint8_t> BuildPingReplyPacket(std::uint8_t channel, std::uint8_t subChannel,
                                               std::uint8_t echoByte);

/// Builds the 256-byte ErrorReply to `offending`: addressed to its channel and
/// sub-channel, payload {code, its tag}. Whether to send it at all (never in
/// answer to an ErrorReply) is the sender's decision.
std::vector<std::uint8_t> BuildErrorReplyPacket(std::uint8_t code, const CommonPacketHeader& offending);

} // namespace Q7::KPX
