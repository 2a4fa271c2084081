// Channel 0.0 enumeration: what a camera tells about itself before any other
// channel exists.
//
// This file holds the records the enumeration agent fills (the device
// information and the channel descriptors), the default channel list that
// older cameras get, the legacy protocol-version fix, the log dumps of both
// records, and the codecs of the enumeration messages (class 0x64). The
// decoders are pure and bounded: they read a reply through a byte source that
// is either the channel (EnumerationAgent) or a buffer (tests, fuzzing), and
// every length, count and entry size from the camera is checked before it is
// used. Everything here is reentrant; nothing here blocks except the reads of
// a blocking byte source.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Wire/KPXByteCursor.h"
#include "Wire/KPXMessage.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX
{

class ChannelTransport;
class MessageSource;

namespace Enumeration
{

/// Message types of the enumeration class (0x64).
enum EnumEnumerationMessageType : std::uint8_t
{
    kEnumerationMessage_GetDeviceInfo = 0x01,
    kEnumerationMessage_GetChannelList = 0x02,
    kEnumerationMessage_DeviceInfoReply = 0x81,
    kEnumerationMessage_ChannelListReply = 0x82,
};

/// Transport type of a channel descriptor.
enum EnumTransportType : std::uint32_t
{
    kTransportType_Usb = 1,
    kTransportType_Tcp = 2,
};

/// Legacy mark of a channel descriptor.
enum EnumLegacyMark : std::uint32_t
{
    kLegacyMark_None = 0,
    kLegacyMark_Legacy = 2, ///< the camera announced the legacy range 0 to 11
};

/// Size of the fixed part of one channel-list entry.
inline constexpr std::uint16_t kChannelDescriptorFixedSize = 12;
/// Size of the type-specific part of a USB or TCP channel-list entry.
inline constexpr std::uint16_t kChannelDescriptorTypeSize = 4;

// ---------------------------------------------------------------------------
// Records.

/// A firmware version: the packed number (major << 24 | minor << 16 | build)
/// and its text. Plain value; reentrant.
struct FirmwareVersion
{
    std::uint32_t packed = 0;
    std::string text = "0.00.0";

    /// The version of a packed number, its text made with "%u.%02u.%u" from
    /// (major, minor, build).
    static FirmwareVersion FromPacked(std::uint32_t packed);

    [[nodiscard]] std::uint32_t Major() const noexcept { return packed >> 24; }
    [[nodiscard]] std::uint32_t Minor() const noexcept { return (packed >> 16) & 0xFF; }
    [[nodiscard]] std::uint32_t Build() const noexcept { return packed & 0xFFFF; }
};

/// The device-information record of a camera. The defaults are the values
/// before anything was read. Plain movable value; reentrant.
struct DeviceInfo
{
    std::uint32_t deviceType = 0; ///< a u8 on the wire
    std::uint32_t deviceFlags = 0;
    std::uint8_t enumerationMajorLowest = 0;
    std::uint8_t enumerationMajorHighest = 0;
    std::uint32_t manufacturerId = 0;
    std::uint32_t modelId = 0xFFFFFF;
    std::uint32_t mountInterfaceId = 0;
    std::uint32_t hardwareRevision = 0;
    std::uint32_t hardwareConfig = 0;
    FirmwareVersion firmwareVersion;
    std::string manufacturerName;
    std::string modelName;
    std::string mountInterfaceName;
    std::string serialNumber;
    std::string additionalDescription;
};

/// One channel that a camera offers, with the pipe that carries it. The base
/// class is the plain descriptor of a transport type this side does not know;
/// descriptors are owned through the base and deleted through it.
class ChannelDescriptor
{
public:
    explicit ChannelDescriptor(std::uint32_t type = 0) noexcept : transportType(type) {}
    virtual ~ChannelDescriptor();

    /// The id of the pipe that carries the channel: 0 for a plain descriptor.
    [[nodiscard]] virtual std::uint32_t GetPipeId() const noexcept;
    /// Prepares the channel transport that will carry the channel; nothing for
    /// a plain descriptor. Reentrant.
    virtual void ConfigureTransport(ChannelTransport& transport) const;

    std::uint32_t transportType = 0; ///< 1 USB, 2 TCP, anything else plain
    std::uint8_t channelNumber = 0;
    std::uint8_t subChannelNumber = 0;
    std::uint8_t majorVersionLowest = 0;
    std::uint8_t majorVersionHighest = 0;
    std::uint32_t channelFlags = 0;
    std::uint32_t legacyMark = kLegacyMark_None;

protected:
    ChannelDescriptor(const ChannelDescriptor&) = default;
    ChannelDescriptor& operator=(const ChannelDescriptor&) = default;
};

/// A channel carried by a USB bulk endpoint.
class UsbChannelDescriptor final : public ChannelDescriptor
{
public:
    UsbChannelDescriptor() noexcept : ChannelDescriptor(kTransportType_Usb) {}

    /// The USB endpoint.
    [[nodiscard]] std::uint32_t GetPipeId() const noexcept override;
    /// Passes the enable-burst-IN flag to the channel transport, which applies
    /// it when its pipe is a USB pipe.
    void ConfigureTransport(ChannelTransport& transport) const override;

    std::uint8_t usbEndpoint = 1;
    bool enableBurstIn = false;
};

/// A channel carried by a TCP connection of its own.
class TcpChannelDescriptor final : public ChannelDescriptor
{
public:
    TcpChannelDescriptor() noexcept : ChannelDescriptor(kTransportType_Tcp) {}

    /// The TCP port.
    [[nodiscard]] std::uint32_t GetPipeId() const noexcept override;

    std::uint16_t tcpPort = 0;
};

/// A camera's channel list, in the camera's order.
using ChannelList = std::vector<std::unique_ptr<ChannelDescriptor>>;

/// The list used for cameras whose highest enumeration major version is below
/// 2: five USB descriptors 0.0 (1 to 1), 1.0 (1 to 2), 2.0, 4.1 (1 to 1, on
/// endpoint 1) and 4.2 (1 to 1, endpoint 2, burst IN on). Raises only
/// std::bad_alloc.
ChannelList MakeDefaultChannelList();

/// The full message protocol version that a legacy-marked channel is fixed to,
/// from the legacy table; empty for a channel without a row.
std::optional<ProtocolVersion> FindLegacyVersion(std::uint8_t channel, std::uint8_t subChannel) noexcept;

/// The legacy fix, applied to each descriptor read from a camera: the range 0
/// to 11 logs "Legacy KPX message protocol versions detected (Marlin) -
/// fixing", marks the descriptor legacy and, when the legacy table has a row
/// for the channel, sets both majors to that row's major. Any other range
/// clears the mark.
void ApplyLegacyFix(ChannelDescriptor& descriptor);

/// The major-version range the camera announced for a descriptor, before the
/// legacy fix changed it.
[[nodiscard]] std::pair<std::uint8_t, std::uint8_t>
AnnouncedMajorRange(const ChannelDescriptor& descriptor) noexcept;

/// Logs the device-information dump, one information line per field.
void LogDeviceInfo(const DeviceInfo& info);
/// Logs the channel-list dump, one information line per field.
void LogChannelList(const ChannelList& list);

// ---------------------------------------------------------------------------
// Messages.

/// Size selectors of the enumeration messages (one row each, at 2.0, with the
/// same default, so they do not change with the version).
std::uint16_t GetGetDeviceInfoMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetGetChannelListMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetDeviceInfoMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetChannelListMessageHeaderSize(ProtocolVersion version) noexcept;

/// Builds the GetDeviceInfo request (16 bytes, header only). Raises
/// ModuleError 0x15E001D below 1.0.
MessageBytes MakeGetDeviceInfoMessage(ProtocolVersion version);
/// Builds the GetChannelList request (16 bytes, header only). Raises
/// ModuleError 0x15E001D below 1.0.
MessageBytes MakeGetChannelListMessage(ProtocolVersion version);

/// The device-information reply (0x64 / 0x81) as it lies on the wire: 288
/// bytes. Text fields hold single-byte characters; the last byte of each
/// field is never part of its text.
struct DeviceInfoMessage
{
    static constexpr std::size_t kEncodedSize = 288;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_Enumeration, kEnumerationMessage_DeviceInfoReply, 288, 288, 0};
    std::uint8_t deviceType = 0;
    std::uint8_t enumerationMajorLowest = 0;
    std::uint8_t enumerationMajorHighest = 0;
    std::uint8_t unused19 = 0;
    std::uint32_t deviceFlags = 0;
    std::uint32_t manufacturerId = 0;
    std::uint32_t modelId = 0;
    std::uint32_t mountInterfaceId = 0;
    std::uint32_t hardwareRevision = 0;
    std::uint32_t hardwareConfig = 0;
    std::uint32_t firmwareVersion = 0;
    std::array<std::uint8_t, 32> firmwareVersionText{};
    std::array<std::uint8_t, 32> manufacturerName{};
    std::array<std::uint8_t, 32> modelName{};
    std::array<std::uint8_t, 32> mountInterfaceName{};
    std::array<std::uint8_t, 32> serialNumber{};
    std::array<std::uint8_t, 80> additionalDescription{};

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, deviceType, enumerationMajorLowest, enumerationMajorHighest, unused19, deviceFlags,
           manufacturerId, modelId, mountInterfaceId, hardwareRevision, hardwareConfig, firmwareVersion,
           firmwareVersionText, manufacturerName, modelName, mountInterfaceName, serialNumber,
           additionalDescription);
    }
};

