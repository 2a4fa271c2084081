#include "Agents/Enumeration/KPXEnumeration.h"
#include "Channel/KPXChannelTransport.h"
#include "Channel/KPXMessageReader.h"

#include <algorithm>
#include <cstdio>

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

namespace Q7::KPX::Enumeration
{
namespace
{

using Universal::ModuleError;

// Size tables: one row each, at 2.0, with the same value as default.
constexpr MessageSizeRow kGetDeviceInfoSizes[] = {{{2, 0}, 16}};
constexpr MessageSizeRow kGetChannelListSizes[] = {{{2, 0}, 16}};
constexpr MessageSizeRow kDeviceInfoSizes[] = {{{2, 0}, 288}};
constexpr MessageSizeRow kChannelListHeaderSizes[] = {{{2, 0}, 20}};

// The message protocol version of each channel that a legacy camera speaks.
struct LegacyVersionRow
{
    std::uint8_t channel;
    std::uint8_t subChannel;
    ProtocolVersion version;
};

constexpr LegacyVersionRow kLegacyVersions[] = {
    {0, 0, {2, 1}}, {1, 0, {2, 0}}, {2, 0, {1, 1}}, {3, 0, {1, 0}},   {4, 1, {1, 0}},
    {4, 2, {1, 0}}, {5, 1, {1, 1}}, {5, 2, {1, 0}}, {255, 0, {1, 0}},
};

// The announced range that marks a legacy camera.
constexpr std::uint8_t kLegacyLowestMajor = 0;
constexpr std::uint8_t kLegacyHighestMajor = 11;

// The type-specific bytes of a USB entry (4 on the wire; the last two are not
// used).
struct UsbChannelDescriptorPart
{
    std::uint8_t usbEndpoint = 0;
    std::uint8_t enableBurstIn = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(usbEndpoint, enableBurstIn, Padding<2>{});
    }
};

// The type-specific bytes of a TCP entry (4 on the wire; the last two are not
// used).
struct TcpChannelDescriptorPart
{
    std::uint16_t tcpPort = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(tcpPort, Padding<2>{});
    }
};

static_assert(FieldListSize<UsbChannelDescriptorPart>() == kChannelDescriptorTypeSize);
static_assert(FieldListSize<TcpChannelDescriptorPart>() == kChannelDescriptorTypeSize);

// The text of a fixed text field: up to its first zero byte, and never its
// last byte, which is treated as the terminator.
template <std::size_t N>
std::string FieldText(const std::array<std::uint8_t, N>& field)
{
    const auto end = std::find(field.begin(), field.end() - 1, std::uint8_t{0});
    return std::string(field.begin(), end);
}

// A narrow camera text in a form that wide log formats take (%ls): narrow text
// is never handed to a wide format directly.
Universal::UniversalString Wide(const std::string& text)
{
    return Universal::DecodeText(text.c_str(), Universal::kEncoding_SystemAnsi);
}

MessageBytes MakeHeaderOnlyRequest(ProtocolVersion version, std::uint8_t type, std::uint16_t size)
{
    CheckMessageVersion(version);
    MessageBytes bytes(size, 0);
    ByteWriter writer(bytes);
    CommonMessageHeader header;
    header.messageClass = kMessageClass_Enumeration;
    header.messageType = type;
    header.messageHeaderSize = size;
    header.messageSize = size;
    header.Encode(writer);
    return bytes;
}

[[noreturn]] void ThrowMessageSizeTooSmall()
{
    throw ModuleError(Universal::kError_InvalidData, L"KPX ch0 message size too small.");
}

[[noreturn]] void ThrowTruncated()
{
    throw ModuleError(Universal::kError_InvalidSize, L"KPX ch0 message truncated.");
}

