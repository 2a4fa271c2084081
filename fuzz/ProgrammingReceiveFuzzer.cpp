// Fuzzes the receive handlers of channel 1.0 with a download in progress.
// Input: two bytes (little-endian) giving the size the camera's first DataBegin
// announces, then a sequence of messages as a camera could send them, read
// from one buffer the way the agent's receive thread reads its channel. The
// download starts with that DataBegin (data id 7) accepted into a destination
// that still holds 300 stale bytes, as a reused buffer does; a later DataBegin
// that reaches the begin state is accepted the same way (into the last
// finished download's bytes when there is one), and a download that reaches
// its end is finished and a new one started. AddressSanitizer catches any byte
// written outside a destination; the checks below hold the record inside it.
#include "FuzzEntry.h"

#include "Agents/Programming/KPXProgrammingTransfer.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"
#include "Wire/KPXDataTransfer.h"

#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <vector>

using namespace Q7::KPX;

namespace
{

// The largest download the target accepts, so that inputs stay small.
constexpr std::uint32_t kLargestDownload = 1 << 20;
// Messages handled per input at most.
constexpr int kMaxMessages = 256;

class SilentReplies final : public ProgrammingReplies
{
public:
    void SendDataBeginAck(std::uint32_t) override {}
    void SendDataEnd(std::uint32_t, std::uint64_t) override {}
    void SendDataEndAck(std::uint32_t) override {}
    void SendDataAbort(std::uint32_t) override {}
    void SendDataError(std::uint32_t, std::uint32_t, const CommonMessageHeader&) override {}
    void SendCommonError(std::uint32_t, const CommonMessageHeader&) override {}
    ProtocolVersion GetMessageVersion() const override { return {2, 0}; }
};

// The record never points beyond its destination, which never grows beyond
// the announced size (or what it held before).
void CheckRecord(const ProgrammingTransfer& machine, std::size_t reusedSize)
{
    const ReceiveProgress progress = machine.GetReceiveProgress();
    TAVRIN_FUZZ_CHECK(progress.writePosition <= progress.maxSize);
    TAVRIN_FUZZ_CHECK(progress.receivedSize <= progress.maxSize);
    if (progress.hasDestination)
    {
        TAVRIN_FUZZ_CHECK(progress.receivedSize <= progress.destinationSize);
        TAVRIN_FUZZ_CHECK(progress.destinationSize <= std::max<std::size_t>(progress.maxSize, reusedSize));
    }
}

// Accepts a DataBegin that reached the begin state into `reused`; answers its
// buffer.
TransferBuffer Accept(ProgrammingTransfer& machine, std::vector<std::uint8_t> reused)
{
    try
    {
        const std::uint32_t id = machine.GetCurrentDataId();
        machine.CheckReceiveBegin(id, kLargestDownload);
        auto buffer = std::make_shared<std::vector<std::uint8_t>>(std::move(reused));
        machine.AcceptReceiveBegin(id, buffer);
        return buffer;
    }
    catch (const Q7::Universal::UniversalError&)
    {
        return nullptr;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint32_t announced = data[0] | (std::uint32_t{data[1]} << 8);

    SilentReplies replies;
    ProgrammingTransfer machine(replies);
    machine.BeginReceiving();
    {
        const MessageBytes begin = MakeDataBeginMessage({2, 0}, 104, 7, announced, 0, "log");
        BufferMessageSource source{std::span(begin).subspan(kCommonMessageHeaderSize)};
        TAVRIN_FUZZ_CHECK(machine.HandleMessage(*DecodeMessageHeader(begin), source));
    }
    std::vector<std::uint8_t> reused(300, 0xEE);
    std::size_t reusedSize = reused.size();
    TransferBuffer buffer = Accept(machine, std::move(reused));
    TAVRIN_FUZZ_CHECK(buffer != nullptr);

    BufferMessageSource source{std::span(data + 2, size - 2)};
    for (int count = 0; count < kMaxMessages; ++count)
    {
        std::array<std::uint8_t, kCommonMessageHeaderSize> bytes{};
        if (source.Read(bytes) != 0)
            break;
        const CommonMessageHeader header = *DecodeMessageHeader(bytes);
        // The receive thread's own check before any handler runs.
        if (header.messageHeaderSize < kCommonMessageHeaderSize ||
            header.messageSize < header.messageHeaderSize)
            break;
        try
        {
            if (!machine.HandleMessage(header, source))
                break;
        }
        catch (const Q7::Universal::UniversalError&)
        {
            break; // a malformed message costs the channel
        }
        CheckRecord(machine, reusedSize);

        switch (machine.GetDataState(false))
        {
        case kDataState_Begin:
            if (machine.GetTransferState() == kTransferState_Receiving)
            {
                reusedSize = reused.size();
                buffer = Accept(machine, std::move(reused));
                reused.clear();
            }
            break;
        case kDataState_End:
            if (machine.GetTransferState() == kTransferState_Receiving && buffer != nullptr)
            {
                const std::size_t limit = machine.GetReceiveProgress().maxSize;
                reused = machine.FinishReceive(buffer);
                TAVRIN_FUZZ_CHECK(reused.size() <= limit);
                machine.BeginReceiving();
            }
            break;
        default:
            break;
        }
    }
    return 0;
}
