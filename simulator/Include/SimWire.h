// The camera's own view of the KPX wire: channel packets and message headers.
//
// This codec is written independently of the host library so that the
// simulated camera catches framing faults instead of sharing them. All
// multi-byte fields are little-endian; every encode and decode goes through
// the bounds-checked cursors of SimByteCursor.h.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Q7::Sim
{

// ---------------------------------------------------------------- packets

inline constexpr std::uint32_t kPacketMagic = 0xDDCCBBAAu;
inline constexpr std::size_t kPacketHeaderSize = 16;
// Largest packet either side accepts: 255 header + 65535 payload + 255 padding fits.
inline constexpr std::size_t kMaxPacketSize = 0x10200;
// Open, close and error packets are padded to this length.
inline constexpr std::size_t kControlPacketSize = 256;
inline constexpr std::size_t kPingPacketSize = 24;
inline constexpr std::size_t kPingPayloadSize = 8;
inline constexpr std::size_t kOpenPayloadSize = 50;
inline constexpr std::size_t kErrorReplyPayloadSize = 2;
// Data payload limit of a channel until its OpenReply has been accepted.
inline constexpr std::uint16_t kInitialMaxPayload = 240;
// Largest alignment exponent an OpenReply may announce.
inline constexpr std::uint8_t kMaxAlignmentExponent = 8;

enum class PacketType : std::uint8_t
{
    OpenRequest = 0x00,
    CloseRequest = 0x01,
    Data = 0x02,
    PingRequest = 0x03,
    Null = 0x04,
    OpenReply = 0x80,
    CloseReply = 0x81,
    PingReply = 0x83,
    ErrorReply = 0xFF,
};

// Error codes carried in byte 0 of an ErrorReply payload.
enum ErrorReplyCode : std::uint8_t
{
    kErrorInvalidHeader = 1,
    kErrorUnsupportedType = 2,
    kErrorInvalidTypeForState = 3,
    kErrorUnsupportedChannel = 4,
    kErrorChannelNotOpen = 5,
    kErrorInvalidAlignment = 6,
    kErrorNonSequential = 7,
    kErrorInvalidPayload = 8,
};

// Open statuses of an OpenReply (payload byte 18).
enum OpenStatus : std::uint8_t
{
    kOpenAccepted = 0,
    kOpenConnectionLimit = 5,
    kOpenAuthenticationFailed = 6,
};

// The wire name of a packet type ("OpenRequest", ..., "Unknown"). Thread-safe.
const char* PacketTypeName(std::uint8_t type);
// True for the nine packet types of the protocol. Thread-safe.
bool IsKnownPacketType(std::uint8_t type);
// The text of an ErrorReply code ("Undefined/Custom." for others). Thread-safe.
const char* ErrorReplyText(std::uint8_t code);

// A logical channel ch.sub.
struct ChannelId
{
    std::uint8_t channel = 0;
    std::uint8_t sub = 0;

    auto operator<=>(const ChannelId&) const = default;
    // "ch.sub", e.g. "4.1".
    std::string ToString() const;
};

// The 16-byte channel packet header, field by field.
struct PacketHeader
{
    std::uint32_t magic = kPacketMagic;
    std::uint8_t type = 0;
    std::uint8_t headerLength = kPacketHeaderSize;
    std::uint8_t channel = 0;
    std::uint8_t sub = 0;
    std::uint16_t payloadLength = 0;
    std::uint8_t paddingLength = 0;
    std::uint8_t tag = 0;
    std::uint32_t reserved = 0;

    ChannelId Channel() const { return {channel, sub}; }
    // headerLength + payloadLength + paddingLength, in 64 bits.
    std::uint64_t PacketLength() const { return std::uint64_t{headerLength} + payloadLength + paddingLength; }
};

// Decodes the first 16 bytes of a packet (no checks). Reentrant.
PacketHeader DecodePacketHeader(std::span<const std::uint8_t, kPacketHeaderSize> bytes);
// Encodes a header into 16 bytes. Reentrant.
void EncodePacketHeader(const PacketHeader& header, std::span<std::uint8_t, kPacketHeaderSize> bytes);

// Number of zero bytes that pad a packet of `length` bytes to a multiple of
// 2^exponent (0 when already aligned or exponent is 0). Reentrant.
std::uint8_t AlignmentPadding(std::uint64_t length, std::uint8_t exponent);

// A message protocol version; compares as major * 256 + minor.
struct Version
{
    std::uint8_t major = 0;
    std::uint8_t minor = 0;

    constexpr unsigned Value() const { return major * 256u + minor; }
    constexpr auto operator<=>(const Version& other) const { return Value() <=> other.Value(); }
    constexpr bool operator==(const Version& other) const { return Value() == other.Value(); }
    // "major.minor".
    std::string ToString() const;
};

// The 50-byte payload of an OpenRequest or OpenReply. In a reply byte 18 is
// the open status and the identity bytes are otherwise unused.
struct OpenPayload
{
    std::uint32_t flags = 0;
    std::uint16_t maxPayloadLength = 0;
    std::uint8_t channelProtocolVersion = 0;
    std::uint8_t alignment = 0;
    std::uint32_t primaryTimeout = 0;
    std::uint32_t secondaryTimeout = 0;
    Version version;
    std::array<std::uint8_t, 32> identity{};
};

// Decodes an open payload (fields beyond the span read as 0). Reentrant.
OpenPayload DecodeOpenPayload(std::span<const std::uint8_t> payload);

// Packet builders. Each returns the whole packet: 16-byte header, payload,
// padding. `tag` is the header's tag byte (0 unless a test wants another).
// All reentrant.

// An OpenReply (256 bytes) with the given fields and status in byte 18.
std::vector<std::uint8_t> BuildOpenReply(ChannelId id, const OpenPayload& fields, std::uint8_t status,
                                         std::uint8_t tag = 0);
// A CloseRequest or CloseReply (256 bytes, no payload).
std::vector<std::uint8_t> BuildClosePacket(PacketType type, ChannelId id, std::uint8_t tag = 0);
// An ErrorReply (256 bytes): code and the offending packet's tag.
std::vector<std::uint8_t> BuildErrorReply(ChannelId id, std::uint8_t code, std::uint8_t offendingTag,
                                          std::uint8_t tag = 0);
// A PingRequest (24 bytes) whose payload byte 0 is `value`.
std::vector<std::uint8_t> BuildPingRequest(ChannelId id, std::uint8_t value, std::uint8_t tag = 0);
// The header of a Data packet of payloadLength bytes (at most 65535), padded to
// 2^alignmentExponent. Throws std::length_error for a longer payload. Reentrant.
PacketHeader MakeDataHeader(ChannelId id, std::size_t payloadLength, std::uint8_t alignmentExponent,
                            std::uint8_t tag);
// A Data packet carrying `payload` (at most 65535 bytes), padded to 2^alignmentExponent.
std::vector<std::uint8_t> BuildDataPacket(ChannelId id, std::span<const std::uint8_t> payload,
                                          std::uint8_t alignmentExponent = 0, std::uint8_t tag = 0);

// --------------------------------------------------------------- messages

inline constexpr std::uint32_t kMessageMagic = 0x44332211u;
inline constexpr std::size_t kMessageHeaderSize = 16;

// Message classes.
enum MessageClass : std::uint8_t
{
    kClassCommon = 0x01,
    kClassDataTransfer = 0x02,
    kClassEnumeration = 0x64,
    kClassProgramming = 0x65,
    kClassDeviceControl = 0x66,
    kClassImageEnumeration = 0x67,
    kClassImageTransfer = 0x68,
    kClassLiveView = 0x69,
    kClassDevelopment = 0xFF,
};

inline constexpr std::uint8_t kCommonEnableEvents = 0x01;
inline constexpr std::uint8_t kMessageTypeError = 0xFF;
inline constexpr std::size_t kEnableEventsSize = 20;
inline constexpr std::size_t kCommonErrorHeaderSize = 28;

// The 16-byte common message header.
struct MessageHeader
{
    std::uint32_t magic = kMessageMagic;
    std::uint8_t messageClass = 0;
    std::uint8_t messageType = 0;
    std::uint16_t headerSize = kMessageHeaderSize;
    std::uint32_t messageSize = kMessageHeaderSize;
    std::uint32_t reserved = 0;
};

// Decodes the first 16 bytes of a message (no checks). Reentrant.
MessageHeader DecodeMessageHeader(std::span<const std::uint8_t, kMessageHeaderSize> bytes);
// Encodes a message header into 16 bytes. Reentrant.
void EncodeMessageHeader(const MessageHeader& header, std::span<std::uint8_t, kMessageHeaderSize> bytes);

// A message of `messageSize` bytes (at least 16), zero but for its header of
// `messageClass`, `type`, `headerSize` and `messageSize`. Reentrant.
std::vector<std::uint8_t> StartMessage(std::uint8_t messageClass, std::uint8_t type, std::size_t headerSize,
                                       std::size_t messageSize);
// A CommonError message (class 0x01, type 0xFF): 28-byte fixed part and the text. Reentrant.
std::vector<std::uint8_t> BuildCommonError(std::uint32_t errorId, std::uint8_t sourceClass,
                                           std::uint8_t sourceType, std::string_view text);
// An error message (type 0xFF) of any class: the CommonError fields in a fixed
// part of `fixedSize` bytes (at least 28; bytes beyond 28 zero, for the class's
// own fields), then the text. Reentrant.
std::vector<std::uint8_t> BuildErrorMessage(std::uint8_t messageClass, std::size_t fixedSize,
                                            std::uint32_t errorId, std::uint8_t sourceClass,
                                            std::uint8_t sourceType, std::string_view text);

} // namespace Q7::Sim
