// KPX messages: the framing that rides on an open channel's byte stream.
//
// A message is a 16-byte common header, the message's fixed part (together
// `messageHeaderSize` bytes) and `messageSize - messageHeaderSize` bytes of
// variable data. The fixed size of each message may depend on the channel's
// negotiated protocol version and is picked from a small size table.
//
// This file holds the common header and its check, the message classes, the
// size-table mechanism with the common and image-enumeration tables, the
// version floor of the message makers, the EnableEvents and CommonError
// messages, and the generic pieces every message codec uses: decoding a fixed
// part that the camera may send shorter or longer than this side knows it, and
// checking a variable length read from the wire. Everything here is pure (no
// I/O, no threads); all functions are reentrant.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Wire/KPXByteCursor.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX
{

/// First four bytes of every message (11 22 33 44 on the wire).
inline constexpr std::uint32_t kMessageMagic = 0x44332211;
/// Size of `CommonMessageHeader` on the wire.
inline constexpr std::uint16_t kCommonMessageHeaderSize = 16;
/// The lowest message protocol version for which messages can be built.
inline constexpr ProtocolVersion kMinMessageProtocolVersion{1, 0};

/// Message classes (`messageClass`), one per channel's agent.
enum EnumMessageClass : std::uint8_t
{
    kMessageClass_Common = 0x01,
    kMessageClass_DataTransfer = 0x02,
    kMessageClass_Enumeration = 0x64,
    kMessageClass_DeviceProgramming = 0x65,
    kMessageClass_DeviceControl = 0x66,
    kMessageClass_ImageEnumeration = 0x67,
    kMessageClass_ImageTransfer = 0x68,
    kMessageClass_LiveView = 0x69,
    kMessageClass_Development = 0xFF,
};

/// Bit 7 of `messageType`: the message is the reply to the request type in the
/// low bits.
inline constexpr std::uint8_t kMessageType_ReplyBit = 0x80;
/// `messageType` of an error message, in every class.
inline constexpr std::uint8_t kMessageType_Error = 0xFF;

/// Message types of the common class.
enum EnumCommonMessageType : std::uint8_t
{
    kCommonMessage_EnableEvents = 0x01,
    kCommonMessage_Error = 0xFF,
};

/// An outgoing or received message: all its bytes, common header first.
using MessageBytes = std::vector<std::uint8_t>;

/// The header at the start of every message.
struct CommonMessageHeader
{
    static constexpr std::size_t kEncodedSize = kCommonMessageHeaderSize;

    std::uint32_t magic = kMessageMagic;
    std::uint8_t messageClass = 0;
    std::uint8_t messageType = 0;
    std::uint16_t messageHeaderSize = kCommonMessageHeaderSize;
    std::uint32_t messageSize = kCommonMessageHeaderSize;
    std::uint32_t reserved = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(magic, messageClass, messageType, messageHeaderSize, messageSize, reserved);
    }

    /// Writes the 16 header bytes (WriteFields).
    void Encode(ByteWriter& writer) const noexcept { WriteFields(*this, writer); }
    /// Reads the 16 header bytes (ReadFields).
    void Decode(ByteReader& reader) noexcept { ReadFields(*this, reader); }

    friend constexpr bool operator==(const CommonMessageHeader&,
                                     const CommonMessageHeader&) noexcept = default;
};

/// Reads the 16 header bytes. Empty when fewer are given; the fields are not
/// checked (see CheckMessageHeader).
std::optional<CommonMessageHeader> DecodeMessageHeader(std::span<const std::uint8_t> bytes) noexcept;

/// The check every receive loop makes on a header it read, before anything
/// else is read: `messageHeaderSize` at least 16, then `messageSize` at least
/// `messageHeaderSize`. Raises ModuleError 0x650003 (plain, not logged) with
/// `headerSizeTooSmallText` or `messageSizeTooSmallText` as its context (for
/// example "KPX ch2 message header size too small." and "KPX ch2 message size
/// too small."). The magic is not checked.
void CheckMessageHeader(const CommonMessageHeader& header, const wchar_t* headerSizeTooSmallText,
                        const wchar_t* messageSizeTooSmallText);