// Splits a whole message held in memory at its common header, with the checks
// the agent makes on a header it read from the channel (sizes, then class and
// type), and then the check that every byte the header announces is there.
std::pair<CommonMessageHeader, std::span<const std::uint8_t>>
SplitMessage(std::span<const std::uint8_t> message, std::uint8_t type)
{
    const std::optional<CommonMessageHeader> header = DecodeMessageHeader(message);
    if (!header)
        ThrowTruncated();
    CheckReplyHeader(*header);
    if (!IsEnumerationMessage(*header, type))
    {
        if (type == kEnumerationMessage_DeviceInfoReply)
            ThrowNotDeviceInfo();
        ThrowNotChannelList();
    }
    if (message.size() < header->messageSize)
        ThrowTruncated();
    return {*header,
            message.subspan(kCommonMessageHeaderSize, header->messageSize - kCommonMessageHeaderSize)};
}

} // namespace

// ---------------------------------------------------------------------------
// Records.

FirmwareVersion FirmwareVersion::FromPacked(std::uint32_t packed)
{
    FirmwareVersion version;
    version.packed = packed;
    char text[20];
    std::snprintf(text, sizeof text, "%u.%02u.%u", static_cast<unsigned>(version.Major()),
                  static_cast<unsigned>(version.Minor()), static_cast<unsigned>(version.Build()));
    version.text = text;
    return version;
}

ChannelDescriptor::~ChannelDescriptor() = default;

std::uint32_t ChannelDescriptor::GetPipeId() const noexcept
{
    return 0;
}

void ChannelDescriptor::ConfigureTransport(ChannelTransport&) const {}

std::uint32_t UsbChannelDescriptor::GetPipeId() const noexcept
{
    return usbEndpoint;
}

void UsbChannelDescriptor::ConfigureTransport(ChannelTransport& transport) const
{
    // A channel transport over a TCP pipe ignores it.
    transport.SetBurstIn(enableBurstIn);
}

std::uint32_t TcpChannelDescriptor::GetPipeId() const noexcept
{
    return tcpPort;
}

ChannelList MakeDefaultChannelList()
{
    struct Row
    {
        std::uint8_t channel, subChannel, lowest, highest, endpoint;
        bool burstIn;
    };
    static constexpr Row kRows[] = {
        {0, 0, 1, 1, 1, false}, {1, 0, 1, 2, 1, false}, {2, 0, 1, 1, 1, false},
        {4, 1, 1, 1, 1, false}, {4, 2, 1, 1, 2, true},
    };
    ChannelList list;
    list.reserve(std::size(kRows));
    for (const Row& row : kRows)
    {
        auto descriptor = std::make_unique<UsbChannelDescriptor>();
        descriptor->channelNumber = row.channel;
        descriptor->subChannelNumber = row.subChannel;
        descriptor->majorVersionLowest = row.lowest;
        descriptor->majorVersionHighest = row.highest;
        descriptor->usbEndpoint = row.endpoint;
        descriptor->enableBurstIn = row.burstIn;
        list.push_back(std::move(descriptor));
    }
    return list;
}

std::optional<ProtocolVersion> FindLegacyVersion(std::uint8_t channel, std::uint8_t subChannel) noexcept
{
    for (const LegacyVersionRow& row : kLegacyVersions)
    {
        if (row.channel == channel && row.subChannel == subChannel)
            return row.version;
    }
    return std::nullopt;
}

void ApplyLegacyFix(ChannelDescriptor& descriptor)
{
    if (descriptor.majorVersionLowest != kLegacyLowestMajor ||
        descriptor.majorVersionHighest != kLegacyHighestMajor)
    {
        descriptor.legacyMark = kLegacyMark_None;
        return;
    }
    Universal::LogInfo(L"Legacy KPX message protocol versions detected (Marlin) - fixing");
    descriptor.legacyMark = kLegacyMark_Legacy;
    if (const auto version = FindLegacyVersion(descriptor.channelNumber, descriptor.subChannelNumber))
    {
        descriptor.majorVersionLowest = version->major;
        descriptor.majorVersionHighest = version->major;
    }
}

