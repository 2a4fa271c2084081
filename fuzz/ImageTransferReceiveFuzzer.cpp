// Fuzzes the receive machine of channel 4 with input = what a camera could
// send on its two sub-channels: the first two bytes give the length of the
// 4.1 stream, the bytes behind it are that stream, the rest is the 4.2
// stream. Messages are taken from the two streams in turn, each read as the
// agent's receive thread of that sub-channel reads it (header check, then the
// machine's handler from a BufferMessageSource). The reserved word of each
// message's header tells what the agent's other threads do before the next
// message: attach a buffer, finish the transfer, deliver a queued image, serve
// the progress steps, take an image-request reply, reset both sub-channels
// as a failed read does, or check the transfer's deadlines (a DataEnd still
// waiting for its blocks is then refused at once).
//
// Checked for every input: a handler that goes on took exactly its message;
// the record's sizes stay inside the buffer attached to it (a block can never
// be written past the buffer's end); a delivered image lies inside its buffer.
#include "FuzzEntry.h"

#include "Agents/ImageTransfer/KPXImageTransferMachine.h"
#include "Agents/Programming/KPXProgrammingTransfer.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalError.h"

#include <sys/mman.h>

#include <cstring>
#include <map>
#include <mutex>
#include <span>

using namespace Q7::KPX;

namespace
{

constexpr ProtocolVersion kVersion{1, 0};

// What the agent's other threads do after a message (bits of its header's
// reserved word).
enum Step : std::uint32_t
{
    kStep_Attach = 1U << 0,
    kStep_Complete = 1U << 1,
    kStep_Deliver = 1U << 2,
    kStep_Progress = 1U << 3,
    kStep_TakeReply = 1U << 4,
    kStep_Reset = 1U << 5,
    kStep_Deadlines = 1U << 6,
};

// Pool buffers are at least 100 MiB: mapped without backing, so that only the
// pages a block writes cost memory. Thread-safe.
class MappedAllocator final : public IAllocator<unsigned char>
{
public:
    unsigned char* allocate(std::uint32_t size) override
    {
        void* const p =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        std::lock_guard lock(m_mutex);
        m_sizes[p] = size;
        return static_cast<unsigned char*>(p);
    }

    void free(unsigned char* p) override
    {
        if (p == nullptr)
            return;
        std::size_t size = 0;
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_sizes.find(p);
            TAVRIN_FUZZ_CHECK(it != m_sizes.end());
            size = it->second;
            m_sizes.erase(it);
        }
        munmap(p, size);
    }

private:
    std::mutex m_mutex; // guards m_sizes
    std::map<void*, std::size_t> m_sizes;
};

// The machine's answers go nowhere; versions are fixed.
class DroppedReplies final : public ImageTransferReplies
{
public:
    void ReportTransferError(const Q7::Universal::UniversalError&) override {}
    void SendDataBeginAck(std::uint32_t) override {}
    void SendDataEndAck(std::uint32_t) override {}
    void SendDataAbort(std::uint32_t) override {}
    void SendDataError(std::uint32_t, std::uint32_t, const CommonMessageHeader&) override {}
    void SendCommonError(std::uint32_t, const CommonMessageHeader&) override {}
    ProtocolVersion GetFirstVersion() const override { return kVersion; }
    ProtocolVersion GetSecondVersion() const override { return kVersion; }
};

// The pool lives across inputs, so that its buffers are mapped once.
BufferPool& Pool()
{
    static BufferPool pool(std::make_shared<MappedAllocator>(), 2, BufferPool::kDefaultAllocMultiple,
                           L"KPX ch4 ");
    return pool;
}

void CheckRecord(ImageTransferMachine& machine)
{
    const ImageTransferRecordView view = machine.GetRecordView();
    if (view.bufferSize == 0)
        return;
    TAVRIN_FUZZ_CHECK(view.maxSize <= view.bufferSize);
    TAVRIN_FUZZ_CHECK(view.position <= view.bufferSize);
    TAVRIN_FUZZ_CHECK(view.receivedSize <= view.bufferSize);
}

