// Channel 2.0 device-control messages (class 0x66): the requests the agent
// writes (list, descriptor and state requests, set, restore, refresh,
// execute) and the three replies it reads (property list, descriptor, state),
// plus the reading of a camera's CommonError on this channel.
//
// Each message lists its fields once (Fields) and its size comes from its own
// one-row size table. The reply readers take the bytes behind the common
// header through a MessageSource, so that one decoder serves the agent (the
// channel) and the fuzz target (a buffer); every count, size and offset the
// camera sends is checked in 64 bits before anything is read for it, and
// nothing is read beyond the message's `messageSize`. Everything here is
// reentrant; nothing blocks except the reads of a blocking source.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Agents/DeviceControl/KPXDeviceControlRecords.h"
#include "Wire/KPXMessage.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX
{

class MessageSource;
class Value;

namespace DeviceControl
{

/// Message types of the device-control class.
enum EnumDeviceControlMessageType : std::uint8_t
{
    kDeviceControlMessage_GetPropList = 2,
    kDeviceControlMessage_GetPropDesc = 3,
    kDeviceControlMessage_GetPropState = 4,
    kDeviceControlMessage_SetPropValue = 5,
    kDeviceControlMessage_RestorePropValue = 6,
    kDeviceControlMessage_RefreshProp = 7,
    kDeviceControlMessage_ExecuteCmd = 10,
    kDeviceControlMessage_PropListReply = 130,
    kDeviceControlMessage_PropDescReply = 131,
    kDeviceControlMessage_PropStateReply = 132,
};

/// Commands of ExecuteCmd that this side names; the agent passes any number.
enum EnumDeviceControlCommand : std::uint32_t
{
    kCommand_ShutterRelease = 1,
    kCommand_Two = 2,
};

/// The largest value a SetPropValue carries (its size is a u16 on the wire).
inline constexpr std::uint64_t kMaxSetValueSize = 0xFFFF;

// ---------------------------------------------------------------------------
// Size selectors: one one-row table each (1.0), the same size as default, so
// the sizes do not change with the version.

std::uint16_t GetGetPropListMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetGetPropDescMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetGetPropStateMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetSetPropValueMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetRestorePropValueMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetRefreshPropMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetExecuteCmdMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetPropertyListMessageHeaderSize(ProtocolVersion version) noexcept;
std::uint16_t GetPropertyDescriptorMessageHeaderSize(ProtocolVersion version) noexcept;
std::uint16_t GetPropertyStateMessageHeaderSize(ProtocolVersion version) noexcept;

// ---------------------------------------------------------------------------
// Requests.

/// GetPropList (type 2): the common header alone, 16 bytes.
struct GetPropListMessage
{
    static constexpr std::size_t kEncodedSize = 16;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DeviceControl, kDeviceControlMessage_GetPropList, 16, 16, 0};

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header);
    }
};

/// The requests that name one property (GetPropDesc, GetPropState,
/// RestorePropValue, RefreshProp): 20 bytes, the id at 16.
struct PropertyIdMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{kMessageMagic, kMessageClass_DeviceControl, 0, 20, 20, 0};
    std::uint32_t propertyId = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, propertyId);
    }
};

/// SetPropValue (type 5): 24 bytes, then the value's bytes; `messageSize` is
/// 24 + `valueSize`.
struct SetPropValueMessage
{
    static constexpr std::size_t kEncodedSize = 24;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DeviceControl, kDeviceControlMessage_SetPropValue, 24, 24, 0};
    std::uint32_t propertyId = 0;
    std::uint16_t valueSize = 0;
    std::uint8_t valueType = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, propertyId, valueSize, valueType, Padding<1>{});
    }
};

/// ExecuteCmd (type 10): 28 bytes.
struct ExecuteCmdMessage
{
    static constexpr std::size_t kEncodedSize = 28;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DeviceControl, kDeviceControlMessage_ExecuteCmd, 28, 28, 0};
    std::uint32_t command = 0;
    std::uint32_t subCommand = 0;
    std::uint32_t parameter = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, command, subCommand, parameter);
    }
};

/// Request makers. Each raises ModuleError 0x15E001D "KPX feature not
/// supported!" (plain) for a version below 1.0, and std::bad_alloc.
MessageBytes MakeGetPropListMessage(ProtocolVersion version);
MessageBytes MakeGetPropDescMessage(ProtocolVersion version, std::uint32_t propertyId);
MessageBytes MakeGetPropStateMessage(ProtocolVersion version, std::uint32_t propertyId);
MessageBytes MakeRestorePropValueMessage(ProtocolVersion version, std::uint32_t propertyId);
MessageBytes MakeRefreshPropMessage(ProtocolVersion version, std::uint32_t propertyId);
MessageBytes MakeExecuteCmdMessage(ProtocolVersion version, std::uint32_t command, std::uint32_t subCommand,
                                   std::uint32_t parameter);
/// Also raises ModuleError 0x650005 "KPX value is too large." (plain) when the
/// value's byte size does not fit in 16 bits.
MessageBytes MakeSetPropValueMessage(ProtocolVersion version, std::uint32_t propertyId, const Value& value);

// ---------------------------------------------------------------------------
// Replies.

