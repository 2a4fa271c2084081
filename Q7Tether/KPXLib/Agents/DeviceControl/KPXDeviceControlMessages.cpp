#include "Agents/DeviceControl/KPXDeviceControlMessages.h"

#include <algorithm>
#include <array>
#include <limits>

#include "Channel/KPXMessageReader.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Wire/KPXValue.h"

namespace Q7::KPX::DeviceControl
{
namespace
{

using Universal::ModuleError;

// Size tables: one row each, at 1.0, with the same size as default.
constexpr MessageSizeRow kGetPropListSizes[] = {{{1, 0}, 16}};
constexpr MessageSizeRow kGetPropDescSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kGetPropStateSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kSetPropValueSizes[] = {{{1, 0}, 24}};
constexpr MessageSizeRow kRestorePropValueSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kRefreshPropSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kExecuteCmdSizes[] = {{{1, 0}, 28}};
constexpr MessageSizeRow kPropertyListHeaderSizes[] = {{{1, 0}, 20}};
constexpr MessageSizeRow kPropertyDescriptorHeaderSizes[] = {{{1, 0}, 52}};
constexpr MessageSizeRow kPropertyStateHeaderSizes[] = {{{1, 0}, 32}};

constexpr std::size_t kAttributeHeaderSize = PropertyAttributeHeader::kEncodedSize;
constexpr std::uint64_t kExtraWordSize = 4;
// Ids read from the source at a time: the list grows with the bytes that
// arrive, whatever count the camera claims.
constexpr std::size_t kIdsPerRead = 256;

const wchar_t* const kListContext = L"KPX ch2 property list message.";
const wchar_t* const kAttributeContext = L"KPX ch2 property attribute.";
const wchar_t* const kDescriptorContext = L"KPX ch2 property descriptor.";
const wchar_t* const kStateContext = L"KPX ch2 property.";

// ModuleError 0x650003 with the context, logged with the detail filled with
// `value`.
[[noreturn]] void ThrowMalformed(const wchar_t* context, const wchar_t* detailFormat, std::uint64_t value)
{
    // Every value shown is a u16 or u32 field of the wire.
    Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidData, context), detailFormat,
                                static_cast<unsigned>(value));
}

MessageBytes MakePropertyIdMessage(ProtocolVersion version, std::uint8_t type, std::uint16_t size,
                                   std::uint32_t propertyId)
{
    CheckMessageVersion(version);
    PropertyIdMessage message = WithFixedSize(PropertyIdMessage{}, size);
    message.header.messageType = type;
    message.propertyId = propertyId;
    return EncodeMessage(message);
}

// The bytes left in a message behind its (received) fixed part.
std::uint64_t BytesAfterFixedPart(const CommonMessageHeader& header) noexcept
{
    return std::uint64_t{header.messageSize} - header.messageHeaderSize;
}

std::uint32_t ReadU32(MessageSource& source, std::uint32_t& value)
{
    std::array<std::uint8_t, 4> bytes{};
    if (const std::uint32_t result = source.Read(bytes); result != 0)
        return result;
    ByteReader reader(bytes);
    value = reader.ReadU32();
    return 0;
}

// Reads `valueSize` bytes as a value of `valueType` (checked by the caller).
std::uint32_t ReadValue(MessageSource& source, std::uint8_t valueType, std::size_t valueSize, Value& value)
{
    std::vector<std::uint8_t> bytes(valueSize);
    if (const std::uint32_t result = source.Read(bytes); result != 0)
        return result;
    value.SetType(valueType);
    value.SetData(bytes);
    return 0;
}

