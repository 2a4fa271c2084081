// Fuzzes the reading of channel 5.1's class-0x69 replies with input = the
// byte stream a camera could send: message after message, each read as the
// live-view agent reads it (header check, its fixed part for the negotiated
// version, the rest skipped) and turned into its record. The version is
// taken from the first input byte. A message read must have taken exactly its
// bytes; a record's ranges are ordered and its version-gated fields present
// exactly from their versions.
#include "FuzzEntry.h"

#include "Agents/ImageTransfer/KPXLiveViewMessages.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"

#include <cmath>
#include <span>

using namespace Q7::KPX;
using namespace Q7::KPX::LiveView;

namespace
{

template <typename Message>
bool ReadWhole(BufferMessageSource& source, const CommonMessageHeader& header, Message& message)
{
    return ReadMessageFixedPart(source, header, message) == 0 &&
           source.Skip(std::uint64_t{header.messageSize} - header.messageHeaderSize) == 0;
}

bool Ordered(float low, float high)
{
    return std::isnan(low) || std::isnan(high) || low <= high;
}

bool ReadOne(const CommonMessageHeader& header, BufferMessageSource& source, ProtocolVersion version)
{
    if (header.messageClass != kMessageClass_LiveView)
        return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
    switch (header.messageType)
    {
    case kLiveViewMessage_CapabilitiesReply:
    {
        CapabilitiesMessage message = MakeDefaultCapabilitiesReply(version);
        if (!ReadWhole(source, header, message))
            return false;
        const Capabilities record = ToCapabilities(message, version);
        TAVRIN_FUZZ_CHECK(Ordered(record.qualityMin, record.qualityMax));
        TAVRIN_FUZZ_CHECK(Ordered(record.lightnessMin, record.lightnessMax));
        TAVRIN_FUZZ_CHECK(record.jpeg == ((record.formatMask & kFormatMask_Jpeg) != 0));
        TAVRIN_FUZZ_CHECK(record.minCompQuality.present == (version >= ProtocolVersion{1, 2}));
        return true;
    }
    case kLiveViewMessage_ConfigurationReply:
    {
        ConfigurationMessage message = MakeDefaultConfigurationReply(version);
        if (!ReadWhole(source, header, message))
            return false;
        const Configuration record = ToConfiguration(message, version);
        TAVRIN_FUZZ_CHECK(record.configID.present == (version >= ProtocolVersion{1, 1}));
        TAVRIN_FUZZ_CHECK(record.compQuality.present == (version >= ProtocolVersion{1, 2}));
        // What the camera sent goes back unchanged, within the version's size.
        const MessageBytes bytes = MakeSetConfigurationMessage(version, record);
        TAVRIN_FUZZ_CHECK(bytes.size() == GetConfigurationMessageSize(version));
        return true;
    }
    case kLiveViewMessage_ControlReply:
    {
        ControlMessage message = MakeDefaultControlReply(version);
        return ReadWhole(source, header, message);
    }
    case kLiveViewMessage_TimeReply:
    {
        TimeMessage message = MakeDefaultTimeReply(version);
        return ReadWhole(source, header, message);
    }
    default:
        return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const ProtocolVersion version{1, static_cast<std::uint8_t>(data[0] % 3)};
    std::span<const std::uint8_t> stream(data + 1, size - 1);
    while (stream.size() >= kCommonMessageHeaderSize)
    {
        const CommonMessageHeader header = *DecodeMessageHeader(stream);
        BufferMessageSource source(stream.subspan(kCommonMessageHeaderSize));
        try
        {
            CheckMessageHeader(header, L"KPX ch5 message header size too small.",
                               L"KPX ch5 message size too small.");
            if (!ReadOne(header, source, version))
                break;
        }
        catch (const Q7::Universal::UniversalError&)
        {
            break;
        }
        const std::size_t taken = stream.size() - kCommonMessageHeaderSize - source.Remaining();
        TAVRIN_FUZZ_CHECK(taken == std::uint64_t{header.messageSize} - kCommonMessageHeaderSize);
        stream = stream.subspan(kCommonMessageHeaderSize + taken);
    }
    return 0;
}
