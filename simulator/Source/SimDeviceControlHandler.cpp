#include "SimDeviceControlHandler.h"

#include "SimByteCursor.h"
#include "SimLog.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace Q7::Sim
{

namespace
{

// ------------------------------------------------------------- value types

struct TypeSize
{
    std::uint8_t type;
    std::uint8_t size;
};

// The camera's table of fixed-size value types (0 and 20 are variable).
constexpr TypeSize kTypeSizes[] = {
    {1, 1},   {2, 1},   {12, 1},  {3, 2},   {4, 2},   {50, 3},  {5, 4},   {6, 4},   {9, 4},
    {11, 4},  {13, 4},  {55, 4},  {51, 6},  {7, 8},   {8, 8},   {10, 8},  {14, 8},  {30, 8},
    {31, 8},  {32, 8},  {34, 8},  {35, 8},  {36, 8},  {56, 8},  {70, 8},  {71, 8},  {72, 8},
    {52, 12}, {53, 12}, {33, 16}, {37, 16}, {38, 16}, {39, 16}, {40, 16}, {57, 16}, {58, 16},
    {73, 16}, {54, 24}, {21, 32}, {41, 32}, {59, 32}, {22, 80},
};
constexpr std::size_t kType23Size = 256;

std::uint64_t ReadUnsigned(const std::vector<std::uint8_t>& bytes, std::size_t width)
{
    std::uint64_t raw = 0;
    for (std::size_t i = 0; i < width && i < bytes.size(); ++i)
        raw |= std::uint64_t{bytes[i]} << (8 * i);
    return raw;
}

// A numeric value for range checks; none for types without an order.
std::optional<long double> NumericValue(const SimValue& value)
{
    const auto width = ValueTypeSize(value.type);
    // Numbers are at most 8 bytes wide; wider types (records, texts) have no order.
    if (width == 0 || width > 8 || value.bytes.size() < width)
        return std::nullopt;
    const std::uint64_t raw = ReadUnsigned(value.bytes, width);
    const unsigned shift = 64 - 8 * static_cast<unsigned>(width);
    switch (value.type)
    {
    case 1:
    case 3:
    case 5:
    case 7:
        return static_cast<long double>(static_cast<std::int64_t>(raw << shift) >> shift);
    case 2:
    case 4:
    case 6:
    case 8:
    case 11:
    case 12:
    case 13:
    case 14:
        return static_cast<long double>(raw);
    case 9:
        return static_cast<long double>(std::bit_cast<float>(static_cast<std::uint32_t>(raw)));
    case 10:
        return static_cast<long double>(std::bit_cast<double>(raw));
    default:
        return std::nullopt;
    }
}

// ------------------------------------------------------------- messages

struct Attribute
{
    std::uint8_t kind;
    SimValue value;
};

std::size_t AttributeSize(const Attribute& attribute)
{
    const std::size_t textSize = std::min<std::size_t>(attribute.value.text.size(), 255);
    return kDcAttributeHeaderSize + attribute.value.bytes.size() + textSize + (attribute.value.extra ? 4 : 0);
}

void WriteAttribute(ByteWriter& writer, const Attribute& attribute)
{
    const std::size_t textSize = std::min<std::size_t>(attribute.value.text.size(), 255);
    writer.U16(static_cast<std::uint16_t>(AttributeSize(attribute)));
    writer.U8(attribute.kind);
    writer.U8(0);
    writer.U16(static_cast<std::uint16_t>(attribute.value.bytes.size()));
    writer.U8(attribute.value.type);
    writer.U8(static_cast<std::uint8_t>(textSize));
    writer.Bytes(attribute.value.bytes);
    writer.Bytes(std::span(reinterpret_cast<const std::uint8_t*>(attribute.value.text.data()), textSize));
    if (attribute.value.extra)
        writer.U32(*attribute.value.extra);
}

std::vector<Attribute> AttributesOf(const SimPropertyDescriptor& descriptor)
{
    std::vector<Attribute> attributes;
    for (const SimValue& item : descriptor.valueList)
        attributes.push_back({1, item});
    if (descriptor.defaultValue)
        attributes.push_back({2, *descriptor.defaultValue});
    if (descriptor.minimum)
        attributes.push_back({3, *descriptor.minimum});
    if (descriptor.maximum)
        attributes.push_back({4, *descriptor.maximum});
    if (descriptor.kind5Word)
        attributes.push_back({5, SimValue::U32(*descriptor.kind5Word)});
    return attributes;
}

// The 52-byte fixed part of a descriptor; the text references are written by
// the caller.
void WriteDescriptorFixedPart(ByteWriter& writer, const SimProperty& property, std::uint16_t attributeCount)
{
    writer.Seek(kMessageHeaderSize);
    writer.U32(property.id);
    writer.U32(property.descriptor.flags);
    writer.U8(property.valueType);
    writer.U8(property.descriptor.userLevel);
    writer.U16(attributeCount);
    writer.U32(property.descriptor.displayIndex);
}

void WriteStateFixedPart(ByteWriter& writer, std::uint32_t id, std::uint32_t flags, std::size_t valueSize,
                         std::uint8_t valueType, std::size_t textSize)
{
    writer.Seek(kMessageHeaderSize);
    writer.U32(id);
    writer.U32(flags);
    writer.U16(static_cast<std::uint16_t>(valueSize));
    writer.U8(valueType);
    writer.U8(static_cast<std::uint8_t>(textSize));
    writer.U32(0);
}

std::string Hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

void SendReply(ChannelContext& context, std::span<const std::uint8_t> message)
{
    context.Send(message);
}

// The camera's answer to a request for a property it does not have.
void SendCommonErrorTo(ChannelContext& context, const MessageHeader& request, std::uint32_t id)
{
    SendReply(context, BuildCommonError(kErrorIdUnknownProperty, request.messageClass, request.messageType,
                                        "unknown property " + Hex(id)));
}

} // namespace

// ------------------------------------------------------------- value types

std::size_t ValueTypeSize(std::uint8_t type)
{
    if (type == 23)
        return kType23Size;
    for (const TypeSize& row : kTypeSizes)
    {
        if (row.type == type)
            return row.size;
    }
    return 0;
}

bool IsKnownValueType(std::uint8_t type)
{
    return type == 0 || type == 20 || ValueTypeSize(type) != 0;
}

SimValue SimValue::Words(std::uint8_t type, std::vector<std::uint32_t> words, std::string text)
{
    std::vector<std::uint8_t> bytes;
    for (const std::uint32_t word : words)
    {
        const auto number = Number(word);
        bytes.insert(bytes.end(), number.bytes.begin(), number.bytes.end());
    }
    return Raw(type, std::move(bytes), std::move(text));
}

SimValue SimValue::Text(std::uint8_t type, std::string_view value)
{
    std::vector<std::uint8_t> bytes(value.begin(), value.end());
    if (const std::size_t field = ValueTypeSize(type); field != 0)
        bytes.resize(field, 0);
    return Raw(type, std::move(bytes));
}

SimValue SimValue::Raw(std::uint8_t type, std::vector<std::uint8_t> bytes, std::string text)
{
    SimValue value;
    value.type = type;
    value.bytes = std::move(bytes);
    value.text = std::move(text);
    return value;
}

// ------------------------------------------------------------- replies

std::vector<MalformedReply> AllMalformedReplies()
{
    return {MalformedReply::ListCountWraps,           MalformedReply::AttributeSizeBelow8,
            MalformedReply::AttributeSizeOverrun,     MalformedReply::AttributeValueSizeInvalid,
            MalformedReply::AttributeTextSizeOverrun, MalformedReply::AttributesOverrunMessage,
            MalformedReply::TextOffsetTooSmall,       MalformedReply::TextOffsetTooLarge,
            MalformedReply::StateValueSizeInvalid,    MalformedReply::StateTextSizeOverrun,
            MalformedReply::CommonErrorTextOverrun,   MalformedReply::HeaderSizeTooSmall,
            MalformedReply::MessageSizeBelowHeader};
}

const char* MalformedReplyName(MalformedReply kind)
{
    switch (kind)
    {
    case MalformedReply::ListCountWraps:
        return "ListCountWraps";
    case MalformedReply::AttributeSizeBelow8:
        return "AttributeSizeBelow8";
    case MalformedReply::AttributeSizeOverrun:
        return "AttributeSizeOverrun";
    case MalformedReply::AttributeValueSizeInvalid:
        return "AttributeValueSizeInvalid";
    case MalformedReply::AttributeTextSizeOverrun:
        return "AttributeTextSizeOverrun";
    case MalformedReply::AttributesOverrunMessage:
        return "AttributesOverrunMessage";
    case MalformedReply::TextOffsetTooSmall:
        return "TextOffsetTooSmall";
    case MalformedReply::TextOffsetTooLarge:
        return "TextOffsetTooLarge";
    case MalformedReply::StateValueSizeInvalid:
        return "StateValueSizeInvalid";
    case MalformedReply::StateTextSizeOverrun:
        return "StateTextSizeOverrun";
    case MalformedReply::CommonErrorTextOverrun:
        return "CommonErrorTextOverrun";
    case MalformedReply::HeaderSizeTooSmall:
        return "HeaderSizeTooSmall";
    case MalformedReply::MessageSizeBelowHeader:
        return "MessageSizeBelowHeader";
    }
    return "Unknown";
}

std::vector<std::uint8_t> BuildPropertyListReply(std::span<const std::uint32_t> ids)
{
    auto message = StartMessage(kClassDeviceControl, kDcPropListReply, kDcPropListHeaderSize,
                                kDcPropListHeaderSize + 4 * ids.size());
    ByteWriter writer(message);
    writer.Seek(kMessageHeaderSize);
    writer.U32(static_cast<std::uint32_t>(ids.size()));
    for (const std::uint32_t id : ids)
        writer.U32(id);
    return message;
}

std::vector<std::uint8_t> BuildPropertyDescriptorReply(const SimProperty& property)
{
    const SimPropertyDescriptor& descriptor = property.descriptor;
    const std::vector<Attribute> attributes = AttributesOf(descriptor);
    std::size_t size = kDcPropDescHeaderSize;
    for (const Attribute& attribute : attributes)
        size += AttributeSize(attribute);
    const std::string* const texts[] = {&descriptor.name, &descriptor.secondText, &descriptor.group,
                                        &descriptor.unit, &descriptor.description};
    const std::size_t textsStart = size;
    for (const std::string* text : texts)
        size += text->size();

    auto message = StartMessage(kClassDeviceControl, kDcPropDescReply, kDcPropDescHeaderSize, size);
    ByteWriter writer(message);
    WriteDescriptorFixedPart(writer, property, static_cast<std::uint16_t>(attributes.size()));
    std::size_t offset = textsStart;
    for (const std::string* text : texts)
    {
        writer.U16(static_cast<std::uint16_t>(text->size()));
        writer.U16(text->empty() ? 0 : static_cast<std::uint16_t>(offset));
        offset += text->size();
    }
    for (const Attribute& attribute : attributes)
        WriteAttribute(writer, attribute);
    for (const std::string* text : texts)
        writer.Bytes(std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    return message;
}

std::vector<std::uint8_t> BuildPropertyStateReply(const SimProperty& property)
{
    const SimValue& value = property.value;
    const std::size_t textSize = std::min<std::size_t>(value.text.size(), 255);
    const std::size_t size = kDcPropStateHeaderSize + value.bytes.size() + textSize + (value.extra ? 4 : 0);
    auto message = StartMessage(kClassDeviceControl, kDcPropStateReply, kDcPropStateHeaderSize, size);
    ByteWriter writer(message);
    WriteStateFixedPart(writer, property.id, property.stateFlags, value.bytes.size(), property.valueType,
                        textSize);
    writer.Bytes(value.bytes);
    writer.Bytes(std::span(reinterpret_cast<const std::uint8_t*>(value.text.data()), textSize));
    if (value.extra)
        writer.U32(*value.extra);
    return message;
}

std::vector<std::uint8_t> BuildMalformedReply(MalformedReply kind, const SimProperty& property)
{
    // A descriptor with one u32 attribute of `attributeSize`, `valueSize` and
    // `textSize`, carrying `present` bytes of attribute, and the name at
    // (`nameOffset`, `nameLength`).
    const auto descriptor = [&](std::uint16_t attributeCount, std::uint16_t attributeSize,
                                std::uint16_t valueSize, std::uint8_t textSize, std::size_t present,
                                std::uint16_t nameOffset, std::uint16_t nameLength, std::size_t trailing)
    {
        auto message = StartMessage(kClassDeviceControl, kDcPropDescReply, kDcPropDescHeaderSize,
                                    kDcPropDescHeaderSize + present + trailing);
        ByteWriter writer(message);
        WriteDescriptorFixedPart(writer, property, attributeCount);
        writer.U16(nameLength);
        writer.U16(nameOffset);
        writer.Seek(kDcPropDescHeaderSize);
        writer.U16(attributeSize);
        writer.U8(1);
        writer.U8(0);
        writer.U16(valueSize);
        writer.U8(6);
        writer.U8(textSize);
        return message;
    };
    const auto state = [&](std::uint16_t valueSize, std::uint8_t textSize, std::size_t present)
    {
        auto message = StartMessage(kClassDeviceControl, kDcPropStateReply, kDcPropStateHeaderSize,
                                    kDcPropStateHeaderSize + present);
        ByteWriter writer(message);
        WriteStateFixedPart(writer, property.id, 0, valueSize, 6, textSize);
        return message;
    };
    switch (kind)
    {
    case MalformedReply::ListCountWraps:
    {
        auto message = StartMessage(kClassDeviceControl, kDcPropListReply, kDcPropListHeaderSize,
                                    kDcPropListHeaderSize + 4);
        ByteWriter writer(message);
        writer.Seek(kMessageHeaderSize);
        writer.U32(0x40000001u);
        writer.U32(property.id);
        return message;
    }
    case MalformedReply::AttributeSizeBelow8:
        return descriptor(1, 4, 0, 0, 8, 0, 0, 0);
    case MalformedReply::AttributeSizeOverrun:
        return descriptor(1, 4096, 4, 0, 12, 0, 0, 0);
    case MalformedReply::AttributeValueSizeInvalid:
        return descriptor(1, 10, 2, 0, 10, 0, 0, 0);
    case MalformedReply::AttributeTextSizeOverrun:
        return descriptor(1, 14, 4, 200, 14, 0, 0, 0);
    case MalformedReply::AttributesOverrunMessage:
        return descriptor(3, 12, 4, 0, 12, 0, 0, 0);
    case MalformedReply::TextOffsetTooSmall:
        return descriptor(1, 12, 4, 0, 12, 20, 4, 4);
    case MalformedReply::TextOffsetTooLarge:
        return descriptor(1, 12, 4, 0, 12, 990, 10, 4);
    case MalformedReply::StateValueSizeInvalid:
        return state(8, 0, 4);
    case MalformedReply::StateTextSizeOverrun:
        return state(4, 50, 6);
    case MalformedReply::CommonErrorTextOverrun:
    {
        auto message =
            BuildCommonError(kErrorIdUnknownProperty, kClassDeviceControl, kDcGetPropDesc, "short");
        ByteWriter writer(message);
        writer.Seek(24);
        writer.U16(100);
        return message;
    }
    case MalformedReply::HeaderSizeTooSmall:
    {
        auto message = StartMessage(kClassDeviceControl, kDcPropStateReply, 15, kMessageHeaderSize);
        return message;
    }
    case MalformedReply::MessageSizeBelowHeader:
        return StartMessage(kClassDeviceControl, kDcPropStateReply, kDcPropStateHeaderSize,
                            kMessageHeaderSize);
    }
    return {};
}

std::size_t DeviceControlStats::CountHandled(std::uint8_t type, std::optional<std::uint32_t> id) const
{
    return static_cast<std::size_t>(std::count_if(
        handled.begin(), handled.end(),
        [&](const HandledRequest& request) { return request.type == type && (!id || request.id == *id); }));
}

// ------------------------------------------------------------- the model

DeviceControlModel::DeviceControlModel(std::vector<SimProperty> properties)
    : m_properties(std::move(properties))
{
}

DeviceControlModel::~DeviceControlModel() = default;

std::vector<SimProperty> DeviceControlModel::DefaultProperties()
{
    std::vector<SimProperty> properties;
    std::uint32_t nextId = 0x1001;
    const auto add = [&](std::string name, std::string group, SimValue value,
                         const std::function<void(SimProperty&)>& finish = {})
    {
        SimProperty property;
        property.id = nextId++;
        property.valueType = value.type;
        property.descriptor.name = std::move(name);
        property.descriptor.group = std::move(group);
        property.value = std::move(value);
        if (finish)
            finish(property);
        properties.push_back(std::move(property));
    };

    add("ISO", "Exposure", SimValue::U32(200, "ISO 200"),
        [](SimProperty& p)
        {
            p.descriptor.flags = kPropSelectOnly;
            for (std::uint32_t iso : {100u, 200u, 400u, 800u, 1600u, 3200u})
                p.descriptor.valueList.push_back(SimValue::U32(iso, "ISO " + std::to_string(iso)));
            p.descriptor.defaultValue = SimValue::U32(100, "ISO 100");
            p.descriptor.description = "Sensitivity of the sensor";
        });
    add("Exposure compensation", "Exposure", SimValue::I32(0, "0.0"),
        [](SimProperty& p)
        {
            p.descriptor.unit = "mEV";
            p.descriptor.minimum = SimValue::I32(-3000);
            p.descriptor.maximum = SimValue::I32(3000);
            p.descriptor.defaultValue = SimValue::I32(0);
            p.descriptor.kind5Word = 333;
        });
    add("Aperture", "Exposure", SimValue::F64(5.6),
        [](SimProperty& p)
        {
            p.descriptor.unit = "f/";
            p.descriptor.minimum = SimValue::F64(1.4);
            p.descriptor.maximum = SimValue::F64(22.0);
        });
    add("White balance", "Colour", SimValue::Raw(11, {0, 0, 0, 0}, "Auto"),
        [](SimProperty& p)
        {
            p.descriptor.flags = kPropSelectOnly;
            p.descriptor.valueList = {SimValue::Raw(11, {0, 0, 0, 0}, "Auto"),
                                      SimValue::Raw(11, {1, 0, 0, 0}, "Daylight"),
                                      SimValue::Raw(11, {2, 0, 0, 0}, "Cloudy")};
        });
    add("Mirror lock-up", "Drive", SimValue::Raw(12, {0}, "Off"));
    add("Fine tune", "Focus", SimValue::I8(0),
        [](SimProperty& p)
        {
            p.descriptor.minimum = SimValue::I8(-5);
            p.descriptor.maximum = SimValue::I8(5);
        });
    add("Flash compensation", "Flash", SimValue::I16(-300));
    add("Service counter", "Service", SimValue::U16(7),
        [](SimProperty& p)
        {
            p.stateFlags = kPropDisabled;
            p.descriptor.userLevel = 20;
        });
    add("Clock offset", "Clock", SimValue::I64(-3600000));
    add("Shutter count", "Service", SimValue::U64(123456789ull),
        [](SimProperty& p)
        {
            p.stateFlags = kPropReadOnly;
            p.descriptor.userLevel = 11;
        });
    add("Gain", "Exposure", SimValue::F32(1.5f));
    add("Capture time", "Clock", SimValue::Raw(13, {0x10, 0x20, 0x30, 0x40}));
    add("Capture time (long)", "Clock", SimValue::Raw(14, {1, 2, 3, 4, 5, 6, 7, 8}));
    add("Comment", "Owner", SimValue::Text(20, "tethered"));
    add("Serial number", "Owner", SimValue::Text(21, "SIM0000001"),
        [](SimProperty& p) { p.stateFlags = kPropReadOnly; });
    add("Lens", "Owner", SimValue::Text(22, "TS 50mm"));
    add("Owner", "Owner", SimValue::Text(23, "Tavrin tests"),
        [](SimProperty& p) { p.descriptor.userLevel = 10; });
    add("Focus point", "Focus", SimValue::Words(30, {3000, 2000}));
    add("Image area", "Image", SimValue::Words(34, {6000, 4000}));
    add("Image area (float)", "Image", SimValue::Raw(36, std::vector<std::uint8_t>(8, 0)));
    add("Image area (double)", "Image", SimValue::Raw(37, std::vector<std::uint8_t>(16, 0)));
    add("Crop", "Image", SimValue::Words(38, {0, 0, 6000, 4000}));
    add("Colour balance", "Colour", SimValue::Raw(53, std::vector<std::uint8_t>(12, 0)));
    add("Colour balance (double)", "Colour", SimValue::Raw(54, std::vector<std::uint8_t>(24, 0)));
    add("Tint", "Colour", SimValue::Raw(58, std::vector<std::uint8_t>(16, 0)));
    add("Tint (double)", "Colour", SimValue::Raw(59, std::vector<std::uint8_t>(32, 0)));
    add("Bracket", "Exposure", SimValue::Words(70, {static_cast<std::uint32_t>(-2), 2}));
    add("Focus range", "Focus", SimValue::Words(71, {500, 10000}));
    add("Zoom range", "Focus", SimValue::Raw(72, std::vector<std::uint8_t>(8, 0)));
    add("Zoom range (double)", "Focus", SimValue::Raw(73, std::vector<std::uint8_t>(16, 0)));
    return properties;
}

void DeviceControlModel::SetShutterReleaseHook(std::function<void()> hook)
{
    std::lock_guard lock(m_mutex);
    m_shutterHook = std::move(hook);
}

void DeviceControlModel::SetSilent(bool silent)
{
    std::lock_guard lock(m_mutex);
    m_silent = silent;
}

void DeviceControlModel::SetPushBeforeListReply(bool push)
{
    std::lock_guard lock(m_mutex);
    m_pushBeforeListReply = push;
}

void DeviceControlModel::SetIgnoredIds(std::set<std::uint32_t> ids)
{
    std::lock_guard lock(m_mutex);
    m_ignoredIds = std::move(ids);
}

std::vector<SimProperty> DeviceControlModel::Properties() const
{
    std::lock_guard lock(m_mutex);
    return m_properties;
}

std::optional<SimProperty> DeviceControlModel::Find(std::uint32_t id) const
{
    std::lock_guard lock(m_mutex);
    for (const SimProperty& property : m_properties)
    {
        if (property.id == id)
            return property;
    }
    return std::nullopt;
}

void DeviceControlModel::AddProperty(SimProperty property)
{
    std::lock_guard lock(m_mutex);
    if (SimProperty* existing = FindLocked(property.id))
        *existing = std::move(property);
    else
        m_properties.push_back(std::move(property));
    PushLocked(BuildPropertyListReply(IdsLocked()));
}

bool DeviceControlModel::RemoveProperty(std::uint32_t id)
{
    std::lock_guard lock(m_mutex);
    const auto removed = std::erase_if(m_properties, [&](const SimProperty& p) { return p.id == id; });
    if (removed == 0)
        return false;
    PushLocked(BuildPropertyListReply(IdsLocked()));
    return true;
}

void DeviceControlModel::Reorder(const std::vector<std::uint32_t>& ids)
{
    std::lock_guard lock(m_mutex);
    std::stable_sort(
        m_properties.begin(), m_properties.end(),
        [&](const SimProperty& a, const SimProperty& b)
        {
            const auto rank = [&](std::uint32_t id)
            { return static_cast<std::size_t>(std::find(ids.begin(), ids.end(), id) - ids.begin()); };
            return rank(a.id) < rank(b.id);
        });
    PushLocked(BuildPropertyListReply(IdsLocked()));
}

bool DeviceControlModel::ChangeValue(std::uint32_t id, SimValue value,
                                     std::optional<std::uint32_t> stateFlags)
{
    std::lock_guard lock(m_mutex);
    SimProperty* property = FindLocked(id);
    if (property == nullptr)
        return false;
    property->value = std::move(value);
    if (stateFlags)
        property->stateFlags = *stateFlags;
    PushLocked(BuildPropertyStateReply(*property));
    return true;
}

bool DeviceControlModel::ChangeStateFlags(std::uint32_t id, std::uint32_t stateFlags)
{
    std::lock_guard lock(m_mutex);
    SimProperty* property = FindLocked(id);
    if (property == nullptr)
        return false;
    property->stateFlags = stateFlags;
    PushLocked(BuildPropertyStateReply(*property));
    return true;
}

bool DeviceControlModel::ChangeDescriptor(std::uint32_t id, SimPropertyDescriptor descriptor)
{
    std::lock_guard lock(m_mutex);
    SimProperty* property = FindLocked(id);
    if (property == nullptr)
        return false;
    property->descriptor = std::move(descriptor);
    PushLocked(BuildPropertyDescriptorReply(*property));
    return true;
}

std::size_t DeviceControlModel::PushMalformed(MalformedReply kind)
{
    std::lock_guard lock(m_mutex);
    SimProperty sample;
    sample.id = 1;
    if (!m_properties.empty())
        sample = m_properties.front();
    std::size_t reached = 0;
    PushLocked(BuildMalformedReply(kind, sample), &reached);
    return reached;
}

std::size_t DeviceControlModel::PushRaw(std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    std::size_t reached = 0;
    PushLocked(bytes, &reached);
    return reached;
}

DeviceControlStats DeviceControlModel::Stats() const
{
    std::lock_guard lock(m_mutex);
    return m_stats;
}

void DeviceControlModel::ClearStats()
{
    std::lock_guard lock(m_mutex);
    m_stats = {};
}

bool DeviceControlModel::WaitUntil(const std::function<bool(const DeviceControlStats&)>& predicate,
                                   std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return predicate(m_stats); });
}