// Reads a value of `valueSize` bytes, its text of `textSize` bytes and, when
// at least 4 bytes are left after them, the extra word, out of `available`
// bytes, which lose what is read. Raises `context` with "valueSize (%u) is
// invalid." for a value beyond them or shorter than its type, and
// "valueStringSize (%u) is too large." for a text beyond them.
std::uint32_t ReadValueWithText(MessageSource& source, const wchar_t* context, std::uint8_t valueType,
                                std::uint16_t valueSize, std::uint8_t textSize, std::uint64_t& available,
                                ValueWithText& value)
{
    if (valueSize > 0)
    {
        if (valueSize > available || valueSize < Value::SizeOfType(valueType))
            ThrowMalformed(context, L"valueSize (%u) is invalid.", valueSize);
        if (const std::uint32_t result = ReadValue(source, valueType, valueSize, value.value); result != 0)
            return result;
        available -= valueSize;
    }
    if (textSize > 0)
    {
        if (textSize > available)
            ThrowMalformed(context, L"valueStringSize (%u) is too large.", textSize);
        if (const std::uint32_t result = ReadMessageText(source, textSize, value.text); result != 0)
            return result;
        available -= textSize;
    }
    if (available >= kExtraWordSize)
    {
        if (const std::uint32_t result = ReadU32(source, value.extra); result != 0)
            return result;
        available -= kExtraWordSize;
    }
    return 0;
}

// Reads one descriptor attribute; `remaining` is what is left of the message
// and loses every byte read or skipped.
std::uint32_t ReadPropertyAttribute(MessageSource& source, std::uint64_t& remaining,
                                    PropertyAttribute& attribute)
{
    if (remaining < kAttributeHeaderSize)
        ThrowMalformed(kAttributeContext, L"Message size is too small.", 0);
    std::array<std::uint8_t, kAttributeHeaderSize> headerBytes{};
    if (const std::uint32_t result = source.Read(headerBytes); result != 0)
        return result;
    remaining -= kAttributeHeaderSize;
    const PropertyAttributeHeader header = *ReadRecord<PropertyAttributeHeader>(headerBytes);

    // A size below its own 8 bytes would make the remainder negative.
    if (header.attributeSize < kAttributeHeaderSize ||
        std::uint64_t{header.attributeSize} - kAttributeHeaderSize > remaining)
        ThrowMalformed(kAttributeContext, L"attributeSize (%u) is too large.", header.attributeSize);
    const std::uint64_t attributeRest = std::uint64_t{header.attributeSize} - kAttributeHeaderSize;
    attribute.kind = header.kind;
    std::uint64_t left = attributeRest;
    if (const std::uint32_t result =
            ReadValueWithText(source, kAttributeContext, header.valueType, header.valueSize,
                              header.valueStringSize, left, attribute.value);
        result != 0)
        return result;
    // The attribute's bytes, read or skipped, all leave the message.
    remaining -= attributeRest;
    return source.Skip(left);
}

// Reads the descriptor's texts, which lie between the end of the attributes
// (`position`) and `messageSize`; `remaining` loses what is read or skipped.
std::uint32_t ReadDescriptorTexts(const PropertyDescriptorMessageHeader& fixed, std::uint64_t position,
                                  MessageSource& source, std::uint64_t& remaining,
                                  PropertyDescriptor& descriptor)
{
    const std::array<std::pair<const TextReference*, std::string*>, 5> texts{{
        {&fixed.name, &descriptor.name},
        {&fixed.secondText, &descriptor.secondText},
        {&fixed.group, &descriptor.group},
        {&fixed.unit, &descriptor.unit},
        {&fixed.description, &descriptor.description},
    }};
    std::uint64_t low = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t high = 0;
    for (const auto& [reference, text] : texts)
    {
        if (reference->length == 0)
            continue;
        low = std::min<std::uint64_t>(low, reference->offset);
        high = std::max<std::uint64_t>(high, std::uint64_t{reference->offset} + reference->length);
    }
    if (high <= low)
        return 0; // no text
    if (low < position)
        ThrowMalformed(kDescriptorContext, L"string offset (%u) too small.", low);
    if (high > fixed.header.messageSize)
        ThrowMalformed(kDescriptorContext, L"string offset (%u) too large.", high);
    if (low > position)
    {
        if (const std::uint32_t result = source.Skip(low - position); result != 0)
            return result;
        remaining -= low - position;
    }
    std::vector<std::uint8_t> block(static_cast<std::size_t>(high - low));
    if (const std::uint32_t result = source.Read(block); result != 0)
        return result;
    remaining -= high - low;
    for (const auto& [reference, text] : texts)
    {
        if (reference->length == 0)
            continue;
        const auto begin = block.begin() + static_cast<std::ptrdiff_t>(reference->offset - low);
        const auto end = std::find(begin, begin + reference->length, std::uint8_t{0});
        text->assign(begin, end);
    }
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Sizes.

std::uint16_t GetGetPropListMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetPropListSizes, 16, version);
}