/// The fixed part of the property-list reply (type 130): 20 bytes; the ids
/// (u32 each) follow it.
struct PropertyListMessageHeader
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DeviceControl, kDeviceControlMessage_PropListReply, 20, 20, 0};
    std::uint32_t propertyCount = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, propertyCount);
    }
};

/// Where a descriptor text lies in its message: `length` bytes from `offset`
/// (counted from the start of the message), without a terminating zero.
struct TextReference
{
    std::uint16_t length = 0;
    std::uint16_t offset = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(length, offset);
    }
};

/// The fixed part of the property-descriptor reply (type 131): 52 bytes; the
/// attributes follow it, the texts lie further on.
struct PropertyDescriptorMessageHeader
{
    static constexpr std::size_t kEncodedSize = 52;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DeviceControl, kDeviceControlMessage_PropDescReply, 52, 52, 0};
    std::uint32_t propertyId = 0;
    std::uint32_t flags = 0;
    std::uint8_t valueType = 0;
    std::uint8_t userLevel = 0;
    std::uint16_t attributeCount = 0;
    std::uint32_t displayIndex = 0;
    TextReference name;
    TextReference secondText;
    TextReference group;
    TextReference unit;
    TextReference description;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, propertyId, flags, valueType, userLevel, attributeCount, displayIndex, name, secondText,
           group, unit, description);
    }
};

/// The 8 bytes at the start of every descriptor attribute; `attributeSize`
/// counts them too. The value bytes, the value text and an optional extra word
/// follow.
struct PropertyAttributeHeader
{
    static constexpr std::size_t kEncodedSize = 8;

    std::uint16_t attributeSize = 0;
    std::uint8_t kind = 0;
    std::uint16_t valueSize = 0;
    std::uint8_t valueType = 0;
    std::uint8_t valueStringSize = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(attributeSize, kind, Padding<1>{}, valueSize, valueType, valueStringSize);
    }
};
static_assert(FieldListSize<PropertyAttributeHeader>() == PropertyAttributeHeader::kEncodedSize);

/// The fixed part of the property-state reply (type 132): 32 bytes; the value
/// bytes, the value text and an optional extra word follow it.
struct PropertyStateMessageHeader
{
    static constexpr std::size_t kEncodedSize = 32;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DeviceControl, kDeviceControlMessage_PropStateReply, 32, 32, 0};
    std::uint32_t propertyId = 0;
    std::uint32_t flags = 0;
    std::uint16_t valueSize = 0;
    std::uint8_t valueType = 0;
    std::uint8_t valueStringSize = 0;

    template <class Io>
    constexpr void Fields(Io& io)
    {
        io(header, propertyId, flags, valueSize, valueType, valueStringSize, Padding<4>{});
    }
};

/// Reply readers. Each reads the rest of one message whose common header (16
/// bytes, checked with CheckMessageHeader) was already read and names the
/// reply: first its fixed part as this side knows it for `version` (a shorter
/// camera header leaves the later fields 0, a longer one is skipped), then
/// exactly the `messageSize - messageHeaderSize` bytes behind it. Each returns
/// 0 with the output filled, or the source's failure result (1 aborted, 2
/// time-out, 3 not open, 4 not connected) at once, the output then undefined.
/// Malformed content raises ModuleError 0x650003 (logged with its detail);
/// every check is made before anything is read for it.

/// The property ids, in the camera's order (0s and duplicates kept). Raises
/// "KPX ch2 property list message." with "propertyCount (%u) is too large."
/// when 4 x `propertyCount` exceeds the bytes left (compared in 64 bits). The
/// ids are read in pieces as they arrive, never allocated ahead for a count.
std::uint32_t ReadPropertyListReply(const CommonMessageHeader& header, MessageSource& source,
                                    ProtocolVersion version, std::vector<std::uint32_t>& ids);

/// The descriptor as received: id, type, flags, display index (as sent), user
/// level, the five texts and the attributes; the value list and the default,
/// minimum and maximum are left empty (the cache fills them from the
/// attributes). `onHeader`, when given, is called with the fixed part before
/// the attributes are read. Raises "KPX ch2 property attribute." with "Message
/// size is too small.", "attributeSize (%u) is too large." (also for a size
/// below 8), "valueSize (%u) is invalid." (beyond its attribute, or below the
/// size of its value type) or "valueStringSize (%u) is too large."; and "KPX
/// ch2 property descriptor." with "string offset (%u) too small." for a text
/// starting before the end of the attributes, "string offset (%u) too large."
/// for one ending beyond `messageSize`.
std::uint32_t
ReadPropertyDescriptorReply(const CommonMessageHeader& header, MessageSource& source, ProtocolVersion version,
                            PropertyDescriptor& descriptor,
                            const std::function<void(const PropertyDescriptorMessageHeader&)>& onHeader = {});

/// The state: id, the header's value type (also when no value follows), flags,
/// the value (type 0 and empty when `valueSize` is 0), its text and extra word.
/// `onHeader` as above. Raises "KPX ch2 property." with "valueSize (%u) is
/// invalid." (beyond the message, or below the size of its value type) or
/// "valueStringSize (%u) is too large.".
std::uint32_t
ReadPropertyStateReply(const CommonMessageHeader& header, MessageSource& source, ProtocolVersion version,
                       PropertyState& state,
                       const std::function<void(const PropertyStateMessageHeader&)>& onHeader = {});

} // namespace DeviceControl
} // namespace Q7::KPX
