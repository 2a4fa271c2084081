// Data-transfer messages (class 2) and the log request of the programming class.
//
// Bulk data (files, firmware and logs on channel 1.0, images on 4.1/4.2,
// live-view frames on 5.1/5.2) moves in transfers: DataBegin, DataBeginAck,
// DataBlock..., DataEnd, DataEndAck, or DataAbort, DataSeek and DataError.
// This file gives each message its fixed part, size selector, maker (for the
// messages this side sends), decoder of a received fixed part (shorter or
// longer fixed parts handled as DecodeFixedPart says) and, for the messages
// with a variable part, a parser of a whole message held in memory that
// checks the variable length against the message before it is used. The state
// machines that send and accept these messages belong to the agents. Pure
// codecs: no I/O, no threads; all functions are reentrant.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "Wire/KPXMessage.h"

namespace Q7::KPX
{

/// Message types of the data-transfer class.
enum EnumDataTransferMessageType : std::uint8_t
{
    kDataTransferMessage_DataBegin = 0x01,
    kDataTransferMessage_DataEnd = 0x02,
    kDataTransferMessage_DataAbort = 0x03,
    kDataTransferMessage_DataBlock = 0x04,
    kDataTransferMessage_DataSeek = 0x05,
    kDataTransferMessage_DataBeginAck = 0x81,
    kDataTransferMessage_DataEndAck = 0x82,
    kDataTransferMessage_DataError = 0xFF,
};

/// Message types of the device-programming class used with data transfers.
enum EnumDeviceProgrammingMessageType : std::uint8_t
{
    kDeviceProgrammingMessage_GetLog = 0x01,
    kDeviceProgrammingMessage_GetLogAck = 0x81,
};

/// Size selectors (rows {major, minor, size} and defaults; every message has
/// one row, so the size is the same at every version).
std::uint16_t GetDataBeginMessageSize(ProtocolVersion version) noexcept;    // 56
std::uint16_t GetDataBeginAckMessageSize(ProtocolVersion version) noexcept; // 24
std::uint16_t GetDataEndMessageSize(ProtocolVersion version) noexcept;      // 32
std::uint16_t GetDataEndAckMessageSize(ProtocolVersion version) noexcept;   // 24
std::uint16_t GetDataAbortMessageSize(ProtocolVersion version) noexcept;    // 24
std::uint16_t GetDataBlockMessageSize(ProtocolVersion version) noexcept;    // 36
std::uint16_t GetDataSeekMessageSize(ProtocolVersion version) noexcept;     // 32
std::uint16_t GetDataErrorMessageSize(ProtocolVersion version) noexcept;    // 32
std::uint16_t GetGetLogMessageSize(ProtocolVersion version) noexcept;       // 20 (row 2.0 -> 20)
std::uint16_t GetGetLogAckMessageSize(ProtocolVersion version) noexcept;    // 28 (row 2.0 -> 28)

/// DataBegin (2/1): starts a transfer. The name (narrow, with its terminating
/// zero, `nameLength` bytes) follows the fixed part.
struct DataBeginMessage
{
    static constexpr std::size_t kEncodedSize = 56;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DataTransfer, kDataTransferMessage_DataBegin, 56, 56, 0};
    std::uint32_t dataType = 0;
    std::uint32_t dataId = 0;
    std::uint64_t reserved24 = 0;
    std::uint64_t maxDataSize = 0;
    std::uint32_t dataAttributes = 0;
    std::uint32_t timeout = 0xFFFFFFFF; ///< offset 44; sent as 0xFFFFFFFF (none)
    std::uint16_t nameLength = 0;       ///< includes the terminating zero; 0 without a name
    std::uint16_t nameOffset = 56;
    std::uint32_t reserved52 = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, dataType, dataId, reserved24, maxDataSize, dataAttributes, timeout, nameLength, nameOffset,
           reserved52);
    }
};

/// DataBlock (2/4): `blockSize` bytes of data follow the fixed part.
struct DataBlockMessage
{
    static constexpr std::size_t kEncodedSize = 36;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DataTransfer, kDataTransferMessage_DataBlock, 36, 36, 0};
    std::uint32_t dataId = 0;
    std::uint32_t reserved20 = 0;
    std::uint32_t reserved24 = 0;
    std::uint32_t blockTag = 0xFFFFFFFF;
    std::uint32_t blockSize = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, dataId, reserved20, reserved24, blockTag, blockSize);
    }
};

/// DataEnd (2/2): ends a transfer of `totalSize` bytes.
struct DataEndMessage
{
    static constexpr std::size_t kEncodedSize = 32;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DataTransfer, kDataTransferMessage_DataEnd, 32, 32, 0};
    std::uint32_t dataId = 0;
    std::uint32_t reserved20 = 0;
    std::uint64_t totalSize = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, dataId, reserved20, totalSize);
    }
};