/// One row of a size table: from this version on, the message's fixed size.
struct MessageSizeRow
{
    ProtocolVersion version;
    std::uint16_t size = 0;
};

/// Picks a message's fixed size for `version`: the last row (rows ascend by
/// version) whose version is not above it; `defaultSize` (the message's size
/// at 1.0) when every row is above it.
std::uint16_t SelectMessageSize(std::span<const MessageSizeRow> table, std::uint16_t defaultSize,
                                ProtocolVersion version) noexcept;

/// The version floor of every message maker: raises ModuleError 0x15E001D
/// "KPX feature not supported!" (plain) for a version below 1.0.
void CheckMessageVersion(ProtocolVersion version);

/// Size selectors of the common class (28 and 20 at every version).
std::uint16_t GetCommonErrorMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetEnableEventsMessageSize(ProtocolVersion version) noexcept;

/// Size selectors of the image-enumeration class: the fixed sizes of its six
/// reply headers and its seven requests.
std::uint16_t GetImageListMessageHeaderSize(ProtocolVersion version) noexcept;
std::uint16_t GetBasicImageInfoMessageHeaderSize(ProtocolVersion version) noexcept;
std::uint16_t GetMetadataMessageHeaderSize(ProtocolVersion version) noexcept;
std::uint16_t GetImageBufferMessageHeaderSize(ProtocolVersion version) noexcept;
std::uint16_t GetCapabilitiesMessageHeaderSize(ProtocolVersion version) noexcept;
std::uint16_t GetSetSubscriptionsMessageHeaderSize(ProtocolVersion version) noexcept;
std::uint16_t GetGetImageListMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetBasicImageInfoMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetGetMetadataMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetGetImageBufferMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetEditImageMetadataMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetGetCapabilitiesMessageSize(ProtocolVersion version) noexcept;
std::uint16_t GetSetSubscriptionMessageSize(ProtocolVersion version) noexcept;

/// A message's fixed part as this side knows it: the common header as the
/// first member, the encoded size of the whole fixed part, and one field list
/// (see FieldWriter) from which both its encoder and its decoder come.
template <typename T>
concept FixedMessagePart = FieldRecord<T> && requires(T message)
{
    {
        T::kEncodedSize
        } -> std::convertible_to<std::size_t>;
    {
        message.header
        } -> std::convertible_to<CommonMessageHeader>;
};

namespace Detail
{
/// True when a record's field list is `constexpr`, so that it can be counted
/// at compile time.
template <typename Record>
concept ConstantFieldList = requires
{
    typename std::integral_constant<std::size_t, FieldListSize<Record>()>;
};
} // namespace Detail

/// Fails the build when a message's `constexpr` field list does not take
/// exactly `kEncodedSize` bytes (a field forgotten or of the wrong width).
template <FixedMessagePart Message>
constexpr void CheckFieldListSize() noexcept
{
    if constexpr (Detail::ConstantFieldList<Message>)
        static_assert(FieldListSize<Message>() == Message::kEncodedSize,
                      "a message's field list must take kEncodedSize bytes");
}

/// Writes a fixed part through its field list.
template <FixedMessagePart Message>
void WriteMessageFields(const Message& message, ByteWriter& writer) noexcept
{
    CheckFieldListSize<Message>();
    WriteFields(message, writer);
}

/// Reads a fixed part through its field list.
template <FixedMessagePart Message>
void ReadMessageFields(Message& message, ByteReader& reader) noexcept
{
    CheckFieldListSize<Message>();
    ReadFields(message, reader);
}

