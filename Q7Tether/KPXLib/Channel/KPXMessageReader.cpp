#include "Channel/KPXMessageReader.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalLogMsg.h"

#include <algorithm>
#include <string>
#include <utility>

namespace Q7::KPX
{

namespace
{
constexpr std::uint32_t kSkipPieceSize = 1024;
}

std::int32_t ReadMessageHeader(std::span<std::uint8_t> destination, std::uint32_t minHeaderSize,
                               const CommonMessageHeader& commonHeader, Channel& channel,
                               const WaitObjectList* abortObjects)
{
    const std::uint64_t destSize = destination.size();
    Q7_ASSERT(destSize >= minHeaderSize);
    Q7_ASSERT(destSize >= kCommonMessageHeaderSize);
    Q7_ASSERT(minHeaderSize >= kCommonMessageHeaderSize);
    // The header came from the camera: a bad one is an error, never an assertion.
    CheckMessageHeader(commonHeader, L"KPX message header size too small.", L"KPX message size too small.");

    ByteWriter writer(destination);
    commonHeader.Encode(writer);

    const std::uint32_t received = commonHeader.messageHeaderSize;
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(destSize, received));
    if (n != received)
    {
        Q7::Universal::LogWarning(
            L"Skipsize > 0 for CommonMessageHeader with messageClass = %hhu, messageType = %hhu\n",
            static_cast<unsigned>(commonHeader.messageClass),
            static_cast<unsigned>(commonHeader.messageType));
    }
    if (n > kCommonMessageHeaderSize)
    {
        const std::int32_t result =
            channel.Read(destination.data() + kCommonMessageHeaderSize, n - kCommonMessageHeaderSize,
                         abortObjects, nullptr, Q7::Platform::kInfinite);
        if (result != 0)
        {
            return result;
        }
    }
    return SkipMessageBytes(received - n, channel, abortObjects);
}

std::int32_t SkipMessageBytes(std::uint32_t count, Channel& channel, const WaitObjectList* abortObjects)
{
    std::array<std::uint8_t, kSkipPieceSize> scratch{};
    while (count > 0)
    {
        const std::uint32_t piece = std::min(count, kSkipPieceSize);
        const std::int32_t result =
            channel.Read(scratch.data(), piece, abortObjects, nullptr, Q7::Platform::kInfinite);
        if (result != 0)
        {
            return result;
        }
        count -= piece;
    }
    return 0;
}

MessageSource::~MessageSource() = default;

std::uint32_t MessageSource::ReadFixedPart(std::span<std::uint8_t> fixedPart,
                                           const CommonMessageHeader& header)
{
    const std::uint64_t received = header.messageHeaderSize;
    const std::uint64_t wanted = std::max<std::uint64_t>(kCommonMessageHeaderSize,
                                                         std::min<std::uint64_t>(fixedPart.size(), received));
    if (wanted != received)
    {
        Q7::Universal::LogWarning(
            L"Skipsize > 0 for CommonMessageHeader with messageClass = %hhu, messageType = %hhu\n",
            unsigned{header.messageClass}, unsigned{header.messageType});
    }
    if (wanted > kCommonMessageHeaderSize && fixedPart.size() >= wanted)
    {
        if (const std::uint32_t result =
                Read(fixedPart.subspan(kCommonMessageHeaderSize, wanted - kCommonMessageHeaderSize));
            result != 0)
            return result;
    }
    return received > wanted ? Skip(received - wanted) : 0;
}

std::uint32_t ReadMessageText(MessageSource& source, std::uint64_t count, std::string& text)
{
    std::string bytes(static_cast<std::size_t>(count), '\0');
    if (const std::uint32_t result =
            source.Read(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
        result != 0)
        return result;
    bytes.resize(std::min(bytes.size(), bytes.find('\0')));
    text = std::move(bytes);
    return 0;
}

std::uint32_t ReadCommonErrorMessage(const CommonMessageHeader& header, MessageSource& source,
                                     ProtocolVersion version, const wchar_t* context,
                                     ReceivedCommonError& error)
{
    error = ReceivedCommonError{};
    error.message = MakeDefaultCommonError(version);
    if (const std::uint32_t result = ReadMessageFixedPart(source, header, error.message); result != 0)
        return result;

    std::uint64_t remaining = std::uint64_t{header.messageSize} - header.messageHeaderSize;
    if (error.message.errorStringSize > 0)
    {
        CheckVariableLength(error.message.errorStringSize, remaining, context,
                            L"errorStringSize (%u) is too large.");
        if (const std::uint32_t result = ReadMessageText(source, error.message.errorStringSize, error.text);
            result != 0)
            return result;
        remaining -= error.message.errorStringSize;
    }
    return source.Skip(remaining);
}

std::uint32_t BufferMessageSource::Read(std::span<std::uint8_t> destination)
{
    if (destination.size() > m_reader.Remaining())
        return 4;
    m_reader.ReadBytes(destination);
    return 0;
}

std::uint32_t BufferMessageSource::Skip(std::uint64_t count)
{
    if (count > m_reader.Remaining())
        return 4;
    m_reader.Skip(count);
    return 0;
}

std::uint32_t ChannelMessageSource::Read(std::span<std::uint8_t> destination)
{
    if (destination.empty())
        return 0;
    std::uint32_t timeoutMs = Q7::Platform::kInfinite;
    if (m_deadlineMs)
    {
        const std::uint64_t now = Q7::Platform::GetTickCountMs();
        timeoutMs = now >= *m_deadlineMs ? 0
                                         : static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                               *m_deadlineMs - now, Q7::Platform::kInfinite - 1));
    }
    return static_cast<std::uint32_t>(m_channel.Read(destination.data(),
                                                     static_cast<std::uint32_t>(destination.size()),
                                                     m_abortObjects, nullptr, timeoutMs));
}

std::uint32_t ChannelMessageSource::Skip(std::uint64_t count)
{
    std::array<std::uint8_t, kSkipPieceSize> scratch{};
    while (count > 0)
    {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kSkipPieceSize));
        if (const std::uint32_t result = Read(std::span<std::uint8_t>(scratch.data(), piece)); result != 0)
            return result;
        count -= piece;
    }
    return 0;
}

std::uint32_t TimedChannelSource::Read(std::span<std::uint8_t> destination)
{
    while (!destination.empty())
    {
        const std::size_t piece = std::min(destination.size(), m_pieceSize);
        if (const std::int32_t result = m_channel.Read(destination.data(), static_cast<std::uint32_t>(piece),
                                                       &m_abortObjects, nullptr, m_timeoutMs);
            result != 0)
            return static_cast<std::uint32_t>(result);
        destination = destination.subspan(piece);
    }
    return 0;
}

std::uint32_t TimedChannelSource::Skip(std::uint64_t count)
{
    std::array<std::uint8_t, kSkipPieceSize> scratch{};
    while (count > 0)
    {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kSkipPieceSize));
        if (const std::uint32_t result = Read(std::span<std::uint8_t>(scratch.data(), piece)); result != 0)
            return result;
        count -= piece;
    }
    return 0;
}

} // namespace Q7::KPX
