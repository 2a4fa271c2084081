#include "KPXTransport.h"

#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"

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

uint32_t PipeInterface::ReadWithLookahead(void* buffer, uint32_t size, std::span<std::uint8_t> /*lookahead*/,
                                          uint32_t* lookaheadReceived, const WaitObjectList* abortObjects,
                                          uint32_t* transferred, uint32_t timeoutMs)
{
    if (lookaheadReceived != nullptr)
    {
        *lookaheadReceived = 0;
    }
    return Read(buffer, size, abortObjects, transferred, timeoutMs);
}

} // namespace Q7::KPX::Transport