std::size_t DeviceControlModel::Listeners() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(std::count_if(m_subscribers.begin(), m_subscribers.end(),
                                                  [](const Subscriber& s)
                                                  { return s.handler->EventsEnabled(); }));
}

void DeviceControlModel::Attach(DeviceControlHandler& handler, ChannelContext& context)
{
    std::lock_guard lock(m_mutex);
    m_subscribers.push_back({&handler, &context});
}

void DeviceControlModel::Detach(DeviceControlHandler& handler)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_subscribers, [&](const Subscriber& s) { return s.handler == &handler; });
}

SimProperty* DeviceControlModel::FindLocked(std::uint32_t id)
{
    for (SimProperty& property : m_properties)
    {
        if (property.id == id)
            return &property;
    }
    return nullptr;
}

std::vector<std::uint32_t> DeviceControlModel::IdsLocked() const
{
    std::vector<std::uint32_t> ids;
    for (const SimProperty& property : m_properties)
        ids.push_back(property.id);
    return ids;
}

void DeviceControlModel::PushLocked(std::span<const std::uint8_t> bytes, std::size_t* reached)
{
    for (const Subscriber& subscriber : m_subscribers)
    {
        if (!subscriber.handler->EventsEnabled())
            continue;
        if (subscriber.context->Send(bytes) && reached != nullptr)
            ++*reached;
    }
}