std::pair<std::uint8_t, std::uint8_t> AnnouncedMajorRange(const ChannelDescriptor& descriptor) noexcept
{
    // The fix rewrites only the range 0 to 11, and only it sets the mark.
    if (descriptor.legacyMark == kLegacyMark_Legacy)
        return {kLegacyLowestMajor, kLegacyHighestMajor};
    return {descriptor.majorVersionLowest, descriptor.majorVersionHighest};
}

void LogDeviceInfo(const DeviceInfo& info)
{
    using Universal::LogInfo;
    LogInfo(L"------ KPX device info ------");
    LogInfo(L"- device type               = %u", info.deviceType);
    LogInfo(L"- device flags              = 0x%X", info.deviceFlags);
    LogInfo(L"- enumeration major version = %u to %u", unsigned{info.enumerationMajorLowest},
            unsigned{info.enumerationMajorHighest});
    LogInfo(L"- manufacturer id           = %u", info.manufacturerId);
    LogInfo(L"- model id                  = 0x%X", info.modelId);
    LogInfo(L"- mount interface id        = %u", info.mountInterfaceId);
    LogInfo(L"- hardware revision         = %u", info.hardwareRevision);
    LogInfo(L"- hardware config           = 0x%X", info.hardwareConfig);
    LogInfo(L"- firmware version          = \"%ls\"", Wide(info.firmwareVersion.text).c_str());
    LogInfo(L"- manufacturer name         = \"%ls\"", Wide(info.manufacturerName).c_str());
    LogInfo(L"- model name                = \"%ls\"", Wide(info.modelName).c_str());
    LogInfo(L"- mount interface name      = \"%ls\"", Wide(info.mountInterfaceName).c_str());
    LogInfo(L"- serial number             = \"%ls\"", Wide(info.serialNumber).c_str());
    LogInfo(L"- additional description    = \"%ls\"", Wide(info.additionalDescription).c_str());
    LogInfo(L"-----------------------------");
}

void LogChannelList(const ChannelList& list)
{
    using Universal::LogInfo;
    LogInfo(L"------ KPX channel list ------");
    unsigned index = 0;
    for (const auto& descriptor : list)
    {
        LogInfo(L"--- entry %2u ---", index++);
        LogInfo(L"- transport type      = %u", descriptor->transportType);
        LogInfo(L"- channel number      = %u.%u", unsigned{descriptor->channelNumber},
                unsigned{descriptor->subChannelNumber});
        LogInfo(L"- major version       = %u to %u", unsigned{descriptor->majorVersionLowest},
                unsigned{descriptor->majorVersionHighest});
        LogInfo(L"- channel flags       = 0x%X", descriptor->channelFlags);
        if (const auto* usb = dynamic_cast<const UsbChannelDescriptor*>(descriptor.get()))
        {
            LogInfo(L"- USB endpoint        = %u", unsigned{usb->usbEndpoint});
            LogInfo(L"- USB enable burst IN = %u", unsigned{usb->enableBurstIn});
        }
        else if (const auto* tcp = dynamic_cast<const TcpChannelDescriptor*>(descriptor.get()))
        {
            LogInfo(L"- TCP port number     = %u", unsigned{tcp->tcpPort});
        }
    }
    LogInfo(L"------------------------------");
}

// ---------------------------------------------------------------------------
// Messages.

std::uint16_t GetGetDeviceInfoMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetDeviceInfoSizes, 16, version);
}

std::uint16_t GetGetChannelListMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetChannelListSizes, 16, version);
}

std::uint16_t GetDeviceInfoMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDeviceInfoSizes, 288, version);
}

std::uint16_t GetChannelListMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kChannelListHeaderSizes, 20, version);
}

MessageBytes MakeGetDeviceInfoMessage(ProtocolVersion version)
{
    return MakeHeaderOnlyRequest(version, kEnumerationMessage_GetDeviceInfo,
                                 GetGetDeviceInfoMessageSize(version));
}