void RunSteps(std::uint32_t steps, ImageTransferMachine& machine, ImageDeliveryQueue& queue,
              const WaitObjectList& stopped)
{
    if ((steps & kStep_Attach) != 0 && machine.GetDataState(false) == kDataState_Begin)
        machine.AttachBuffer(stopped); // no buffer free: the set event ends the wait at once
    if ((steps & kStep_Complete) != 0 && machine.GetDataState(false) == kDataState_End)
        machine.CompleteTransfer();
    if ((steps & kStep_Deliver) != 0 && queue.GetCount() > 0)
    {
        ImageReceivePackage package(Pool());
        TAVRIN_FUZZ_CHECK(queue.Pop(package, stopped));
        TAVRIN_FUZZ_CHECK(package.size <= package.buffer.GetSize());
        machine.CountDelivered();
    }
    if ((steps & kStep_Progress) != 0)
    {
        machine.ServeBegin();
        machine.ServeBlockRead();
        machine.ServeDone();
    }
    if ((steps & kStep_TakeReply) != 0)
        machine.TakeImageRequestReply(0);
    if ((steps & kStep_Reset) != 0)
        machine.ResetTransferStatus();
    if ((steps & kStep_Deadlines) != 0)
        machine.CheckDeadlines();
    CheckRecord(machine);
}

// One sub-channel's stream; ends when a read fails or a length inside a
// message is refused (the agent then resets both sub-channels).
struct Stream
{
    std::span<const std::uint8_t> bytes;
    bool open = true;

    // Handles the next message; answers the steps its header asks for.
    std::uint32_t HandleNext(ImageTransferMachine& machine)
    {
        if (bytes.size() < kCommonMessageHeaderSize)
        {
            open = false;
            return 0;
        }
        const CommonMessageHeader header = *DecodeMessageHeader(bytes);
        BufferMessageSource source(bytes.subspan(kCommonMessageHeaderSize));
        bool goesOn = false;
        try
        {
            CheckMessageHeader(header, L"KPX ch4 message header size too small.",
                               L"KPX ch4 message size too small.");
            goesOn = machine.HandleMessage(header, source);
        }
        catch (const Q7::Universal::UniversalError&)
        {
            goesOn = false;
        }
        if (!goesOn)
        {
            open = false;
            machine.ResetTransferStatus();
            return 0;
        }
        // Exactly the message was taken, never a byte of the next one.
        const std::size_t taken = bytes.size() - kCommonMessageHeaderSize - source.Remaining();
        TAVRIN_FUZZ_CHECK(taken == std::uint64_t{header.messageSize} - kCommonMessageHeaderSize);
        bytes = bytes.subspan(kCommonMessageHeaderSize + taken);
        return header.reserved;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t firstLength = std::min<std::size_t>(data[0] | (std::size_t{data[1]} << 8), size - 2);
    Stream streams[2] = {{std::span(data + 2, firstLength)},
                         {std::span(data + 2 + firstLength, size - 2 - firstLength)}};

    DroppedReplies replies;
    ImageDeliveryQueue queue;
    Q7::Universal::ProgressProvider owner;
    Q7::Platform::EventCondition_Posix stop;
    stop.Set();
    const WaitObjectList stopped{&stop};
    {
        // A DataEnd's wait for its blocks ends at the first deadline check;
        // no transfer is quiet for long enough to be aborted.
        ImageTransferMachineTimings timings;
        timings.inactivityMs = 0x7FFFFFFF;
        timings.endWaitMs = 0;
        ImageTransferMachine machine(replies, Pool(), queue, owner, ImageTransferVariant::kImageTransfer,
                                     timings);
        machine.SetTransferEnabledWish(true, [] {});
        for (std::size_t turn = 0; streams[0].open || streams[1].open; ++turn)
        {
            Stream& stream = streams[turn % 2];
            if (!stream.open)
                continue;
            const std::uint32_t steps = stream.HandleNext(machine);
            CheckRecord(machine);
            RunSteps(steps, machine, queue, stopped);
        }
        machine.DropRetiredTasks();
    }
    // Every buffer went back: the next input finds the pool free.
    ImageReceivePackage package(Pool());
    while (queue.GetCount() > 0)
        queue.Pop(package, stopped);
    return 0;
}
