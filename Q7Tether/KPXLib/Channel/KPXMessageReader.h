// Reading KPX messages from an open channel: the fixed part of a message whose
// common header was already read, skipping bytes of a message, and the byte
// sources through which reply decoders read a message either from a channel or
// from memory (so that one decoder serves an agent and a fuzz target).
//
// Every agent's receive loop reads the 16-byte common header with
// Channel::Read, checks it (CheckMessageHeader), picks the struct for its class
// and type, pre-fills it with its defaults for the negotiated version and lets
// ReadMessageHeader read the rest of the camera's fixed part into it. A camera
// whose fixed part is shorter than the struct leaves the newer fields at their
// defaults; a longer one has its extra bytes skipped.
#pragma once

#include "Channel/KPXChannel.h"
#include "Transport/KPXTransport.h"
#include "Wire/KPXMessage.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

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
    WriteMessageFields(destination, writer);
    const std::int32_t result =
        ReadMessageHeader(image, destination.header.messageHeaderSize, commonHeader, channel, abortObjects);
    if (result == 0)
    {
        Message message = destination;
        ByteReader reader(image);
        ReadMessageFields(message, reader);
        destination = message;
    }
    return result;
}

/// Reads and discards count bytes of the channel's stream, in pieces of at most
/// 1024 bytes (no time limit, the caller's abort objects). Answers 0, or the
/// first non-zero read result. Raises the channel's Read errors. Blocks.
std::int32_t SkipMessageBytes(std::uint32_t count, Channel& channel, const WaitObjectList* abortObjects);

/// Where a reply decoder takes the bytes after a message's common header from.
/// Read and Skip return 0 on success or the failure result of the underlying
/// read (1 aborted, 2 time-out, 3 not open, 4 not connected); a failed read
/// leaves the stream at an unknown position.
class MessageSource
{
public:
    virtual ~MessageSource();

    /// Reads exactly `destination.size()` bytes.
    virtual std::uint32_t Read(std::span<std::uint8_t> destination) = 0;
    /// Reads and discards `count` bytes.
    virtual std::uint32_t Skip(std::uint64_t count) = 0;

    /// Reads the rest of a fixed part as the header reader of every agent does:
    /// `fixedPart` holds the 16 common-header bytes and the defaults of the
    /// rest; its first min(fixedPart size, `header.messageHeaderSize`) bytes
    /// are completed from the stream and the camera's surplus header bytes are
    /// skipped, with the warning "Skipsize > 0 for CommonMessageHeader with
    /// messageClass = %hhu, messageType = %hhu\n". `header` must have passed
    /// CheckReplyHeader.
    std::uint32_t ReadFixedPart(std::span<std::uint8_t> fixedPart, const CommonMessageHeader& header);
};

/// MessageSource::ReadFixedPart into a message struct pre-filled with its
/// defaults for the negotiated version: on success `destination` holds
/// `header` and the camera's fields over the defaults (fields the camera did
/// not send keep them); otherwise it is left as it was. Answers 0 or the
/// source's failure result. `header` must have passed CheckMessageHeader.
/// Blocks as the source does.
template <FixedMessagePart Message>
std::uint32_t ReadMessageFixedPart(MessageSource& source, const CommonMessageHeader& header,
                                   Message& destination)
{
    std::array<std::uint8_t, Message::kEncodedSize> image{};
    ByteWriter writer(image);
    WriteMessageFields(destination, writer);
    ByteWriter headerWriter(image);
    header.Encode(headerWriter);
    if (const std::uint32_t result = source.ReadFixedPart(image, header); result != 0)
        return result;
    Message message = destination;
    ByteReader reader(image);
    ReadMessageFields(message, reader);
    destination = message;
    return 0;
}

/// Reads `count` bytes of a camera's narrow text from the source; the text
/// ends at its first zero byte (all of them when there is none). Answers 0 or
/// the source's failure result (then `text` is left as it was).
std::uint32_t ReadMessageText(MessageSource& source, std::uint64_t count, std::string& text);