/// DataSeek (2/5), from the camera: resend from `offset`. The offset is the
/// u32 at 24; bytes 28 to 31 are not read as part of it, so a camera that
/// writes a u64 offset and one that writes a u32 followed by anything agree on
/// every offset a transfer's 32-bit sizes allow.
struct DataSeekMessage
{
    static constexpr std::size_t kEncodedSize = 32;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DataTransfer, kDataTransferMessage_DataSeek, 32, 32, 0};
    std::uint32_t dataId = 0;
    std::uint32_t reserved20 = 0;
    std::uint32_t offset = 0;
    std::uint32_t reserved28 = 0; ///< ignored on receipt

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, dataId, reserved20, offset, reserved28);
    }
};

/// DataAbort (2/3), DataBeginAck (2/0x81) and DataEndAck (2/0x82): a data id
/// and nothing else; the header's type tells them apart.
struct DataIdMessage
{
    static constexpr std::size_t kEncodedSize = 24;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DataTransfer, kDataTransferMessage_DataAbort, 24, 24, 0};
    std::uint32_t dataId = 0;
    std::uint32_t reserved20 = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, dataId, reserved20);
    }
};

/// DataError (2/0xFF): the CommonError layout with the transfer's data id; an
/// error text of `errorStringSize` bytes (narrow, not terminated) follows the
/// fixed part.
struct DataErrorMessage
{
    static constexpr std::size_t kEncodedSize = 32;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DataTransfer, kDataTransferMessage_DataError, 32, 32, 0};
    std::uint32_t errorId = 0; ///< logged as "%u:%u": top 8 bits, low 24 bits
    std::uint8_t sourceClass = 0;
    std::uint8_t sourceType = 0;
    std::uint16_t reserved22 = 0;
    std::uint16_t errorStringSize = 0;
    std::uint16_t errorStringOffset = 32;
    std::uint32_t dataId = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, errorId, sourceClass, sourceType, reserved22, errorStringSize, errorStringOffset, dataId);
    }
};

/// GetLog (0x65/1): asks for the camera's log, to be carried by transfer `dataId`.
struct GetLogMessage
{
    static constexpr std::size_t kEncodedSize = 20;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DeviceProgramming, kDeviceProgrammingMessage_GetLog, 20, 20, 0};
    std::uint32_t dataId = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, dataId);
    }
};

/// GetLogAck (0x65/0x81): the camera's answer to GetLog.
struct GetLogAckMessage
{
    static constexpr std::size_t kEncodedSize = 28;

    CommonMessageHeader header{
        kMessageMagic, kMessageClass_DeviceProgramming, kDeviceProgrammingMessage_GetLogAck, 28, 28, 0};
    std::uint32_t id = 0;
    std::uint32_t result = 0;
    std::uint32_t dataId = 0;

    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(header, id, result, dataId);
    }
};

// --- Pre-filled fixed parts for a version (header sizes from the tables, the
// senders' defaults in the other fields). Receivers decode over these.

DataBeginMessage MakeDefaultDataBegin(ProtocolVersion version) noexcept;
DataBlockMessage MakeDefaultDataBlock(ProtocolVersion version) noexcept;
DataEndMessage MakeDefaultDataEnd(ProtocolVersion version) noexcept;
DataSeekMessage MakeDefaultDataSeek(ProtocolVersion version) noexcept;
/// `type` is one of DataAbort, DataBeginAck, DataEndAck (each 24 bytes).
DataIdMessage MakeDefaultDataIdMessage(ProtocolVersion version, std::uint8_t type) noexcept;
DataErrorMessage MakeDefaultDataError(ProtocolVersion version) noexcept;
GetLogMessage MakeDefaultGetLog(ProtocolVersion version) noexcept;
GetLogAckMessage MakeDefaultGetLogAck(ProtocolVersion version) noexcept;

/// Fills the DataBegin fixed part: class 2, type 1, sizes for the version,
/// `dataType`, `dataId`, 0xFFFFFFFF at 44, `nameOffset` 56. The caller sets
/// `nameLength`, `maxDataSize` and `dataAttributes` and adds the name length to
/// `messageSize`.
DataBeginMessage BuildDataBeginHeader(ProtocolVersion version, std::uint32_t dataType,
                                      std::uint32_t dataId) noexcept;

/// Fills the DataError fixed part: class 2, type 0xFF, sizes for the version,
/// `errorId`, `dataId`, `errorStringOffset` 32. The caller sets the source
/// class and type.
DataErrorMessage BuildDataErrorHeader(ProtocolVersion version, std::uint32_t dataId,
                                      std::uint32_t errorId) noexcept;

// --- Makers: whole messages for the version. Each raises ModuleError
// 0x15E001D "KPX feature not supported!" (plain) below 1.0.

/// DataBegin with `name` (narrow bytes without a zero; the zero is added, and
/// an empty name is sent as no name). Raises ModuleError 0x650005 (plain) when
/// the name does not fit the u16 `nameLength`.
MessageBytes MakeDataBeginMessage(ProtocolVersion version, std::uint32_t dataType, std::uint32_t dataId,
                                  std::uint64_t maxDataSize, std::uint32_t dataAttributes,
                                  std::string_view name);