std::uint16_t GetGetPropDescMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetPropDescSizes, 20, version);
}

std::uint16_t GetGetPropStateMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetPropStateSizes, 20, version);
}

std::uint16_t GetSetPropValueMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kSetPropValueSizes, 24, version);
}

std::uint16_t GetRestorePropValueMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kRestorePropValueSizes, 20, version);
}

std::uint16_t GetRefreshPropMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kRefreshPropSizes, 20, version);
}

std::uint16_t GetExecuteCmdMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kExecuteCmdSizes, 28, version);
}

std::uint16_t GetPropertyListMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kPropertyListHeaderSizes, 20, version);
}

std::uint16_t GetPropertyDescriptorMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kPropertyDescriptorHeaderSizes, 52, version);
}

std::uint16_t GetPropertyStateMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kPropertyStateHeaderSizes, 32, version);
}

// ---------------------------------------------------------------------------
// Requests.

MessageBytes MakeGetPropListMessage(ProtocolVersion version)
{
    CheckMessageVersion(version);
    return EncodeMessage(WithFixedSize(GetPropListMessage{}, GetGetPropListMessageSize(version)));
}

MessageBytes MakeGetPropDescMessage(ProtocolVersion version, std::uint32_t propertyId)
{
    return MakePropertyIdMessage(version, kDeviceControlMessage_GetPropDesc,
                                 GetGetPropDescMessageSize(version), propertyId);
}

MessageBytes MakeGetPropStateMessage(ProtocolVersion version, std::uint32_t propertyId)
{
    return MakePropertyIdMessage(version, kDeviceControlMessage_GetPropState,
                                 GetGetPropStateMessageSize(version), propertyId);
}

MessageBytes MakeRestorePropValueMessage(ProtocolVersion version, std::uint32_t propertyId)
{
    return MakePropertyIdMessage(version, kDeviceControlMessage_RestorePropValue,
                                 GetRestorePropValueMessageSize(version), propertyId);
}

MessageBytes MakeRefreshPropMessage(ProtocolVersion version, std::uint32_t propertyId)
{
    return MakePropertyIdMessage(version, kDeviceControlMessage_RefreshProp,
                                 GetRefreshPropMessageSize(version), propertyId);
}

MessageBytes MakeExecuteCmdMessage(ProtocolVersion version, std::uint32_t command, std::uint32_t subCommand,
                                   std::uint32_t parameter)
{
    CheckMessageVersion(version);
    ExecuteCmdMessage message = WithFixedSize(ExecuteCmdMessage{}, GetExecuteCmdMessageSize(version));
    message.command = command;
    message.subCommand = subCommand;
    message.parameter = parameter;
    return EncodeMessage(message);
}

MessageBytes MakeSetPropValueMessage(ProtocolVersion version, std::uint32_t propertyId, const Value& value)
{
    if (value.GetSize() > kMaxSetValueSize)
        throw ModuleError(Universal::kError_InvalidSize, L"KPX value is too large.");
    CheckMessageVersion(version);
    SetPropValueMessage message = WithFixedSize(SetPropValueMessage{}, GetSetPropValueMessageSize(version));
    message.propertyId = propertyId;
    message.valueSize = static_cast<std::uint16_t>(value.GetSize());
    message.valueType = static_cast<std::uint8_t>(value.GetType());
    message.header.messageSize = message.header.messageHeaderSize + message.valueSize;
    return EncodeMessage(message, value.GetBytes());
}

// ---------------------------------------------------------------------------
// Replies.