MessageBytes MakeGetChannelListMessage(ProtocolVersion version)
{
    return MakeHeaderOnlyRequest(version, kEnumerationMessage_GetChannelList,
                                 GetGetChannelListMessageSize(version));
}

static_assert(FieldListSize<ChannelDescriptorEntry>() == kChannelDescriptorFixedSize);

void CheckReplyHeader(const CommonMessageHeader& header)
{
    CheckMessageHeader(header, L"KPX ch0 message header size too small.", L"KPX ch0 message size too small.");
}

bool IsEnumerationMessage(const CommonMessageHeader& header, std::uint8_t type) noexcept
{
    return header.messageClass == kMessageClass_Enumeration && header.messageType == type;
}

void ThrowNotDeviceInfo()
{
    throw ModuleError(Universal::kError_UnexpectedResult, L"KPX ch0 did not receive device info message.");
}

void ThrowNotChannelList()
{
    throw ModuleError(Universal::kError_UnexpectedResult, L"KPX ch0 did not receive channel list message.");
}

DeviceInfo DecodeDeviceInfo(std::span<const std::uint8_t> received)
{
    DeviceInfoMessage defaults;
    defaults.header.messageHeaderSize = GetDeviceInfoMessageSize({2, 0});
    const DeviceInfoMessage message = DecodeFixedPart(received, defaults);

    DeviceInfo info;
    info.deviceType = message.deviceType;
    info.deviceFlags = message.deviceFlags;
    info.enumerationMajorLowest = message.enumerationMajorLowest;
    info.enumerationMajorHighest = message.enumerationMajorHighest;
    info.manufacturerId = message.manufacturerId;
    info.modelId = message.modelId;
    info.mountInterfaceId = message.mountInterfaceId;
    info.hardwareRevision = message.hardwareRevision;
    info.hardwareConfig = message.hardwareConfig;
    info.firmwareVersion = FirmwareVersion::FromPacked(message.firmwareVersion);
    if (std::string text = FieldText(message.firmwareVersionText); !text.empty())
        info.firmwareVersion.text = std::move(text);
    info.manufacturerName = FieldText(message.manufacturerName);
    info.modelName = FieldText(message.modelName);
    info.mountInterfaceName = FieldText(message.mountInterfaceName);
    info.serialNumber = FieldText(message.serialNumber);
    info.additionalDescription = FieldText(message.additionalDescription);
    return info;
}

std::uint32_t ReadDeviceInfoReply(const CommonMessageHeader& header, MessageSource& source, DeviceInfo& info)
{
    std::array<std::uint8_t, DeviceInfoMessage::kEncodedSize> fixedPart{};
    ByteWriter writer(fixedPart);
    header.Encode(writer);

    if (const std::uint32_t result = source.ReadFixedPart(fixedPart, header); result != 0)
        return result;
    if (const std::uint32_t result =
            source.Skip(std::uint64_t{header.messageSize} - header.messageHeaderSize);
        result != 0)
        return result;
    info = DecodeDeviceInfo(fixedPart);
    return 0;
}

