// Fuzzes the channel 0.0 device-information decoder with input = a reply as a
// camera could send it: the whole-message decoder with its checks, and the
// streamed reader over the bytes behind the header as the agent reads them
// (where the bytes may end before the message does).
#include "FuzzEntry.h"

#include "Agents/Enumeration/KPXEnumeration.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"

#include <span>

using namespace Q7::KPX;
using namespace Q7::KPX::Enumeration;

namespace
{

// Properties every decoded record has, whatever the bytes.
void CheckRecord(const DeviceInfo& info)
{
    TAVRIN_FUZZ_CHECK(info.deviceType <= 0xFF);
    TAVRIN_FUZZ_CHECK(info.firmwareVersion.text.size() <= 31);
    TAVRIN_FUZZ_CHECK(info.manufacturerName.size() <= 31);
    TAVRIN_FUZZ_CHECK(info.modelName.size() <= 31);
    TAVRIN_FUZZ_CHECK(info.mountInterfaceName.size() <= 31);
    TAVRIN_FUZZ_CHECK(info.serialNumber.size() <= 31);
    TAVRIN_FUZZ_CHECK(info.additionalDescription.size() <= 79);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> message(data, size);
    try
    {
        CheckRecord(DecodeDeviceInfoMessage(message));
    }
    catch (const Q7::Universal::UniversalError&)
    {
        // The documented refusal of a malformed reply.
    }

    const auto header = DecodeMessageHeader(message);
    if (!header)
        return 0;
    try
    {
        CheckReplyHeader(*header);
        BufferMessageSource source(message.subspan(kCommonMessageHeaderSize));
        DeviceInfo info;
        if (ReadDeviceInfoReply(*header, source, info) == 0)
        {
            CheckRecord(info);
            // Exactly the message was consumed, never more than was given.
            TAVRIN_FUZZ_CHECK(size - source.Remaining() == header->messageSize);
        }
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    return 0;
}
