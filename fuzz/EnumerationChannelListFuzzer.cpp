// Fuzzes the channel 0.0 channel-list decoder with input = a reply as a camera
// could send it: the whole-message decoder with its checks, and the streamed
// reader over the bytes behind the header as the agent reads them (where the
// bytes may end before the message does), then the dump of what was read.
#include "FuzzEntry.h"

#include "Agents/Enumeration/KPXEnumeration.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"

#include <span>

using namespace Q7::KPX;
using namespace Q7::KPX::Enumeration;

namespace
{

// Properties every decoded list has, whatever the bytes.
void CheckList(const ChannelList& list, const CommonMessageHeader& header)
{
    // Every entry takes at least 12 bytes of the message behind its header.
    TAVRIN_FUZZ_CHECK(list.size() * kChannelDescriptorFixedSize <=
                      std::uint64_t{header.messageSize} - header.messageHeaderSize);
    for (const auto& descriptor : list)
    {
        TAVRIN_FUZZ_CHECK(descriptor != nullptr);
        const bool usb = dynamic_cast<const UsbChannelDescriptor*>(descriptor.get()) != nullptr;
        const bool tcp = dynamic_cast<const TcpChannelDescriptor*>(descriptor.get()) != nullptr;
        TAVRIN_FUZZ_CHECK(usb == (descriptor->transportType == kTransportType_Usb));
        TAVRIN_FUZZ_CHECK(tcp == (descriptor->transportType == kTransportType_Tcp));
        TAVRIN_FUZZ_CHECK(descriptor->legacyMark == kLegacyMark_None ||
                          descriptor->legacyMark == kLegacyMark_Legacy);
        if (!usb && !tcp)
            TAVRIN_FUZZ_CHECK(descriptor->GetPipeId() == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> message(data, size);
    const auto header = DecodeMessageHeader(message);
    try
    {
        const ChannelList list = DecodeChannelListMessage(message);
        TAVRIN_FUZZ_CHECK(header.has_value());
        CheckList(list, *header);
        LogChannelList(list);
    }
    catch (const Q7::Universal::UniversalError&)
    {
        // The documented refusal of a malformed reply.
    }

    if (!header)
        return 0;
    try
    {
        CheckReplyHeader(*header);
        BufferMessageSource source(message.subspan(kCommonMessageHeaderSize));
        ChannelList list;
        if (ReadChannelListReply(*header, source, list) == 0)
        {
            CheckList(list, *header);
            TAVRIN_FUZZ_CHECK(size - source.Remaining() == header->messageSize);
        }
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }
    return 0;
}