/// A camera's CommonError (class 1, type 0xFF) with its text.
struct ReceivedCommonError
{
    CommonErrorMessage message;
    std::string text; ///< up to its first zero byte
};

/// Reads the rest of a CommonError whose common header (checked with
/// CheckMessageHeader) was read: its fixed part as this side knows it for
/// `version`, the error text and whatever else the message holds, so that
/// exactly `messageSize` bytes are taken. Answers 0 with `error` filled, or
/// the source's failure result at once (`error` then undefined). Raises
/// ModuleError 0x650003 with `context` (the channel's, for example "KPX ch3
/// common error message."), logged with "errorStringSize (%u) is too large.",
/// when the text does not fit in the message; nothing is read for it then.
/// Blocks as the source does.
std::uint32_t ReadCommonErrorMessage(const CommonMessageHeader& header, MessageSource& source,
                                     ProtocolVersion version, const wchar_t* context,
                                     ReceivedCommonError& error);

/// A MessageSource over the bytes of one message held in memory, starting
/// right after its common header. A read beyond the bytes given fails with 4
/// (the bytes never arrive). Reentrant.
class BufferMessageSource final : public MessageSource
{
public:
    /// `afterHeader`: the message's bytes behind its common header.
    explicit BufferMessageSource(std::span<const std::uint8_t> afterHeader) noexcept : m_reader(afterHeader)
    {
    }

    std::uint32_t Read(std::span<std::uint8_t> destination) override;
    std::uint32_t Skip(std::uint64_t count) override;

    /// Bytes not consumed yet.
    [[nodiscard]] std::size_t Remaining() const noexcept { return m_reader.Remaining(); }

private:
    ByteReader m_reader;
};

/// A MessageSource over a channel's stream: reads with the caller's abort
/// objects and, when a deadline is given, every read of one message shares it,
/// so a camera that sends part of a message and then stalls cannot hold the
/// reader longer than that (the read then fails with 2). Thread-bound to the
/// channel's reading thread.
class ChannelMessageSource final : public MessageSource
{
public:
    /// `deadlineMs`: a GetTickCountMs value after which reads time out; none
    /// waits without limit.
    ChannelMessageSource(Channel& channel, const WaitObjectList* abortObjects,
                         std::optional<std::uint64_t> deadlineMs = std::nullopt) noexcept
        : m_channel(channel), m_abortObjects(abortObjects), m_deadlineMs(deadlineMs)
    {
    }

    std::uint32_t Read(std::span<std::uint8_t> destination) override;
    std::uint32_t Skip(std::uint64_t count) override;

private:
    Channel& m_channel;
    const WaitObjectList* m_abortObjects;
    std::optional<std::uint64_t> m_deadlineMs;
};

/// A MessageSource over a channel's stream for the rest of a message whose
/// header arrived: each read of at most `pieceSize` bytes must complete within
/// `timeoutMs`, so that a camera that stalls in the middle of a message ends
/// the read (result 2) instead of holding the reader, however long the
/// message. The caller's abort objects end a read with 1. Thread-bound to the
/// channel's reading thread.
class TimedChannelSource final : public MessageSource
{
public:
    /// The largest read made with one time limit by default: 1 MiB.
    static constexpr std::size_t kDefaultPieceSize = 1024 * 1024;

    TimedChannelSource(Channel& channel, const WaitObjectList& abortObjects, std::uint32_t timeoutMs,
                       std::size_t pieceSize = kDefaultPieceSize) noexcept
        : m_channel(channel), m_abortObjects(abortObjects), m_timeoutMs(timeoutMs),
          m_pieceSize(pieceSize == 0 ? kDefaultPieceSize : pieceSize)
    {
    }

    std::uint32_t Read(std::span<std::uint8_t> destination) override;
    std::uint32_t Skip(std::uint64_t count) override;

private:
    Channel& m_channel;
    const WaitObjectList& m_abortObjects;
    std::uint32_t m_timeoutMs;
    std::size_t m_pieceSize;
};

} // namespace Q7::KPX
