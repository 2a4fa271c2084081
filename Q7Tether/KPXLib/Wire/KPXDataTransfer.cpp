#include "Wire/KPXDataTransfer.h"

#include <cstring>
#include <limits>

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

namespace Q7::KPX
{
namespace
{

using Universal::ModuleError;

constexpr MessageSizeRow kDataBeginSizes[] = {{{1, 0}, 56}};
constexpr MessageSizeRow kDataBeginAckSizes[] = {{{1, 0}, 24}};
constexpr MessageSizeRow kDataEndSizes[] = {{{1, 0}, 32}};
constexpr MessageSizeRow kDataEndAckSizes[] = {{{1, 0}, 24}};
constexpr MessageSizeRow kDataAbortSizes[] = {{{1, 0}, 24}};
constexpr MessageSizeRow kDataBlockSizes[] = {{{1, 0}, 36}};
constexpr MessageSizeRow kDataSeekSizes[] = {{{1, 0}, 32}};
constexpr MessageSizeRow kDataErrorSizes[] = {{{1, 0}, 32}};
constexpr MessageSizeRow kGetLogSizes[] = {{{2, 0}, 20}};
constexpr MessageSizeRow kGetLogAckSizes[] = {{{2, 0}, 28}};

} // namespace

std::uint16_t GetDataBeginMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDataBeginSizes, 56, version);
}

std::uint16_t GetDataBeginAckMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDataBeginAckSizes, 24, version);
}

std::uint16_t GetDataEndMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDataEndSizes, 32, version);
}

std::uint16_t GetDataEndAckMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDataEndAckSizes, 24, version);
}

std::uint16_t GetDataAbortMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDataAbortSizes, 24, version);
}

std::uint16_t GetDataBlockMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDataBlockSizes, 36, version);
}

std::uint16_t GetDataSeekMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDataSeekSizes, 32, version);
}

std::uint16_t GetDataErrorMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDataErrorSizes, 32, version);
}

std::uint16_t GetGetLogMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetLogSizes, 20, version);
}

std::uint16_t GetGetLogAckMessageSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kGetLogAckSizes, 28, version);
}

// --- Defaults and builders --------------------------------------------------

DataBeginMessage MakeDefaultDataBegin(ProtocolVersion version) noexcept
{
    return WithFixedSize(DataBeginMessage{}, GetDataBeginMessageSize(version));
}

DataBlockMessage MakeDefaultDataBlock(ProtocolVersion version) noexcept
{
    return WithFixedSize(DataBlockMessage{}, GetDataBlockMessageSize(version));
}

DataEndMessage MakeDefaultDataEnd(ProtocolVersion version) noexcept
{
    return WithFixedSize(DataEndMessage{}, GetDataEndMessageSize(version));
}

DataSeekMessage MakeDefaultDataSeek(ProtocolVersion version) noexcept
{
    return WithFixedSize(DataSeekMessage{}, GetDataSeekMessageSize(version));
}

DataIdMessage MakeDefaultDataIdMessage(ProtocolVersion version, std::uint8_t type) noexcept
{
    DataIdMessage message;
    message.header.messageType = type;
    switch (type)
    {
    case kDataTransferMessage_DataBeginAck:
        return WithFixedSize(message, GetDataBeginAckMessageSize(version));
    case kDataTransferMessage_DataEndAck:
        return WithFixedSize(message, GetDataEndAckMessageSize(version));
    default:
        return WithFixedSize(message, GetDataAbortMessageSize(version));
    }
}

DataErrorMessage MakeDefaultDataError(ProtocolVersion version) noexcept
{
    return WithFixedSize(DataErrorMessage{}, GetDataErrorMessageSize(version));
}

GetLogMessage MakeDefaultGetLog(ProtocolVersion version) noexcept
{
    return WithFixedSize(GetLogMessage{}, GetGetLogMessageSize(version));
}

GetLogAckMessage MakeDefaultGetLogAck(ProtocolVersion version) noexcept
{
    return WithFixedSize(GetLogAckMessage{}, GetGetLogAckMessageSize(version));
}

DataBeginMessage BuildDataBeginHeader(ProtocolVersion version, std::uint32_t dataType,
                                      std::uint32_t dataId) noexcept
{
    DataBeginMessage message = MakeDefaultDataBegin(version);
    message.dataType = dataType;
    message.dataId = dataId;
    message.timeout = 0xFFFFFFFF;
    message.nameOffset = 56;
    return message;
}

