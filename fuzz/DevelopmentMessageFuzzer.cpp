// Fuzzes the receive side of channel 255.0 with input = the byte stream a
// camera could send on the channel: message after message, read as the
// development agent's receive thread reads them (header check, development
// messages with their payloads, a CommonError through the common reader,
// anything else skipped). A message read must have taken exactly its bytes and
// its payload must be the rest of the message, within the limit.
#include "FuzzEntry.h"

#include "Agents/Development/KPXDevelopment.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"

#include <span>
#include <vector>

using namespace Q7::KPX;

namespace
{

constexpr ProtocolVersion kVersion{1, 0};
constexpr std::uint64_t kPayloadLimit = 64 * 1024;

bool ReadOne(const CommonMessageHeader& header, BufferMessageSource& source)
{
    if (header.messageClass == kMessageClass_Common && header.messageType == kCommonMessage_Error)
    {
        ReceivedCommonError error;
        return ReadCommonErrorMessage(header, source, kVersion, L"KPX ch255 common error message.", error) ==
               0;
    }
    if (header.messageClass == kMessageClass_Development)
    {
        std::vector<std::uint8_t> payload;
        if (Development::ReadDevelopmentMessage(header, source, kVersion, kPayloadLimit, payload) != 0)
            return false;
        TAVRIN_FUZZ_CHECK(payload.size() == std::uint64_t{header.messageSize} - header.messageHeaderSize);
        TAVRIN_FUZZ_CHECK(payload.size() <= kPayloadLimit);
        return true;
    }
    return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> stream(data, size);
    while (stream.size() >= kCommonMessageHeaderSize)
    {
        const CommonMessageHeader header = *DecodeMessageHeader(stream);
        BufferMessageSource source(stream.subspan(kCommonMessageHeaderSize));
        try
        {
            CheckMessageHeader(header, L"KPX ch255 message header size too small.",
                               L"KPX ch255 message size too small.");
            if (!ReadOne(header, source))
                break;
        }
        catch (const Q7::Universal::UniversalError&)
        {
            break; // the receive error path: the agent reopens the channel
        }
        const std::size_t taken = stream.size() - kCommonMessageHeaderSize - source.Remaining();
        TAVRIN_FUZZ_CHECK(taken == std::uint64_t{header.messageSize} - kCommonMessageHeaderSize);
        stream = stream.subspan(kCommonMessageHeaderSize + taken);
    }
    return 0;
}
