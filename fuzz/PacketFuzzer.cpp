// Fuzzes the channel packet decoders with a whole packet as a camera could send
// it: the header, both header checks, the payload split and every control
// payload reader, then the replies and the re-assembly built from what was read.
#include "FuzzEntry.h"

#include "Wire/KPXPacket.h"

#include <algorithm>
#include <span>
#include <vector>

using namespace Q7::KPX;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    const auto header = DecodePacketHeader(bytes);
    if (!header)
        return 0;

    (void)IsValidPipePacketHeader(*header);
    (void)GetPacketTypeName(header->packetType);
    (void)GetPacketLengthRange(header->packetType);
    const EnumChannelPacketCheck check = CheckChannelPacketHeader(*header);
    (void)GetErrorReplyCodeForCheck(check);

    const auto packet = ParsePacket(bytes);
    if (!packet)
        return 0;
    TAVRIN_FUZZ_CHECK(packet->payload.data() >= data);
    TAVRIN_FUZZ_CHECK(packet->payload.data() + packet->payload.size() <= data + size);

    if (const auto open = DecodeOpenPayload(packet->payload))
    {
        (void)open->OpenStatus();
        if (IsValidAlignment(open->alignment))
            (void)ComputeMaxPayloadLength(open->maxPayloadLength, open->alignment);
        const std::vector<std::uint8_t> request = BuildOpenRequestPacket(
            header->channelNumber, header->subChannelNumber, (open->flags & kOpenFlag_DebugMode) != 0,
            open->messageProtocol, open->clientIdentity);
        const auto requestView = ParsePacket(request);
        TAVRIN_FUZZ_CHECK(requestView &&
                          DecodeOpenPayload(requestView->payload)->clientIdentity == open->clientIdentity);
    }
    if (const auto error = DecodeErrorReplyPayload(packet->payload))
        (void)GetErrorReplyText(error->code);
    TAVRIN_FUZZ_CHECK(BuildPingReplyPacket(header->channelNumber, header->subChannelNumber,
                                           GetPingEchoByte(packet->payload))
                          .size() == kPingPacketLength);
    TAVRIN_FUZZ_CHECK(BuildErrorReplyPacket(kErrorReply_InvalidPacketHeader, *header).size() ==
                      kControlPacketLength);

    // Re-send the payload on a channel with the alignment taken from the packet:
    // the result must be aligned, fit a packet buffer and read back the same.
    CommonPacketHeader resend = packet->header;
    resend.headerLength = static_cast<std::uint8_t>(kPacketHeaderSize);
    const std::uint8_t exponent = static_cast<std::uint8_t>(header->tag & 0x0F);
    (void)AlignPacketHeader(resend, exponent);
    const std::uint32_t mask = (1U << std::min<unsigned>(exponent, kMaxAlignmentExponent)) - 1U;
    TAVRIN_FUZZ_CHECK((resend.PacketLength() & mask) == 0);
    std::vector<std::uint8_t> buffer(kMaxPacketLength);
    const std::size_t written = AssemblePacket(buffer, resend, packet->payload);
    TAVRIN_FUZZ_CHECK(written == resend.PacketLength());
    buffer.resize(written);
    const auto reread = ParsePacket(buffer);
    TAVRIN_FUZZ_CHECK(reread && reread->header == resend);
    TAVRIN_FUZZ_CHECK(std::equal(reread->payload.begin(), reread->payload.end(), packet->payload.begin(),
                                 packet->payload.end()));
    return 0;
}