void DeviceControlModel::RecordLocked(std::uint8_t type, std::uint32_t id)
{
    m_stats.handled.push_back({type, id});
    m_changed.notify_all();
}

void DeviceControlModel::RestoreLocked(SimProperty& property)
{
    if (property.descriptor.defaultValue && (property.stateFlags & (kPropReadOnly | kPropDisabled)) == 0)
        property.value = *property.descriptor.defaultValue;
}

bool DeviceControlModel::SetValueLocked(ChannelContext& context, const MessageHeader& header,
                                        std::span<const std::uint8_t> message)
{
    ByteReader reader(message);
    reader.Seek(kMessageHeaderSize);
    const std::uint32_t id = reader.U32();
    const std::uint16_t valueSize = reader.U16();
    const std::uint8_t valueType = reader.U8();
    const std::uint8_t reserved = reader.U8();
    if (header.headerSize != 24 || header.messageSize != 24u + valueSize || reserved != 0 || !reader.Ok())
    {
        context.ReportViolation(ViolationKind::BadMessage,
                                "SetPropValue has messageHeaderSize " + std::to_string(header.headerSize) +
                                    ", messageSize " + std::to_string(header.messageSize) + ", valueSize " +
                                    std::to_string(valueSize) + " and byte 23 = " + std::to_string(reserved));
        return false;
    }
    SimProperty* property = FindLocked(id);
    if (property == nullptr)
    {
        SendCommonErrorTo(context, header, id);
        return false;
    }
    SimValue value;
    value.type = valueType;
    const auto bytes = reader.Bytes(valueSize);
    value.bytes.assign(bytes.begin(), bytes.end());

    // A host must check type and size itself before it asks.
    const std::size_t typeSize = ValueTypeSize(valueType);
    if (valueType != property->valueType || (typeSize != 0 && valueSize != typeSize))
    {
        context.ReportViolation(ViolationKind::BadMessage,
                                "SetPropValue for property " + Hex(id) + " of type " +
                                    std::to_string(property->valueType) + " carries type " +
                                    std::to_string(valueType) + " with " + std::to_string(valueSize) +
                                    " bytes");
        return false;
    }
    if ((property->stateFlags & (kPropReadOnly | kPropDisabled)) != 0)
        return false;
    const SimPropertyDescriptor& descriptor = property->descriptor;
    if ((descriptor.flags & kPropSelectOnly) != 0 && !descriptor.valueList.empty() &&
        std::none_of(descriptor.valueList.begin(), descriptor.valueList.end(),
                     [&](const SimValue& item)
                     { return item.type == value.type && item.bytes == value.bytes; }))
        return false;
    const auto number = NumericValue(value);
    if (number && descriptor.minimum)
    {
        if (const auto minimum = NumericValue(*descriptor.minimum); minimum && *number < *minimum)
            return false;
    }
    if (number && descriptor.maximum)
    {
        if (const auto maximum = NumericValue(*descriptor.maximum); maximum && *number > *maximum)
            return false;
    }
    // The display text of a listed value goes with it.
    for (const SimValue& item : descriptor.valueList)
    {
        if (item.type == value.type && item.bytes == value.bytes)
            value.text = item.text;
    }
    property->value = std::move(value);
    SendReply(context, BuildPropertyStateReply(*property));
    return true;
}

