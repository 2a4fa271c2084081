#include "Transport/KPXTransport.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"

#include <algorithm>
#include <cstring>

namespace Q7::KPX::Transport
{

uint32_t PipeInterface::WriteGathered(std::span<const ConstByteSpan> pieces, std::span<std::uint8_t> scratch,
                                      const WaitObjectList* abortObjects, uint32_t* transferred,
                                      uint32_t timeoutMs)
{
    std::uint64_t total = 0;
    for (const ConstByteSpan piece : pieces)
    {
        total += piece.size();
    }
    if (total > scratch.size() || total > 0xFFFFFFFFu)
    {
        Q7_THROW_INTERNAL_ERROR(Q7::Universal::ModuleError(Q7::Universal::kError_InvalidParameter),
                                L"PipeInterface::WriteGathered: the pieces do not fit the scratch buffer.");
    }
    std::size_t offset = 0;
    for (const ConstByteSpan piece : pieces)
    {
        if (!piece.empty())
        {
            std::memcpy(scratch.data() + offset, piece.data(), piece.size());
            offset += piece.size();
        }
    }
    return Write(scratch.data(), static_cast<uint32_t>(total), abortObjects, transferred, timeoutMs);
}

bool PipeInterface::CanWriteAtOnce(uint32_t /*size*/)
{
    return false;
}

uint32_t PipeInterface::ReadScattered(std::span<const ByteSpan> pieces, uint32_t minimum,
                                      const WaitObjectList* abortObjects, uint32_t* transferred,
                                      uint32_t timeoutMs)
{
    const std::uint64_t start = Q7::Platform::GetTickCountMs();
    uint32_t left = minimum;
    for (const ByteSpan piece : pieces)
    {
        if (left == 0)
        {
            break;
        }
        uint32_t waitMs = timeoutMs;
        if (timeoutMs != Q7::Platform::kInfinite)
        {
            const std::uint64_t elapsed = Q7::Platform::GetTickCountMs() - start;
            waitMs = elapsed >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - elapsed);
        }
        const uint32_t size = std::min<uint32_t>(left, static_cast<uint32_t>(piece.size()));
        uint32_t moved = 0;
        const uint32_t result = Read(piece.data(), size, abortObjects, &moved, waitMs);
        if (transferred != nullptr)
        {
            *transferred += result == kPipeResult_Success ? size : moved;
        }
        if (result != kPipeResult_Success)
        {
            return result;
        }
        left -= size;
    }
    return kPipeResult_Success;
}

} // namespace Q7::KPX::Transport
