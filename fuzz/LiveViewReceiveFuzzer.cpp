// Fuzzes channel 5's receive machine (the image-transfer machine's live-view
// variant) with input = the byte stream a camera could send on 5.1 and 5.2:
// message after message handed to the machine as the receive threads hand
// them, with the control thread's steps (attach a buffer, complete a frame)
// run after each. Every frame queued must lie within its pool buffer and the
// announced size; every answer must name a data id; nothing may read beyond
// a message or its buffer (the sanitizers see that).
#include "FuzzEntry.h"

#include "Agents/ImageTransfer/KPXImageTransferMachine.h"
#include "Agents/Programming/KPXProgrammingTransfer.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"
#include "Wire/KPXDataTransfer.h"

#include <memory>
#include <span>

using namespace Q7::KPX;

namespace
{

class Replies final : public ImageTransferReplies
{
public:
    void ReportTransferError(const Q7::Universal::UniversalError&) override {}
    void SendDataBeginAck(std::uint32_t) override { ++acks; }
    void SendDataEndAck(std::uint32_t) override { ++acks; }
    void SendDataAbort(std::uint32_t) override {}
    void SendDataError(std::uint32_t, std::uint32_t errorId, const CommonMessageHeader&) override
    {
        TAVRIN_FUZZ_CHECK((errorId >> 24) == 2);
    }
    void SendCommonError(std::uint32_t, const CommonMessageHeader&) override
    {
        TAVRIN_FUZZ_CHECK(false); // channel 5 answers no unknown message
    }
    ProtocolVersion GetFirstVersion() const override { return {1, 2}; }
    ProtocolVersion GetSecondVersion() const override { return {1, 0}; }

    unsigned acks = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static BufferPool& pool = *new BufferPool(std::make_shared<Allocator>(), 2, 0x400000, L"fuzz ");
    Replies replies;
    ImageDeliveryQueue queue;
    Q7::Universal::ProgressProvider owner;
    ImageTransferMachine machine(replies, pool, queue, owner, ImageTransferVariant::kLiveView);
    machine.SetTransferEnabledWish(true, [] {});
    Q7::Platform::EventCondition_Posix signalled;
    signalled.Set();
    const WaitObjectList noWait{&signalled};

    std::span<const std::uint8_t> stream(data, size);
    while (stream.size() >= kCommonMessageHeaderSize)
    {
        const CommonMessageHeader header = *DecodeMessageHeader(stream);
        BufferMessageSource source(stream.subspan(kCommonMessageHeaderSize));
        try
        {
            CheckMessageHeader(header, L"KPX ch5 message header size too small.",
                               L"KPX ch5 message size too small.");
            // Announced sizes beyond what the fuzzer may allocate are refused
            // by the pool's 32-bit limit or, below it, kept small here.
            if (!machine.HandleMessage(header, source))
                break;
        }
        catch (const Q7::Universal::UniversalError&)
        {
            break;
        }
        const std::size_t taken = stream.size() - kCommonMessageHeaderSize - source.Remaining();
        TAVRIN_FUZZ_CHECK(taken == std::uint64_t{header.messageSize} - kCommonMessageHeaderSize);
        stream = stream.subspan(kCommonMessageHeaderSize + taken);

        const ImageTransferRecordView view = machine.GetRecordView();
        if (view.state == kDataState_Begin && view.maxSize <= 0x800000)
            machine.AttachBuffer(noWait);
        machine.CompleteTransfer();
        const ImageTransferRecordView after = machine.GetRecordView();
        TAVRIN_FUZZ_CHECK(after.receivedSize <= after.maxSize);
        TAVRIN_FUZZ_CHECK(after.bufferSize == 0 || after.receivedSize <= after.bufferSize);
        ImageReceivePackage package(pool);
        while (queue.GetCount() > 0 && queue.Pop(package, noWait))
        {
            TAVRIN_FUZZ_CHECK(package.size <= package.buffer.GetSize());
            package.buffer.Release();
        }
    }
    machine.ResetTransferStatus();
    return 0;
}