bool DeviceControlModel::HandleRequest(ChannelContext& context, const MessageHeader& header,
                                       std::span<const std::uint8_t> message, bool eventsEnabled)
{
    // A shutter release's hook runs once the model's lock is given back.
    std::function<void()> shutterHook;
    struct RunAfterUnlock
    {
        std::function<void()>& hook;
        ~RunAfterUnlock()
        {
            if (!hook)
                return;
            try
            {
                hook();
            }
            catch (...)
            {
                // A test's hook that throws must not take the camera down.
            }
        }
    } runAfterUnlock{shutterHook};
    std::lock_guard lock(m_mutex);
    ByteReader reader(message);
    reader.Seek(kMessageHeaderSize);
    const auto expect = [&](std::size_t size, const char* name)
    {
        if (header.headerSize == size && header.messageSize == size)
            return true;
        context.ReportViolation(ViolationKind::BadMessage, std::string(name) + " has messageHeaderSize " +
                                                               std::to_string(header.headerSize) +
                                                               " and messageSize " +
                                                               std::to_string(header.messageSize) +
                                                               ", expected " + std::to_string(size));
        return false;
    };
    const auto sendState = [&](const SimProperty& property)
    { SendReply(context, BuildPropertyStateReply(property)); };

    std::uint32_t id = 0;
    switch (header.messageType)
    {
    case kDcGetPropList:
        expect(16, "GetPropList");
        break;
    case kDcGetPropDesc:
    case kDcGetPropState:
    case kDcRestorePropValue:
    case kDcRefreshProp:
        expect(20, "property request");
        id = reader.U32();
        break;
    case kDcSetPropValue:
        id = reader.U32();
        break;
    case kDcExecuteCmd:
        expect(28, "ExecuteCmd");
        break;
    default:
        return false;
    }
    RecordLocked(header.messageType, id);
    if (m_silent || m_ignoredIds.contains(id))
        return true;

    switch (header.messageType)
    {
    case kDcGetPropList:
        if (m_pushBeforeListReply && eventsEnabled)
        {
            for (const SimProperty& property : m_properties)
            {
                if (m_ignoredIds.contains(property.id))
                    continue;
                SendReply(context, BuildPropertyDescriptorReply(property));
                sendState(property);
            }
        }
        SendReply(context, BuildPropertyListReply(IdsLocked()));
        break;
    case kDcGetPropDesc:
    case kDcGetPropState:
        if (const SimProperty* property = FindLocked(id))
        {
            if (header.messageType == kDcGetPropDesc)
                SendReply(context, BuildPropertyDescriptorReply(*property));
            else
                sendState(*property);
        }
        else
        {
            SendCommonErrorTo(context, header, id);
        }
        break;
    case kDcSetPropValue:
        if (SetValueLocked(context, header, message))
            ++m_stats.setsApplied;
        else
            ++m_stats.setsRefused;
        break;
    case kDcRestorePropValue:
    case kDcRefreshProp:
    {
        const bool restore = header.messageType == kDcRestorePropValue;
        ++(restore ? m_stats.restores : m_stats.refreshes);
        if (id == kAllProperties)
        {
            for (SimProperty& property : m_properties)
            {
                if (restore)
                    RestoreLocked(property);
                sendState(property);
            }
        }
        else if (SimProperty* property = FindLocked(id))
        {
            if (restore)
                RestoreLocked(*property);
            sendState(*property);
        }
        else
        {
            SendCommonErrorTo(context, header, id);
        }
        break;
    }
    case kDcExecuteCmd:
    {
        ExecutedCommand command;
        command.command = reader.U32();
        command.subCommand = reader.U32();
        command.parameter = reader.U32();
        m_stats.commands.push_back(command);
        if (command.command == 1)
        {
            ++m_stats.shutterReleases;
            shutterHook = m_shutterHook;
        }
        break;
    }
    default:
        break;
    }
    m_changed.notify_all();
    return true;
}

// ------------------------------------------------------------- the handler

DeviceControlHandler::DeviceControlHandler(std::shared_ptr<DeviceControlModel> model)
    : m_model(std::move(model))
{
}

DeviceControlHandler::~DeviceControlHandler()
{
    if (m_attached)
        m_model->Detach(*this);
}

void DeviceControlHandler::OnOpen(ChannelContext& context)
{
    MessageChannelHandler::OnOpen(context);
    m_model->Attach(*this, context);
    m_attached = true;
}

void DeviceControlHandler::OnClose(ChannelContext& context)
{
    if (m_attached)
        m_model->Detach(*this);
    m_attached = false;
    MessageChannelHandler::OnClose(context);
}

ChannelHandlerFactory DeviceControlHandler::Factory(std::shared_ptr<DeviceControlModel> model)
{
    return [model](ChannelId) { return std::make_unique<DeviceControlHandler>(model); };
}

bool DeviceControlHandler::OnMessage(ChannelContext& context, const MessageHeader& header,
                                     std::span<const std::uint8_t> message)
{
    if (header.messageClass != kClassDeviceControl)
        return false;
    return m_model->HandleRequest(context, header, message, EventsEnabled());
}

} // namespace Q7::Sim
