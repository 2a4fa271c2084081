// Fuzzes the data-transfer decoders with input = two version bytes (major,
// minor) followed by a message as a camera could send it, dispatched by class
// and type as a receive loop does; every other message is also decoded as each
// data-transfer fixed part, since a decoder must be safe whatever it is given.
#include "FuzzEntry.h"

#include "Q7UniversalError.h"
#include "Wire/KPXDataTransfer.h"

#include <span>
#include <string_view>

using namespace Q7::KPX;

namespace
{

void DecodeEveryFixedPart(std::span<const std::uint8_t> fixedPart, ProtocolVersion version)
{
    (void)DecodeDataBegin(fixedPart, version);
    (void)DecodeDataBlock(fixedPart, version);
    (void)DecodeDataEnd(fixedPart, version);
    (void)DecodeDataSeek(fixedPart, version);
    (void)DecodeDataIdMessage(fixedPart, version);
    (void)DecodeDataError(fixedPart, version);
    (void)DecodeGetLog(fixedPart, version);
    (void)DecodeGetLogAck(fixedPart, version);
}

bool Within(std::span<const std::uint8_t> inner, std::span<const std::uint8_t> outer)
{
    return inner.empty() ||
           (inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size());
}

bool Within(std::string_view inner, std::span<const std::uint8_t> outer)
{
    return Within(std::span(reinterpret_cast<const std::uint8_t*>(inner.data()), inner.size()), outer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const ProtocolVersion version{data[0], data[1]};
    const std::span<const std::uint8_t> message(data + 2, size - 2);

    try
    {
        DecodeEveryFixedPart(message, version);
    }
    catch (const Q7::Universal::UniversalError&)
    {
    }

    try
    {
        const MessageView view = ParseMessage(message);
        if (view.header.messageClass == kMessageClass_DataTransfer)
        {
            switch (view.header.messageType)
            {
            case kDataTransferMessage_DataBegin:
            {
                const DataBeginView begin =
                    ParseDataBeginMessage(message, version, L"KPX fuzz data begin message.");
                TAVRIN_FUZZ_CHECK(Within(begin.name, view.variablePart));
                TAVRIN_FUZZ_CHECK(begin.name.size() <= begin.message.nameLength);
                break;
            }
            case kDataTransferMessage_DataBlock:
            {
                const DataBlockView block =
                    ParseDataBlockMessage(message, version, L"KPX fuzz data block message.");
                TAVRIN_FUZZ_CHECK(Within(block.data, view.variablePart));
                TAVRIN_FUZZ_CHECK(block.data.size() == block.message.blockSize);
                // What this side would send back with the same data reads the same.
                const MessageBytes again = MakeDataBlockMessage(
                    version.major == 0 ? ProtocolVersion{1, 0} : version, block.message.dataId, block.data);
                const DataBlockView reread = ParseDataBlockMessage(again, ProtocolVersion{1, 0}, L"again");
                TAVRIN_FUZZ_CHECK(reread.data.size() == block.data.size());
                break;
            }
            case kDataTransferMessage_DataError:
            {
                const DataErrorView error =
                    ParseDataErrorMessage(message, version, L"KPX fuzz data error message.");
                TAVRIN_FUZZ_CHECK(Within(error.text, view.variablePart));
                TAVRIN_FUZZ_CHECK(error.text.size() == error.message.errorStringSize);
                (void)MakeDataErrorMessage(version, error.message.dataId, error.message.errorId, view.header);
                break;
            }
            default:
                DecodeEveryFixedPart(view.fixedPart, version);
                break;
            }
        }
        else
        {
            DecodeEveryFixedPart(view.fixedPart, version);
        }
    }
    catch (const Q7::Universal::UniversalError&)
    {
        // The documented refusal of a malformed message or an old version.
    }
    return 0;
}