MessageBytes MakeDataBeginAckMessage(ProtocolVersion version, std::uint32_t dataId);
MessageBytes MakeDataEndMessage(ProtocolVersion version, std::uint32_t dataId, std::uint64_t totalSize);
MessageBytes MakeDataEndAckMessage(ProtocolVersion version, std::uint32_t dataId);
MessageBytes MakeDataAbortMessage(ProtocolVersion version, std::uint32_t dataId);
/// DataBlock carrying `data`. Raises ModuleError 0x650005 (plain) when the
/// message would not fit the u32 `messageSize`.
MessageBytes MakeDataBlockMessage(ProtocolVersion version, std::uint32_t dataId,
                                  std::span<const std::uint8_t> data);
/// The fixed part of a DataBlock that carries `blockSize` bytes, written to
/// the start of `out` (the data goes right behind it, so one buffer holds the
/// whole message); answers the fixed part's size for the version (36). Raises
/// ModuleError 0x650005 (plain) when the message would not fit the u32
/// `messageSize` or `out` is shorter than the fixed part.
std::size_t BuildDataBlockHeader(std::span<std::uint8_t> out, ProtocolVersion version, std::uint32_t dataId,
                                 std::uint32_t blockSize);
/// DataError without a text, answering `received` (its class and type).
MessageBytes MakeDataErrorMessage(ProtocolVersion version, std::uint32_t dataId, std::uint32_t errorId,
                                  const CommonMessageHeader& received);
MessageBytes MakeGetLogMessage(ProtocolVersion version, std::uint32_t dataId);

// --- Decoders of received fixed parts (see DecodeFixedPart: raise ModuleError
// 0x650005 when fewer than 16 bytes are given).

DataBeginMessage DecodeDataBegin(std::span<const std::uint8_t> received, ProtocolVersion version);
DataBlockMessage DecodeDataBlock(std::span<const std::uint8_t> received, ProtocolVersion version);
DataEndMessage DecodeDataEnd(std::span<const std::uint8_t> received, ProtocolVersion version);
DataSeekMessage DecodeDataSeek(std::span<const std::uint8_t> received, ProtocolVersion version);
/// DataAbort, DataBeginAck or DataEndAck; the received header keeps its type.
DataIdMessage DecodeDataIdMessage(std::span<const std::uint8_t> received, ProtocolVersion version);
DataErrorMessage DecodeDataError(std::span<const std::uint8_t> received, ProtocolVersion version);
GetLogMessage DecodeGetLog(std::span<const std::uint8_t> received, ProtocolVersion version);
GetLogAckMessage DecodeGetLogAck(std::span<const std::uint8_t> received, ProtocolVersion version);

// --- Parsers of whole messages held in memory. Each splits the message with
// ParseMessage (and raises what it raises), decodes the fixed part and checks
// the variable length read from the wire against the bytes that follow the
// fixed part, raising ModuleError 0x650003 with `context`, logged with the
// detail named, when it does not fit. The views point into `message`.

struct DataBeginView
{
    DataBeginMessage message;
    std::string_view name; ///< the name without its terminating zero (cut at the first zero)
};
/// Detail "detailStringSize (%u) is too large." for a `nameLength` beyond the message.
DataBeginView ParseDataBeginMessage(std::span<const std::uint8_t> message, ProtocolVersion version,
                                    const wchar_t* context);

struct DataBlockView
{
    DataBlockMessage message;
    std::span<const std::uint8_t> data;
};
/// Detail "blockSize (%u) is too large." for a `blockSize` beyond the message.
DataBlockView ParseDataBlockMessage(std::span<const std::uint8_t> message, ProtocolVersion version,
                                    const wchar_t* context);

/// Checks a received DataBlock against the transfer it writes into, as every
/// receiver of blocks does: `blockSize` must fit in the `bytesLeft` behind the
/// fixed part (else ModuleError 0x650003 with `context`, logged with
/// "blockSize (%u) is too large.") and the block, written at `position`, must
/// end at or before `limit` (the announced size, or less when the destination
/// is smaller). The end is summed in 64 bits, so a camera cannot make it wrap
/// below the limit. Answers false, after logging "<prefix> data block msg
/// received with invalid block size=%u (pos=%u).", when the block does not fit
/// the limit: the receiver then answers DataError 0x02000004 (block beyond
/// size) and aborts.
bool CheckDataBlockFits(const DataBlockMessage& message, std::uint64_t bytesLeft, std::uint64_t position,
                        std::uint64_t limit, const wchar_t* prefix, const wchar_t* context);

struct DataErrorView
{
    DataErrorMessage message;
    std::string_view text;
};
/// Detail "errorStringSize (%u) is too large." for an `errorStringSize` beyond the message.
DataErrorView ParseDataErrorMessage(std::span<const std::uint8_t> message, ProtocolVersion version,
                                    const wchar_t* context);

} // namespace Q7::KPX
