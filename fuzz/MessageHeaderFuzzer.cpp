// Fuzzes the message framing with input = two version bytes (major, minor)
// followed by a message as a camera could send it: the common header, the
// receive loop's header check, the split of a whole message, the fixed-part
// decoding over defaults, and the common-class messages.
#include "FuzzEntry.h"

#include "Q7UniversalError.h"
#include "Wire/KPXMessage.h"

#include <array>
#include <cstring>
#include <span>

using namespace Q7::KPX;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const ProtocolVersion version{data[0], data[1]};
    const std::span<const std::uint8_t> message(data + 2, size - 2);

    (void)GetCommonErrorMessageSize(version);
    (void)GetEnableEventsMessageSize(version);
    (void)GetImageListMessageHeaderSize(version);
    (void)GetGetImageBufferMessageSize(version);

    const auto header = DecodeMessageHeader(message);
    if (header)
    {
        // The header must read back to the same 16 bytes.
        std::array<std::uint8_t, kCommonMessageHeaderSize> encoded{};
        ByteWriter writer(encoded);
        header->Encode(writer);
        TAVRIN_FUZZ_CHECK(std::memcmp(encoded.data(), message.data(), encoded.size()) == 0);
    }

    try
    {
        if (header)
            CheckMessageHeader(*header, L"KPX fuzz message header size too small.",
                               L"KPX fuzz message size too small.");
        const MessageView view = ParseMessage(message);
        TAVRIN_FUZZ_CHECK(view.fixedPart.size() + view.variablePart.size() == view.header.messageSize);
        TAVRIN_FUZZ_CHECK(view.variablePart.data() + view.variablePart.size() <=
                          message.data() + message.size());

        const EnableEventsMessage events = DecodeEnableEvents(view.fixedPart, version);
        TAVRIN_FUZZ_CHECK(events.header == view.header);
        const CommonErrorView error =
            ParseCommonErrorMessage(message, version, L"KPX fuzz common error message.");
        TAVRIN_FUZZ_CHECK(error.text.size() == error.message.errorStringSize);

        CheckMessageVersion(version);
        (void)MakeEnableEventsMessage(version, events.enable);
        const MessageBytes answer = MakeCommonErrorMessage(version, error.message.errorId, view.header);
        TAVRIN_FUZZ_CHECK(ParseCommonErrorMessage(answer, version, L"answer").message.sourceType ==
                          view.header.messageType);
    }
    catch (const Q7::Universal::UniversalError&)
    {
        // The documented refusal of a malformed message or an old version.
    }
    return 0;
}
