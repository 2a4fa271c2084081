#include "Agents/ImageEnumeration/KPXImageEnumerationMessages.h"

#include <algorithm>

namespace Q7::KPX::ImageEnumeration
{

static_assert(FieldListSize<ImageListItem>() == ImageListItem::kEncodedSize);
static_assert(FieldListSize<MetadataItemHeader>() == MetadataItemHeader::kEncodedSize);
static_assert(FieldListSize<ImageBufferChunkHeader>() == ImageBufferChunkHeader::kEncodedSize);
static_assert(FieldListSize<BasicImageInfoBody>() == BasicImageInfoBody::kEncodedSize);

MessageBytes MakeGetImageListMessage(ProtocolVersion version)
{
    CheckMessageVersion(version);
    return EncodeMessage(WithFixedSize(GetImageListMessage{}, GetGetImageListMessageSize(version)));
}

MessageBytes MakeBasicImageInfoMessage(ProtocolVersion version, std::uint32_t imageId)
{
    CheckMessageVersion(version);
    BasicImageInfoRequest message =
        WithFixedSize(BasicImageInfoRequest{}, GetBasicImageInfoMessageSize(version));
    message.imageId = imageId;
    return EncodeMessage(message);
}

MessageBytes MakeGetMetadataMessage(ProtocolVersion version, std::uint32_t imageId,
                                    std::span<const std::uint32_t> itemIds)
{
    CheckMessageVersion(version);
    GetMetadataMessage message = WithFixedSize(GetMetadataMessage{}, GetGetMetadataMessageSize(version));
    message.imageId = imageId;
    std::copy_n(itemIds.begin(), std::min(itemIds.size(), message.itemIds.size()), message.itemIds.begin());
    return EncodeMessage(message);
}

MessageBytes MakeGetImageBufferMessage(ProtocolVersion version, const ImageBufferRequestInfo& info,
                                       std::uint32_t bufferKind, std::uint64_t timeMs)
{
    if (bufferKind != kBufferKind_Preview && bufferKind != kBufferKind_Tile)
        return {};
    CheckMessageVersion(version);
    GetImageBufferMessage message =
        WithFixedSize(GetImageBufferMessage{}, GetGetImageBufferMessageSize(version));
    message.imageId = info.imageId;
    message.bufferKind = bufferKind;
    message.field9 = info.field9;
    if (bufferKind == kBufferKind_Tile)
    {
        message.field6 = info.field6;
        message.field7 = info.field7;
        message.field2 = info.field2;
        message.field3 = info.field3;
        message.field4 = info.field4;
        message.field5 = info.field5;
        message.scale = info.field8;
        message.timeMs = timeMs;
        message.field10 = info.field10;
    }
    return EncodeMessage(message);
}

MessageBytes MakeEditImageMetadataMessage(ProtocolVersion version, std::uint32_t imageId,
                                          std::uint32_t editKind, std::uint32_t value)
{
    CheckMessageVersion(version);
    EditImageMetadataMessage message =
        WithFixedSize(EditImageMetadataMessage{}, GetEditImageMetadataMessageSize(version));
    message.imageId = imageId;
    message.editKind = editKind;
    message.value = value;
    return EncodeMessage(message);
}

MessageBytes MakeGetCapabilitiesMessage(ProtocolVersion version)
{
    CheckMessageVersion(version);
    return EncodeMessage(WithFixedSize(GetCapabilitiesMessage{}, GetGetCapabilitiesMessageSize(version)));
}

MessageBytes MakeSetSubscriptionMessage(ProtocolVersion version, std::uint32_t flags, std::uint32_t options,
                                        std::uint8_t optionByte)
{
    CheckMessageVersion(version);
    SetSubscriptionMessage message =
        WithFixedSize(SetSubscriptionMessage{}, GetSetSubscriptionMessageSize(version));
    message.flags = flags;
    message.options = options;
    message.optionByte = optionByte;
    return EncodeMessage(message);
}

} // namespace Q7::KPX::ImageEnumeration