/// The fixed part of the channel-list reply (0x64 / 0x82): 20 bytes, the
/// descriptor entries follow it.
struct ChannelListMessageHeader
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_Enumeration, kEnumerationMessage_ChannelListReply, 20, 20, 0};
    std::uint8_t descriptorCount = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, descriptorCount, Padding<3>{});
    }
};

/// The fixed 12 bytes at the start of every channel-list entry.
struct ChannelDescriptorEntry
{
    std::uint16_t entrySize = 0;
    std::uint8_t transportType = 0;
    std::uint8_t channelNumber = 0;
    std::uint8_t subChannelNumber = 0;
    std::uint8_t majorVersionLowest = 0;
    std::uint8_t majorVersionHighest = 0;
    std::uint32_t channelFlags = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(entrySize, transportType, channelNumber, subChannelNumber, majorVersionLowest, majorVersionHighest,
           Padding<1>{}, channelFlags);
    }
};

/// The size and class checks of an enumeration reply's common header, in the
/// order the agent makes them: header size below 16 raises ModuleError
/// 0x650003 "KPX ch0 message header size too small.", a header size above the
/// total size 0x650003 "KPX ch0 message size too small.". Plain throws.
void CheckReplyHeader(const CommonMessageHeader& header);

/// True when the header names the enumeration message of `type`.
[[nodiscard]] bool IsEnumerationMessage(const CommonMessageHeader& header, std::uint8_t type) noexcept;