std::uint32_t ReadPropertyListReply(const CommonMessageHeader& header, MessageSource& source,
                                    ProtocolVersion version, std::vector<std::uint32_t>& ids)
{
    ids.clear();
    PropertyListMessageHeader fixed =
        WithFixedSize(PropertyListMessageHeader{}, GetPropertyListMessageHeaderSize(version));
    if (const std::uint32_t result = ReadMessageFixedPart(source, header, fixed); result != 0)
        return result;

    std::uint64_t remaining = BytesAfterFixedPart(header);
    const std::uint64_t count = fixed.propertyCount;
    if (count > 0)
    {
        if (4 * count > remaining)
            ThrowMalformed(kListContext, L"propertyCount (%u) is too large.", count);
        std::array<std::uint8_t, 4 * kIdsPerRead> piece{};
        for (std::uint64_t done = 0; done < count;)
        {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, kIdsPerRead));
            const std::span<std::uint8_t> bytes(piece.data(), 4 * n);
            if (const std::uint32_t result = source.Read(bytes); result != 0)
                return result;
            ByteReader reader(bytes);
            for (std::size_t i = 0; i < n; ++i)
                ids.push_back(reader.ReadU32());
            done += n;
        }
        remaining -= 4 * count;
    }
    return source.Skip(remaining);
}

std::uint32_t
ReadPropertyDescriptorReply(const CommonMessageHeader& header, MessageSource& source, ProtocolVersion version,
                            PropertyDescriptor& descriptor,
                            const std::function<void(const PropertyDescriptorMessageHeader&)>& onHeader)
{
    descriptor = PropertyDescriptor{};
    PropertyDescriptorMessageHeader fixed =
        WithFixedSize(PropertyDescriptorMessageHeader{}, GetPropertyDescriptorMessageHeaderSize(version));
    if (const std::uint32_t result = ReadMessageFixedPart(source, header, fixed); result != 0)
        return result;
    if (onHeader)
        onHeader(fixed);

    std::uint64_t remaining = BytesAfterFixedPart(header);
    for (unsigned index = 0; index < fixed.attributeCount; ++index)
    {
        PropertyAttribute attribute;
        if (const std::uint32_t result = ReadPropertyAttribute(source, remaining, attribute); result != 0)
            return result;
        descriptor.attributes.push_back(std::move(attribute));
    }
    // The header is at least 16 bytes, so something of the message lies
    // before what is left.
    Q7_ASSERT(remaining < header.messageSize);
    const std::uint64_t position = header.messageSize - remaining;
    if (const std::uint32_t result = ReadDescriptorTexts(fixed, position, source, remaining, descriptor);
        result != 0)
        return result;
    if (const std::uint32_t result = source.Skip(remaining); result != 0)
        return result;

    descriptor.id = fixed.propertyId;
    descriptor.flags = fixed.flags;
    descriptor.valueType = fixed.valueType;
    descriptor.displayIndex = fixed.displayIndex;
    descriptor.userLevel = fixed.userLevel;
    return 0;
}

std::uint32_t ReadPropertyStateReply(const CommonMessageHeader& header, MessageSource& source,
                                     ProtocolVersion version, PropertyState& state,
                                     const std::function<void(const PropertyStateMessageHeader&)>& onHeader)
{
    state = PropertyState{};
    PropertyStateMessageHeader fixed =
        WithFixedSize(PropertyStateMessageHeader{}, GetPropertyStateMessageHeaderSize(version));
    if (const std::uint32_t result = ReadMessageFixedPart(source, header, fixed); result != 0)
        return result;
    if (onHeader)
        onHeader(fixed);

    std::uint64_t remaining = BytesAfterFixedPart(header);
    if (const std::uint32_t result =
            ReadValueWithText(source, kStateContext, fixed.valueType, fixed.valueSize, fixed.valueStringSize,
                              remaining, state.value);
        result != 0)
        return result;
    if (const std::uint32_t result = source.Skip(remaining); result != 0)
        return result;

    state.id = fixed.propertyId;
    state.valueType = fixed.valueType;
    state.flags = fixed.flags;
    return 0;
}

} // namespace Q7::KPX::DeviceControl
