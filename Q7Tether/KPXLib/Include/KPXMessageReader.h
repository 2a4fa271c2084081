// Reading KPX messages from an open channel: the fixed part of a message whose
// common header was already read, and skipping bytes of a message.
//
// Every agent's receive loop reads the 16-byte common header with
// Channel::Read, checks it (CheckMessageHeader), picks the struct for its class
// and type, pre-fills it with its defaults for the negotiated version and lets
// ReadMessageHeader read the rest of the camera's fixed part into it. A camera
// whose fixed part is shorter than the struct leaves the newer fields at their
// defaults; a longer one has its extra bytes skipped.
#pragma once

#include "KPXChannel.h"
#include "KPXMessage.h"
#include "KPXTransport.h"

#include <array>
#include <cstdint>
#include <span>

namespace Q7::KPX
{

/// Reads the fixed part of a message into `destination`, which holds the wire
/// image of this side's struct pre-filled with its defaults (the struct's size
/// for the negotiated version in its `messageHeaderSize`, `minHeaderSize`).
/// The 16 bytes of `commonHeader` are written to its start; then
/// n = min(destination size, received `messageHeaderSize`) bytes are completed
/// from the channel (no time limit, the caller's abort objects) and the camera's
/// header bytes beyond n are skipped, with the warning "Skipsize > 0 for
/// CommonMessageHeader with messageClass = %hhu, messageType = %hhu\n". Bytes of
/// `destination` beyond n keep their defaults.
/// Answers the channel's read result (0 done, 1 aborted, 3 not open, 4 not
/// connected). Raises ModuleError 0x650003 (plain) when the received header
/// fails CheckMessageHeader, and the channel's Read errors. A destination smaller
/// than 16 bytes or than `minHeaderSize` is a programming error (assertion).
/// Blocks. Thread-safe as Channel::Read.
std::int32_t ReadMessageHeader(std::span<std::uint8_t> destination, std::uint32_t minHeaderSize,
                               const CommonMessageHeader& commonHeader, Channel& channel,
                               const WaitObjectList* abortObjects);

/// ReadMessageHeader into a message struct pre-filled with its defaults: on
/// success `destination` holds the camera's fields over the defaults;
/// otherwise it is left as it was.
template <FixedMessagePart Message>
std::int32_t ReadMessageHeader(Message& destination, const CommonMessageHeader& commonHeader,
                               Channel& channel, const WaitObjectList* abortObjects)
{
    std::array<std::uint8_t, Message::kEncodedSize> image{};
    ByteWriter writer(image);
    destination.Encode(writer);
    const std::int32_t result =
        ReadMessageHeader(image, destination.header.messageHeaderSize, commonHeader, channel, abortObjects);
    if (result == 0)
    {
        Message message = destination;
        ByteReader reader(image);
        message.Decode(reader);
        destination = message;
    }
    return result;
}

/// Reads and discards count bytes of the channel's stream, in pieces of at most
/// 1024 bytes (no time limit, the caller's abort objects). Answers 0, or the
/// first non-zero read result. Raises the channel's Read errors. Blocks.
std::int32_t SkipMessageBytes(std::uint32_t count, Channel& channel, const WaitObjectList* abortObjects);

} // namespace Q7::KPX
