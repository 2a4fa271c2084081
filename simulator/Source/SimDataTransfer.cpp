#include "SimDataTransfer.h"

namespace Q7::Sim
{

std::uint64_t ReadU64(ByteReader& r)
{
    const std::uint64_t low = r.U32();
    const std::uint64_t high = r.U32();
    return low | (high << 32);
}

void WriteU64(ByteWriter& w, std::uint64_t v)
{
    w.U32(static_cast<std::uint32_t>(v));
    w.U32(static_cast<std::uint32_t>(v >> 32));
}

std::vector<std::uint8_t> BuildDataIdMessage(std::uint8_t type, std::uint32_t dataId)
{
    auto msg = StartMessage(kClassDataTransfer, type, kDataIdMessageSize, kDataIdMessageSize);
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U32(dataId);
    return msg;
}

std::vector<std::uint8_t> BuildDataBegin(std::uint32_t dataType, std::uint32_t dataId, std::uint64_t maxSize,
                                         std::uint32_t timeout, std::string_view name)
{
    const std::size_t nameLength = name.empty() ? 0 : name.size() + 1;
    auto msg = StartMessage(kClassDataTransfer, kDataBegin, kDataBeginSize, kDataBeginSize + nameLength);
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U32(dataType);
    w.U32(dataId);
    WriteU64(w, 0);
    WriteU64(w, maxSize);
    w.U32(0); // the camera announces no block size of its own
    w.U32(timeout);
    w.U16(static_cast<std::uint16_t>(nameLength));
    w.U16(kDataBeginSize);
    w.U32(0);
    w.FixedText(name, nameLength);
    return msg;
}

std::vector<std::uint8_t> BuildDataBlockHeader(std::uint32_t dataId, std::uint32_t blockSize,
                                               std::uint32_t payloadSize)
{
    auto msg = StartMessage(kClassDataTransfer, kDataBlock, kDataBlockHeaderSize,
                            std::size_t{kDataBlockHeaderSize} + payloadSize);
    msg.resize(kDataBlockHeaderSize);
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U32(dataId);
    w.U32(0);
    w.U32(0);
    w.U32(kBlockTag);
    w.U32(blockSize);
    return msg;
}

std::vector<std::uint8_t> BuildDataBlock(std::uint32_t dataId, std::span<const std::uint8_t> data)
{
    const auto size = static_cast<std::uint32_t>(data.size());
    auto msg = BuildDataBlockHeader(dataId, size, size);
    msg.insert(msg.end(), data.begin(), data.end());
    return msg;
}

std::vector<std::uint8_t> BuildDataEnd(std::uint32_t dataId, std::uint64_t totalSize)
{
    auto msg = StartMessage(kClassDataTransfer, kDataEnd, kDataEndSize, kDataEndSize);
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U32(dataId);
    w.U32(0);
    WriteU64(w, totalSize);
    return msg;
}

std::vector<std::uint8_t> BuildDataSeek(std::uint32_t dataId, std::uint64_t offset)
{
    auto msg = StartMessage(kClassDataTransfer, kDataSeek, kDataSeekSize, kDataSeekSize);
    ByteWriter w(msg);
    w.Seek(kMessageHeaderSize);
    w.U32(dataId);
    w.U32(0);
    WriteU64(w, offset);
    return msg;
}

std::vector<std::uint8_t> BuildDataError(std::uint32_t errorId, std::uint8_t sourceClass,
                                         std::uint8_t sourceType, std::uint32_t dataId)
{
    auto msg =
        BuildErrorMessage(kClassDataTransfer, kDataErrorHeaderSize, errorId, sourceClass, sourceType, {});
    ByteWriter w(msg);
    w.Seek(kCommonErrorHeaderSize);
    w.U32(dataId);
    return msg;
}

} // namespace Q7::Sim
