// Packets a test camera sends, written byte by byte (not with the library's
// encoders), and small helpers to look at the packets the host sent.
#pragma once

#include "LogCapture.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXPacket.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace KpxTest
{

inline void PutU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void PutU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::uint16_t GetU16(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::uint32_t GetU32(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return std::uint32_t{bytes[offset]} | (std::uint32_t{bytes[offset + 1]} << 8) |
           (std::uint32_t{bytes[offset + 2]} << 16) | (std::uint32_t{bytes[offset + 3]} << 24);
}

// A packet of the given type: 16-byte header, payload, padding (all zero).
inline std::vector<std::uint8_t> MakePacket(std::uint8_t type, std::uint8_t channel, std::uint8_t subChannel,
                                            std::uint16_t payloadLength, std::uint8_t paddingLength,
                                            std::uint8_t tag = 0, std::uint8_t headerLength = 16)
{
    std::vector<std::uint8_t> bytes(std::size_t{headerLength} + payloadLength + paddingLength, 0);
    bytes[0] = 0xAA;
    bytes[1] = 0xBB;
    bytes[2] = 0xCC;
    bytes[3] = 0xDD;
    bytes[4] = type;
    bytes[5] = headerLength;
    bytes[6] = channel;
    bytes[7] = subChannel;
    PutU16(bytes, 8, payloadLength);
    bytes[10] = paddingLength;
    bytes[11] = tag;
    return bytes;
}

// The fields of an OpenReply a test camera may vary.
struct OpenReplyFields
{
    std::uint8_t status = 0;
    std::uint8_t major = 1;
    std::uint8_t minor = 0;
    std::uint32_t flags = 0;
    std::uint16_t maxPayloadLength = 0xFFFF;
    std::uint8_t channelProtocolVersion = 1;
    std::uint8_t alignment = 0;
    std::uint32_t primaryTimeout = 10000;
};

inline std::vector<std::uint8_t> MakeOpenReply(std::uint8_t channel, std::uint8_t subChannel,
                                               const OpenReplyFields& fields = {})
{
    std::vector<std::uint8_t> bytes = MakePacket(0x80, channel, subChannel, 50, 190);
    PutU32(bytes, 16 + 0, fields.flags);
    PutU16(bytes, 16 + 4, fields.maxPayloadLength);
    bytes[16 + 6] = fields.channelProtocolVersion;
    bytes[16 + 7] = fields.alignment;
    PutU32(bytes, 16 + 8, fields.primaryTimeout);
    PutU32(bytes, 16 + 12, 2000);
    bytes[16 + 16] = fields.major;
    bytes[16 + 17] = fields.minor;
    bytes[16 + 18] = fields.status;
    return bytes;
}

inline std::vector<std::uint8_t> MakeControl(std::uint8_t type, std::uint8_t channel, std::uint8_t subChannel)
{
    return MakePacket(type, channel, subChannel, 0, 240);
}

inline std::vector<std::uint8_t> MakeErrorReply(std::uint8_t channel, std::uint8_t subChannel,
                                                std::uint8_t code)
{
    std::vector<std::uint8_t> bytes = MakePacket(0xFF, channel, subChannel, 2, 238);
    bytes[16] = code;
    return bytes;
}

inline std::vector<std::uint8_t> MakeData(std::uint8_t channel, std::uint8_t subChannel,
                                          const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> bytes =
        MakePacket(0x02, channel, subChannel, static_cast<std::uint16_t>(payload.size()), 0);
    std::copy(payload.begin(), payload.end(), bytes.begin() + 16);
    return bytes;
}

inline std::vector<std::uint8_t> MakePing(std::uint8_t channel, std::uint8_t subChannel, std::uint8_t echo)
{
    std::vector<std::uint8_t> bytes = MakePacket(0x03, channel, subChannel, 8, 0);
    bytes[16] = echo;
    return bytes;
}

// The type byte of a packet the host sent.
inline std::uint8_t TypeOf(const std::vector<std::uint8_t>& packet)
{
    return packet.at(4);
}

// The full code of a ModuleError raised by f; 0 when it raises none, 1 for
// another error.
template <typename F>
std::uint32_t RaisedCode(F&& f)
{
    try
    {
        f();
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        return error.GetFullCode();
    }
    catch (...)
    {
        return 1;
    }
    return 0;
}

// The channel tests read the log through the shared capture.
using TestSupport::LogCapture;

} // namespace KpxTest
