#include "Wire/KPXMessage.h"

#include "Q7UniversalError.h"

namespace Q7::KPX
{
namespace
{

using Universal::ModuleError;

constexpr std::uint32_t kErrorFeatureNotSupported = 0x15E001D;

// Size tables: one row each, from 1.0 on.
constexpr MessageSizeRow kCommonErrorSizes[] = {{{1, 0}, 28}};
constexpr MessageSizeRow kEnableEventsSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kImageListHeaderSizes[] = {{{1, 0}, 56}};
constexpr MessageSizeRow kBasicImageInfoHeaderSizes[] = {{{1, 0}, 32}};
constexpr MessageSizeRow kMetadataHeaderSizes[] = {{{1, 0}, 40}};
constexpr MessageSizeRow kImageBufferHeaderSizes[] = {{{1, 0}, 64}};
constexpr MessageSizeRow kCapabilitiesHeaderSizes[] = {{{1, 0}, 56}};
constexpr MessageSizeRow kSetSubscriptionsHeaderSizes[] = {{{1, 0}, 40}};
constexpr MessageSizeRow kGetImageListSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kBasicImageInfoSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kGetMetadataSizes[] = {{{1, 0}, 64}};
constexpr MessageSizeRow kGetImageBufferSizes[] = {{{1, 0}, 80}};
constexpr MessageSizeRow kEditImageMetadataSizes[] = {{{1, 0}, 28}};
constexpr MessageSizeRow kGetCapabilitiesSizes[] = {{{1, 0}, 16}};
constexpr MessageSizeRow kSetSubscriptionSizes[] = {{{1, 0}, 28}};

} // namespace

namespace Detail
{
void ThrowMessageTruncated()
{
    throw ModuleError(Universal::kError_InvalidSize, L"KPX message truncated.");
}
} // namespace Detail

std::optional<CommonMessageHeader> DecodeMessageHeader(std::span<const std::uint8_t> bytes) noexcept
{
    return ReadRecord<CommonMessageHeader>(bytes);
}

void CheckMessageHeader(const CommonMessageHeader& header, const wchar_t* headerSizeTooSmallText,
                        const wchar_t* messageSizeTooSmallText)
{
    if (header.messageHeaderSize < kCommonMessageHeaderSize)
        throw ModuleError(Universal::kError_InvalidData, headerSizeTooSmallText);
    if (header.messageSize < header.messageHeaderSize)
        throw ModuleError(Universal::kError_InvalidData, messageSizeTooSmallText);
}

std::uint16_t SelectMessageSize(std::span<const MessageSizeRow> table, std::uint16_t defaultSize,
                                ProtocolVersion version) noexcept
{
    for (auto row = table.rbegin(); row != table.rend(); ++row)
    {
        if (row->version <= version)
            return row->size;
    }
    return defaultSize;
}

void CheckMessageVersion(ProtocolVersion version)
{
    if (version < kMinMessageProtocolVersion)
        throw ModuleError(kErrorFeatureNotSupported, L"KPX feature not supported!");
}

std::uint16_t GetCommonErrorMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kCommonErrorSizes, 28, version);
}

std::uint16_t GetEnableEventsMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kEnableEventsSizes, 20, version);
}

std::uint16_t GetImageListMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kImageListHeaderSizes, 56, version);
}

std::uint16_t GetBasicImageInfoMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kBasicImageInfoHeaderSizes, 32, version);
}

std::uint16_t GetMetadataMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kMetadataHeaderSizes, 40, version);
}

std::uint16_t GetImageBufferMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kImageBufferHeaderSizes, 64, version);
}

std::uint16_t GetCapabilitiesMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kCapabilitiesHeaderSizes, 56, version);
}

std::uint16_t GetSetSubscriptionsMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kSetSubscriptionsHeaderSizes, 40, version);
}

std::uint16_t GetGetImageListMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetImageListSizes, 20, version);
}

std::uint16_t GetBasicImageInfoMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kBasicImageInfoSizes, 20, version);
}

std::uint16_t GetGetMetadataMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetMetadataSizes, 64, version);
}

std::uint16_t GetGetImageBufferMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetImageBufferSizes, 80, version);
}

std::uint16_t GetEditImageMetadataMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kEditImageMetadataSizes, 28, version);
}

std::uint16_t GetGetCapabilitiesMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetCapabilitiesSizes, 16, version);
}

std::uint16_t GetSetSubscriptionMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kSetSubscriptionSizes, 28, version);
}

void CheckVariableLength(std::uint64_t length, std::uint64_t bytesLeft, const wchar_t* context,
                         const wchar_t* detailFormat)
{
    if (length <= bytesLeft)
        return;
    // Every length checked here is a u16 or u32 field of the wire.
    Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidData, context), detailFormat,
                                static_cast<unsigned>(length));
}

std::span<const std::uint8_t> TakeVariableBytes(const MessageView& view, std::uint64_t length,
                                                const wchar_t* context, const wchar_t* detailFormat)
{
    CheckVariableLength(length, view.variablePart.size(), context, detailFormat);
    return view.variablePart.first(static_cast<std::size_t>(length));
}

std::string_view AsText(std::span<const std::uint8_t> bytes) noexcept
{
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

MessageView ParseMessage(std::span<const std::uint8_t> message)
{
    const std::optional<CommonMessageHeader> header = DecodeMessageHeader(message);
    if (!header)
        Detail::ThrowMessageTruncated();
    CheckMessageHeader(*header, L"KPX message header size too small.", L"KPX message size too small.");
    if (header->messageSize > message.size())
        Detail::ThrowMessageTruncated();

    MessageView view;
    view.header = *header;
    view.fixedPart = message.first(header->messageHeaderSize);
    view.variablePart =
        message.subspan(header->messageHeaderSize, header->messageSize - header->messageHeaderSize);
    return view;
}

EnableEventsMessage MakeDefaultEnableEvents(ProtocolVersion version) noexcept
{
    return WithFixedSize(EnableEventsMessage{}, GetEnableEventsMessageSize(version));
}

MessageBytes MakeEnableEventsMessage(ProtocolVersion version, std::uint8_t enable)
{
    CheckMessageVersion(version);
    EnableEventsMessage message = MakeDefaultEnableEvents(version);
    message.enable = enable;
    return EncodeMessage(message);
}

EnableEventsMessage DecodeEnableEvents(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultEnableEvents(version));
}

CommonErrorMessage MakeDefaultCommonError(ProtocolVersion version) noexcept
{
    return WithFixedSize(CommonErrorMessage{}, GetCommonErrorMessageSize(version));
}

MessageBytes MakeCommonErrorMessage(ProtocolVersion version, std::uint32_t errorId,
                                    const CommonMessageHeader& offending)
{
    CheckMessageVersion(version);
    CommonErrorMessage message = MakeDefaultCommonError(version);
    message.errorId = errorId;
    message.sourceClass = offending.messageClass;
    message.sourceType = offending.messageType;
    return EncodeMessage(message);
}

CommonErrorMessage DecodeCommonError(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultCommonError(version));
}

CommonErrorView ParseCommonErrorMessage(std::span<const std::uint8_t> message, ProtocolVersion version,
                                        const wchar_t* context)
{
    const MessageView view = ParseMessage(message);
    CommonErrorView result;
    result.message = DecodeCommonError(view.fixedPart, version);
    result.text = AsText(TakeVariableBytes(view, result.message.errorStringSize, context,
                                           L"errorStringSize (%u) is too large."));
    return result;
}

} // namespace Q7::KPX