DataErrorMessage BuildDataErrorHeader(ProtocolVersion version, std::uint32_t dataId,
                                      std::uint32_t errorId) noexcept
{
    DataErrorMessage message = MakeDefaultDataError(version);
    message.dataId = dataId;
    message.errorId = errorId;
    message.errorStringOffset = 32;
    return message;
}

// --- Makers -----------------------------------------------------------------

MessageBytes MakeDataBeginMessage(ProtocolVersion version, std::uint32_t dataType, std::uint32_t dataId,
                                  std::uint64_t maxDataSize, std::uint32_t dataAttributes,
                                  std::string_view name)
{
    CheckMessageVersion(version);
    if (name.size() >= std::numeric_limits<std::uint16_t>::max())
        throw ModuleError(Universal::kError_InvalidSize, L"KPX data begin name too long.");

    DataBeginMessage message = BuildDataBeginHeader(version, dataType, dataId);
    message.maxDataSize = maxDataSize;
    message.dataAttributes = dataAttributes;
    message.nameLength = name.empty() ? 0 : static_cast<std::uint16_t>(name.size() + 1);
    message.header.messageSize = message.header.messageHeaderSize + message.nameLength;

    MessageBytes nameBytes(message.nameLength, 0);
    if (!name.empty())
        std::memcpy(nameBytes.data(), name.data(), name.size());
    return EncodeMessage(message, nameBytes);
}

MessageBytes MakeDataBeginAckMessage(ProtocolVersion version, std::uint32_t dataId)
{
    CheckMessageVersion(version);
    DataIdMessage message = MakeDefaultDataIdMessage(version, kDataTransferMessage_DataBeginAck);
    message.dataId = dataId;
    return EncodeMessage(message);
}

MessageBytes MakeDataEndMessage(ProtocolVersion version, std::uint32_t dataId, std::uint64_t totalSize)
{
    CheckMessageVersion(version);
    DataEndMessage message = MakeDefaultDataEnd(version);
    message.dataId = dataId;
    message.totalSize = totalSize;
    return EncodeMessage(message);
}

MessageBytes MakeDataEndAckMessage(ProtocolVersion version, std::uint32_t dataId)
{
    CheckMessageVersion(version);
    DataIdMessage message = MakeDefaultDataIdMessage(version, kDataTransferMessage_DataEndAck);
    message.dataId = dataId;
    return EncodeMessage(message);
}

MessageBytes MakeDataAbortMessage(ProtocolVersion version, std::uint32_t dataId)
{
    CheckMessageVersion(version);
    DataIdMessage message = MakeDefaultDataIdMessage(version, kDataTransferMessage_DataAbort);
    message.dataId = dataId;
    return EncodeMessage(message);
}

MessageBytes MakeDataBlockMessage(ProtocolVersion version, std::uint32_t dataId,
                                  std::span<const std::uint8_t> data)
{
    CheckMessageVersion(version);
    DataBlockMessage message = MakeDefaultDataBlock(version);
    const std::uint64_t total = std::uint64_t{message.header.messageHeaderSize} + data.size();
    if (total > std::numeric_limits<std::uint32_t>::max())
        throw ModuleError(Universal::kError_InvalidSize, L"KPX data block too large.");
    message.dataId = dataId;
    message.blockTag = 0xFFFFFFFF;
    message.blockSize = static_cast<std::uint32_t>(data.size());
    message.header.messageSize = static_cast<std::uint32_t>(total);
    return EncodeMessage(message, data);
}

std::size_t BuildDataBlockHeader(std::span<std::uint8_t> out, ProtocolVersion version, std::uint32_t dataId,
                                 std::uint32_t blockSize)
{
    CheckMessageVersion(version);
    DataBlockMessage message = MakeDefaultDataBlock(version);
    const std::uint64_t total = std::uint64_t{message.header.messageHeaderSize} + blockSize;
    if (total > std::numeric_limits<std::uint32_t>::max())
        throw ModuleError(Universal::kError_InvalidSize, L"KPX data block too large.");
    if (out.size() < message.header.messageHeaderSize)
        throw ModuleError(Universal::kError_InvalidSize, L"KPX data block header does not fit.");
    message.dataId = dataId;
    message.blockTag = 0xFFFFFFFF;
    message.blockSize = blockSize;
    message.header.messageSize = static_cast<std::uint32_t>(total);
    const MessageBytes header = EncodeMessage(message);
    std::memcpy(out.data(), header.data(), header.size());
    return header.size();
}