/// Decodes a received fixed part over pre-filled defaults, as the camera may
/// send it shorter or longer than this side's struct: the first
/// min(received bytes, received `messageHeaderSize`, struct size) bytes come
/// from `received` (never fewer than the 16 header bytes), the rest keep the
/// values of `defaults`, and bytes beyond the struct are ignored. A field cut
/// in the middle takes its low bytes from the wire and its high bytes from the
/// default, exactly as the camera's shorter layout means. `received` may be
/// just the fixed part or the whole message. Raises ModuleError 0x650005
/// (plain) "KPX message truncated." when fewer than 16 bytes are given.
template <FixedMessagePart Message>
Message DecodeFixedPart(std::span<const std::uint8_t> received, const Message& defaults);

/// Encodes a message: the first `messageHeaderSize` bytes of its fixed part
/// (header fields as given; zeros where the header size exceeds the struct),
/// then the variable bytes. The caller sets both header sizes. Raises only
/// std::bad_alloc.
template <FixedMessagePart Message>
MessageBytes EncodeMessage(const Message& message, std::span<const std::uint8_t> variablePart = {});

/// The raising shape of every check of a variable length against the bytes
/// left in its message: ModuleError 0x650003 with `context` (for example "KPX
/// ch1 data block message."), logged with the detail `detailFormat` filled
/// with the length (for example "blockSize (%u) is too large."). Does nothing
/// when `length` <= `bytesLeft`.
void CheckVariableLength(std::uint64_t length, std::uint64_t bytesLeft, const wchar_t* context,
                         const wchar_t* detailFormat);

/// A whole received message split at its header sizes.
struct MessageView
{
    CommonMessageHeader header;
    std::span<const std::uint8_t> fixedPart;    ///< the first `messageHeaderSize` bytes
    std::span<const std::uint8_t> variablePart; ///< `messageHeaderSize` up to `messageSize`
};

/// The first `length` bytes of a message's variable part, checked as
/// CheckVariableLength (same context, detail and error) before they are taken.
std::span<const std::uint8_t> TakeVariableBytes(const MessageView& view, std::uint64_t length,
                                                const wchar_t* context, const wchar_t* detailFormat);

/// Bytes of a narrow camera text as a view (no copy, no decoding).
std::string_view AsText(std::span<const std::uint8_t> bytes) noexcept;

/// Sets both header sizes of a message to its fixed size: a message that
/// carries no variable part until the caller adds one.
template <FixedMessagePart Message>
Message WithFixedSize(Message message, std::uint16_t fixedSize) noexcept
{
    message.header.messageHeaderSize = fixedSize;
    message.header.messageSize = fixedSize;
    return message;
}

/// Splits a whole message held in memory. Raises ModuleError (plain) 0x650005
/// "KPX message truncated." when fewer than 16 bytes or fewer than
/// `messageSize` bytes are given, and 0x650003 "KPX message header size too
/// small." / "KPX message size too small." as CheckMessageHeader. Bytes beyond
/// `messageSize` are not part of the message and are left out.
MessageView ParseMessage(std::span<const std::uint8_t> message);

/// EnableEvents (class 1, type 1): ask the camera to send, or stop sending,
/// event messages on this channel. 20 bytes at every version.
struct EnableEventsMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{kMessageMagic, kMessageClass_Common, kCommonMessage_EnableEvents, 20, 20, 0};
    std::uint8_t enable = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, enable, Padding<3>{});
    }
};

/// The pre-filled EnableEvents for a version (sizes from its table).
EnableEventsMessage MakeDefaultEnableEvents(ProtocolVersion version) noexcept;

/// Builds the EnableEvents message. Raises ModuleError 0x15E001D below 1.0.
MessageBytes MakeEnableEventsMessage(ProtocolVersion version, std::uint8_t enable);

/// Decodes a received EnableEvents fixed part (see DecodeFixedPart).
EnableEventsMessage DecodeEnableEvents(std::span<const std::uint8_t> received, ProtocolVersion version);

