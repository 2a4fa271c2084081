#include "Agents/ImageTransfer/KPXImageTransferMessages.h"

namespace Q7::KPX::ImageTransfer
{
namespace
{

constexpr MessageSizeRow kGetStatusSizes[] = {{{1, 0}, 16}};
constexpr MessageSizeRow kEnableTransferSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kSetHostStorageSizeSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kRequestImageSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kImageRequestReplySizes[] = {{{1, 0}, 32}};
constexpr MessageSizeRow kStatusSizes[] = {{{1, 0}, 28}};

} // namespace

std::uint16_t GetGetStatusMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetStatusSizes, 16, version);
}

std::uint16_t GetEnableTransferMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kEnableTransferSizes, 20, version);
}

std::uint16_t GetSetHostStorageSizeMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kSetHostStorageSizeSizes, 20, version);
}

std::uint16_t GetRequestImageMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kRequestImageSizes, 20, version);
}

std::uint16_t GetImageRequestReplyMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kImageRequestReplySizes, 32, version);
}

std::uint16_t GetStatusMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kStatusSizes, 28, version);
}

ImageRequestReplyMessage MakeDefaultImageRequestReply(ProtocolVersion version) noexcept
{
    return WithFixedSize(ImageRequestReplyMessage{}, GetImageRequestReplyMessageSize(version));
}

StatusMessage MakeDefaultStatus(ProtocolVersion version) noexcept
{
    return WithFixedSize(StatusMessage{}, GetStatusMessageSize(version));
}

MessageBytes MakeGetStatusMessage(ProtocolVersion version)
{
    CheckMessageVersion(version);
    return EncodeMessage(WithFixedSize(GetStatusMessage{}, GetGetStatusMessageSize(version)));
}

MessageBytes MakeEnableTransferMessage(ProtocolVersion version, bool enable)
{
    CheckMessageVersion(version);
    EnableTransferMessage message =
        WithFixedSize(EnableTransferMessage{}, GetEnableTransferMessageSize(version));
    message.enable = enable ? 1 : 0;
    return EncodeMessage(message);
}

MessageBytes MakeSetHostStorageSizeMessage(ProtocolVersion version, std::uint32_t megabytes)
{
    CheckMessageVersion(version);
    SetHostStorageSizeMessage message =
        WithFixedSize(SetHostStorageSizeMessage{}, GetSetHostStorageSizeMessageSize(version));
    message.storageSize = megabytes;
    return EncodeMessage(message);
}

MessageBytes MakeRequestImageMessage(ProtocolVersion version, std::uint32_t imageId)
{
    CheckMessageVersion(version);
    RequestImageMessage message = WithFixedSize(RequestImageMessage{}, GetRequestImageMessageSize(version));
    message.imageId = imageId;
    return EncodeMessage(message);
}

} // namespace Q7::KPX::ImageTransfer