/// Raises ModuleError 0x6500CC "KPX ch0 did not receive device info message."
/// (plain).
[[noreturn]] void ThrowNotDeviceInfo();
/// Raises ModuleError 0x6500CC "KPX ch0 did not receive channel list message."
/// (plain).
[[noreturn]] void ThrowNotChannelList();

/// Turns a device-information fixed part into the record: `received` is what
/// arrived of the fixed part (at least its 16 header bytes; see
/// DecodeFixedPart), fields the camera left out read 0 and empty. Each text
/// ends at its first zero byte and never includes the field's last byte; a
/// non-empty firmware text replaces the text of the packed number. Raises
/// ModuleError 0x650005 when fewer than 16 bytes are given.
DeviceInfo DecodeDeviceInfo(std::span<const std::uint8_t> received);

/// Reads the rest of a device-information reply whose common header (checked
/// by CheckReplyHeader, of type 0x81) was already read: its fixed part, then
/// the bytes after it. Returns 0 and fills `info`, or the source's failure
/// result (then `info` is left at its defaults).
std::uint32_t ReadDeviceInfoReply(const CommonMessageHeader& header, MessageSource& source, DeviceInfo& info);

/// Reads the rest of a channel-list reply whose common header (checked by
/// CheckReplyHeader, of type 0x82) was already read: its 20-byte fixed part,
/// then each descriptor entry, then whatever follows them in the message. The
/// legacy fix is applied to every descriptor. Returns 0 with the descriptors
/// appended to `list`, or the source's failure result. Raises ModuleError
/// 0x650003 (plain) "KPX ch0 message size too small." when an entry's fixed
/// part or its size does not fit in what is left of the message, "KPX ch0
/// channel descriptor header size too small." for an entry size below 12, and
/// "KPX ch0 channel descriptor size too small." for a USB or TCP entry too
/// short for its 4 type-specific bytes. Nothing is read beyond the message.
std::uint32_t ReadChannelListReply(const CommonMessageHeader& header, MessageSource& source,
                                   ChannelList& list);

/// Decodes a whole device-information reply held in memory, with the checks
/// of the agent in its order: fewer than 16 bytes raise ModuleError 0x650005
/// "KPX ch0 message truncated."; then CheckReplyHeader; a message of another
/// class or type raises 0x6500CC "KPX ch0 did not receive device info
/// message."; fewer bytes than the message's own size raise 0x650005 "KPX ch0
/// message truncated.". Plain throws. Bytes beyond the message are ignored.
DeviceInfo DecodeDeviceInfoMessage(std::span<const std::uint8_t> message);

/// Decodes a whole channel-list reply held in memory, with the checks of the
/// agent (see DecodeDeviceInfoMessage; another message raises 0x6500CC "KPX
/// ch0 did not receive channel list message.") and those of
/// ReadChannelListReply.
ChannelList DecodeChannelListMessage(std::span<const std::uint8_t> message);

} // namespace Enumeration
} // namespace Q7::KPX