/// CommonError (class 1, type 0xFF): the camera's or this side's report that a
/// message could not be handled, followed by an optional narrow error text of
/// `errorStringSize` bytes (not terminated).
struct CommonErrorMessage
{
    static constexpr std::size_t kEncodedSize = 28;

    CommonMessageHeader header{kMessageMagic, kMessageClass_Common, kCommonMessage_Error, 28, 28, 0};
    std::uint32_t errorId = 0; ///< logged as "%u:%u": top 8 bits, low 24 bits
    std::uint8_t sourceClass = 0;
    std::uint8_t sourceType = 0;
    std::uint16_t reserved22 = 0;
    std::uint16_t errorStringSize = 0;
    std::uint16_t reserved26 = 28; ///< 28 when this side sends it; receivers do not use it

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, errorId, sourceClass, sourceType, reserved22, errorStringSize, reserved26);
    }
};

/// The pre-filled CommonError for a version.
CommonErrorMessage MakeDefaultCommonError(ProtocolVersion version) noexcept;

/// Builds the CommonError that answers `offending`: `errorId`, the offending
/// message's class and type, no text. Raises ModuleError 0x15E001D below 1.0.
MessageBytes MakeCommonErrorMessage(ProtocolVersion version, std::uint32_t errorId,
                                    const CommonMessageHeader& offending);

/// Decodes a received CommonError fixed part (see DecodeFixedPart).
CommonErrorMessage DecodeCommonError(std::span<const std::uint8_t> received, ProtocolVersion version);

/// A parsed CommonError with its text.
struct CommonErrorView
{
    CommonErrorMessage message;
    std::string_view text; ///< the error text's bytes, inside the parsed buffer
};

/// Parses a whole CommonError held in memory: ParseMessage, the fixed part,
/// then the text that follows the fixed part. An `errorStringSize` larger than
/// the variable part raises ModuleError 0x650003 with `context`, logged with
/// "errorStringSize (%u) is too large."; the other failures are those of
/// ParseMessage.
CommonErrorView ParseCommonErrorMessage(std::span<const std::uint8_t> message, ProtocolVersion version,
                                        const wchar_t* context);

// ---------------------------------------------------------------------------
// Template definitions.

namespace Detail
{
/// Raises ModuleError 0x650005 "KPX message truncated." (plain).
[[noreturn]] void ThrowMessageTruncated();
} // namespace Detail

template <FixedMessagePart Message>
Message DecodeFixedPart(std::span<const std::uint8_t> received, const Message& defaults)
{
    const std::optional<CommonMessageHeader> header = DecodeMessageHeader(received);
    if (!header)
        Detail::ThrowMessageTruncated();
    std::array<std::uint8_t, Message::kEncodedSize> image{};
    ByteWriter writer(image);
    WriteMessageFields(defaults, writer);
    const std::size_t overlay = std::max<std::size_t>(
        kCommonMessageHeaderSize,
        std::min<std::size_t>({received.size(), header->messageHeaderSize, image.size()}));
    std::memcpy(image.data(), received.data(), overlay);
    Message message = defaults;
    ByteReader reader(image);
    ReadMessageFields(message, reader);
    return message;
}

template <FixedMessagePart Message>
MessageBytes EncodeMessage(const Message& message, std::span<const std::uint8_t> variablePart)
{
    std::array<std::uint8_t, Message::kEncodedSize> image{};
    ByteWriter imageWriter(image);
    WriteMessageFields(message, imageWriter);

    // The fixed part is as long as the header says for the message's version;
    // bytes a newer struct knows beyond it are not sent.
    const std::size_t fixedSize = message.header.messageHeaderSize;
    MessageBytes bytes(fixedSize + variablePart.size(), 0);
    std::memcpy(bytes.data(), image.data(), std::min(fixedSize, image.size()));
    if (!variablePart.empty())
        std::memcpy(bytes.data() + fixedSize, variablePart.data(), variablePart.size());
    return bytes;
}

} // namespace Q7::KPX