MessageBytes MakeDataErrorMessage(ProtocolVersion version, std::uint32_t dataId, std::uint32_t errorId,
                                  const CommonMessageHeader& received)
{
    CheckMessageVersion(version);
    DataErrorMessage message = BuildDataErrorHeader(version, dataId, errorId);
    message.sourceClass = received.messageClass;
    message.sourceType = received.messageType;
    return EncodeMessage(message);
}

MessageBytes MakeGetLogMessage(ProtocolVersion version, std::uint32_t dataId)
{
    CheckMessageVersion(version);
    GetLogMessage message = MakeDefaultGetLog(version);
    message.dataId = dataId;
    return EncodeMessage(message);
}

// --- Decoders ---------------------------------------------------------------

DataBeginMessage DecodeDataBegin(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultDataBegin(version));
}

DataBlockMessage DecodeDataBlock(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultDataBlock(version));
}

DataEndMessage DecodeDataEnd(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultDataEnd(version));
}

DataSeekMessage DecodeDataSeek(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultDataSeek(version));
}

DataIdMessage DecodeDataIdMessage(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    const std::optional<CommonMessageHeader> header = DecodeMessageHeader(received);
    const std::uint8_t type =
        header ? header->messageType : static_cast<std::uint8_t>(kDataTransferMessage_DataAbort);
    return DecodeFixedPart(received, MakeDefaultDataIdMessage(version, type));
}

DataErrorMessage DecodeDataError(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultDataError(version));
}

GetLogMessage DecodeGetLog(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultGetLog(version));
}

GetLogAckMessage DecodeGetLogAck(std::span<const std::uint8_t> received, ProtocolVersion version)
{
    return DecodeFixedPart(received, MakeDefaultGetLogAck(version));
}

// --- Parsers of whole messages ----------------------------------------------

DataBeginView ParseDataBeginMessage(std::span<const std::uint8_t> message, ProtocolVersion version,
                                    const wchar_t* context)
{
    const MessageView view = ParseMessage(message);
    DataBeginView result;
    result.message = DecodeDataBegin(view.fixedPart, version);
    // The name follows the fixed part, as every receiver reads it; `nameOffset`
    // is not trusted to point anywhere else.
    std::string_view name = AsText(
        TakeVariableBytes(view, result.message.nameLength, context, L"detailStringSize (%u) is too large."));
    const std::size_t zero = name.find('\0');
    if (zero != std::string_view::npos)
        name = name.substr(0, zero);
    result.name = name;
    return result;
}

DataBlockView ParseDataBlockMessage(std::span<const std::uint8_t> message, ProtocolVersion version,
                                    const wchar_t* context)
{
    const MessageView view = ParseMessage(message);
    DataBlockView result;
    result.message = DecodeDataBlock(view.fixedPart, version);
    result.data = TakeVariableBytes(view, result.message.blockSize, context, L"blockSize (%u) is too large.");
    return result;
}

DataErrorView ParseDataErrorMessage(std::span<const std::uint8_t> message, ProtocolVersion version,
                                    const wchar_t* context)
{
    const MessageView view = ParseMessage(message);
    DataErrorView result;
    result.message = DecodeDataError(view.fixedPart, version);
    result.text = AsText(TakeVariableBytes(view, result.message.errorStringSize, context,
                                           L"errorStringSize (%u) is too large."));
    return result;
}

bool CheckDataBlockFits(const DataBlockMessage& message, std::uint64_t bytesLeft, std::uint64_t position,
                        std::uint64_t limit, const wchar_t* prefix, const wchar_t* context)
{
    CheckVariableLength(message.blockSize, bytesLeft, context, L"blockSize (%u) is too large.");
    if (position + message.blockSize <= limit)
        return true;
    Universal::LogErrorText(L"%ls data block msg received with invalid block size=%u (pos=%u).", prefix,
                            message.blockSize, static_cast<unsigned>(position));
    return false;
}

} // namespace Q7::KPX
