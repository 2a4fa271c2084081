// The data-transfer messages (class 0x02) as the simulated camera writes and
// reads them, shared by every channel that moves data with them (1.0 files
// and logs, 4.1/4.2 images): message types and sizes, builders of the
// messages the camera sends and the 64-bit fields of their layouts.
#pragma once

#include "SimByteCursor.h"
#include "SimWire.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace Q7::Sim
{

// Message types of the data-transfer class (0x02).
inline constexpr std::uint8_t kDataBegin = 0x01;
inline constexpr std::uint8_t kDataEnd = 0x02;
inline constexpr std::uint8_t kDataAbort = 0x03;
inline constexpr std::uint8_t kDataBlock = 0x04;
inline constexpr std::uint8_t kDataSeek = 0x05;
inline constexpr std::uint8_t kDataBeginAck = 0x81;
inline constexpr std::uint8_t kDataEndAck = 0x82;
inline constexpr std::uint8_t kDataError = 0xFF;

inline constexpr std::size_t kDataBeginSize = 56;
inline constexpr std::size_t kDataBlockHeaderSize = 36;
inline constexpr std::size_t kDataEndSize = 32;
inline constexpr std::size_t kDataSeekSize = 32;
inline constexpr std::size_t kDataIdMessageSize = 24; // DataAbort, DataBeginAck, DataEndAck
inline constexpr std::size_t kDataErrorHeaderSize = 32;
// The tag a camera writes at offset 28 of its DataBlocks.
inline constexpr std::uint32_t kBlockTag = 0xFFFFFFFF;

// A u64 field, low word first. Reentrant.
std::uint64_t ReadU64(ByteReader& r);
void WriteU64(ByteWriter& w, std::uint64_t v);

// DataAbort, DataBeginAck or DataEndAck (by `type`) of a transfer. Reentrant.
std::vector<std::uint8_t> BuildDataIdMessage(std::uint8_t type, std::uint32_t dataId);
// DataBegin announcing `maxSize` bytes, with the time-out at 44 and the name
// (with its terminating zero; none when empty) behind the fixed part. Reentrant.
std::vector<std::uint8_t> BuildDataBegin(std::uint32_t dataType, std::uint32_t dataId, std::uint64_t maxSize,
                                         std::uint32_t timeout, std::string_view name);
// A whole DataBlock carrying `data`. Reentrant.
std::vector<std::uint8_t> BuildDataBlock(std::uint32_t dataId, std::span<const std::uint8_t> data);
// The fixed part of a DataBlock whose message carries `payloadSize` bytes and
// whose blockSize field says `blockSize` (the same for an honest camera): the
// payload is sent behind it on its own. Reentrant.
std::vector<std::uint8_t> BuildDataBlockHeader(std::uint32_t dataId, std::uint32_t blockSize,
                                               std::uint32_t payloadSize);
// DataEnd of `totalSize` bytes. Reentrant.
std::vector<std::uint8_t> BuildDataEnd(std::uint32_t dataId, std::uint64_t totalSize);
// DataSeek: the camera sends on from `offset`. Reentrant.
std::vector<std::uint8_t> BuildDataSeek(std::uint32_t dataId, std::uint64_t offset);
// DataError without a text about a message of `sourceClass`/`sourceType`. Reentrant.
std::vector<std::uint8_t> BuildDataError(std::uint32_t errorId, std::uint8_t sourceClass,
                                         std::uint8_t sourceType, std::uint32_t dataId);

} // namespace Q7::Sim