std::uint32_t ReadChannelListReply(const CommonMessageHeader& header, MessageSource& source,
                                   ChannelList& list)
{
    std::array<std::uint8_t, ChannelListMessageHeader::kEncodedSize> fixedPart{};
    ChannelListMessageHeader defaults;
    defaults.header = header;
    ByteWriter writer(fixedPart);
    WriteMessageFields(defaults, writer);
    if (const std::uint32_t result = source.ReadFixedPart(fixedPart, header); result != 0)
        return result;
    const ChannelListMessageHeader listHeader =
        DecodeFixedPart(std::span<const std::uint8_t>(fixedPart), defaults);

    // Everything below is bounded by what the message has left behind its
    // header; the sizes are compared in 64 bits.
    std::uint64_t remaining = std::uint64_t{header.messageSize} - header.messageHeaderSize;
    for (unsigned index = 0; index < listHeader.descriptorCount; ++index)
    {
        if (remaining < kChannelDescriptorFixedSize)
            ThrowMessageSizeTooSmall();
        std::array<std::uint8_t, kChannelDescriptorFixedSize> fixedBytes{};
        if (const std::uint32_t result = source.Read(fixedBytes); result != 0)
            return result;
        remaining -= kChannelDescriptorFixedSize;

        ByteReader reader(fixedBytes);
        ChannelDescriptorEntry entry;
        ReadFields(entry, reader);
        if (entry.entrySize < kChannelDescriptorFixedSize)
            throw ModuleError(Universal::kError_InvalidData,
                              L"KPX ch0 channel descriptor header size too small.");
        std::uint64_t entryLeft = entry.entrySize - kChannelDescriptorFixedSize;
        if (entryLeft > remaining)
            ThrowMessageSizeTooSmall();

        std::unique_ptr<ChannelDescriptor> descriptor;
        UsbChannelDescriptor* usb = nullptr;
        TcpChannelDescriptor* tcp = nullptr;
        if (entry.transportType == kTransportType_Usb)
            descriptor.reset(usb = new UsbChannelDescriptor);
        else if (entry.transportType == kTransportType_Tcp)
            descriptor.reset(tcp = new TcpChannelDescriptor);
        else
            descriptor = std::make_unique<ChannelDescriptor>(entry.transportType);
        descriptor->channelNumber = entry.channelNumber;
        descriptor->subChannelNumber = entry.subChannelNumber;
        descriptor->majorVersionLowest = entry.majorVersionLowest;
        descriptor->majorVersionHighest = entry.majorVersionHighest;
        descriptor->channelFlags = entry.channelFlags;
        ApplyLegacyFix(*descriptor);

        if (usb != nullptr || tcp != nullptr)
        {
            if (entryLeft < kChannelDescriptorTypeSize)
                throw ModuleError(Universal::kError_InvalidData,
                                  L"KPX ch0 channel descriptor size too small.");
            std::array<std::uint8_t, kChannelDescriptorTypeSize> typeBytes{};
            if (const std::uint32_t result = source.Read(typeBytes); result != 0)
                return result;
            entryLeft -= kChannelDescriptorTypeSize;
            remaining -= kChannelDescriptorTypeSize;
            ByteReader typeReader(typeBytes);
            if (usb != nullptr)
            {
                UsbChannelDescriptorPart part;
                ReadFields(part, typeReader);
                usb->usbEndpoint = part.usbEndpoint;
                usb->enableBurstIn = part.enableBurstIn != 0;
            }
            else
            {
                TcpChannelDescriptorPart part;
                ReadFields(part, typeReader);
                tcp->tcpPort = part.tcpPort;
            }
        }
        if (const std::uint32_t result = source.Skip(entryLeft); result != 0)
            return result;
        remaining -= entryLeft;
        list.push_back(std::move(descriptor));
    }
    return source.Skip(remaining);
}

DeviceInfo DecodeDeviceInfoMessage(std::span<const std::uint8_t> message)
{
    const auto [header, afterHeader] = SplitMessage(message, kEnumerationMessage_DeviceInfoReply);
    BufferMessageSource source(afterHeader);
    DeviceInfo info;
    if (ReadDeviceInfoReply(header, source, info) != 0)
        ThrowTruncated();
    return info;
}

ChannelList DecodeChannelListMessage(std::span<const std::uint8_t> message)
{
    const auto [header, afterHeader] = SplitMessage(message, kEnumerationMessage_ChannelListReply);
    BufferMessageSource source(afterHeader);
    ChannelList list;
    if (ReadChannelListReply(header, source, list) != 0)
        ThrowTruncated();
    return list;
}

} // namespace Q7::KPX::Enumeration
