#include "KPXMessageReader.h"

#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalLogMsg.h"

#include <algorithm>

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

} // namespace Q7::KPX
