#include "SimDataSender.h"

#include "SimDataTransfer.h"

#include <algorithm>
#include <utility>

namespace Q7::Sim
{

DataSender::DataSender(std::mutex& mutex, std::condition_variable& changed, ChannelId firstChannel)
    : m_mutex(mutex), m_changed(changed), m_firstChannel(firstChannel)
{
}

DataSender::~DataSender()
{
    Stop();
}

void DataSender::Attach(ChannelContext& context, const std::function<void()>& loop)
{
    Slot& slot = context.Channel() == m_firstChannel ? first : second;
    slot.context = &context;
    ++slot.generation;
    if (!m_thread.joinable() && !m_stop)
        m_thread = std::thread(loop);
    m_changed.notify_all();
}

void DataSender::Detach(std::unique_lock<std::mutex>& lock, ChannelContext& context,
                        const std::function<void(Slot& slot, bool held)>& detached)
{
    Slot& slot = context.Channel() == m_firstChannel ? first : second;
    const bool held = slot.context == &context;
    if (held)
    {
        slot.context = nullptr;
        ++slot.generation;
    }
    if (detached)
        detached(slot, held);
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return slot.busy == 0; });
}

void DataSender::Stop()
{
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        thread = std::move(m_thread);
    }
    m_changed.notify_all();
    if (thread.joinable())
        thread.join();
    std::lock_guard lock(m_mutex);
    m_stop = false;
}

void DataSender::SpreadOverBothSubChannels(std::optional<std::uint32_t> seed)
{
    m_spread = seed.has_value();
    m_choices.seed(seed.value_or(0));
}

DataSender::Slot& DataSender::ControlSlot()
{
    if (Slot* behind = std::exchange(m_behindAbort, nullptr))
        return *behind;
    if (!m_spread)
        return second;
    return (m_choices() & 1) != 0 ? first : second;
}

DataSender::Slot& DataSender::DataSlot()
{
    if (!m_spread)
        return second;
    return (m_choices() & 1) != 0 ? first : second;
}

bool DataSender::SendEndBesideBlock(std::unique_lock<std::mutex>& lock, const Open& open, Slot& dataSlot,
                                    Slot& endSlot, std::uint32_t dataId, std::span<const std::uint8_t> block,
                                    std::span<const std::uint8_t> end, std::chrono::milliseconds headStart,
                                    const std::function<bool()>& answered, std::chrono::milliseconds hold)
{
    const std::size_t half = block.size() / 2;
    const auto header = BuildDataBlockHeader(dataId, static_cast<std::uint32_t>(block.size()),
                                             static_cast<std::uint32_t>(block.size()));
    if (!SendParts(lock, dataSlot, GenerationOf(dataSlot, open),
                   {Part{header, nullptr}, Part{block.first(half), nullptr}}))
        return false;
    m_changed.wait_for(lock, headStart, [&] { return !IsOpen(open); });
    if (!SendIn(lock, endSlot, open, end))
        return false;
    // A host that answers before the block is in has handed over what it
    // has: the rest comes later still, so that what it handed over shows.
    if (m_changed.wait_for(lock, hold, [&] { return !IsOpen(open) || answered(); }))
        m_changed.wait_for(lock, hold, [&] { return !IsOpen(open); });
    return SendIn(lock, dataSlot, open, block.subspan(half));
}

bool DataSender::SendOn(std::unique_lock<std::mutex>& lock, Slot& slot, std::uint64_t generation,
                        std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner, bool atOnce)
{
    return SendParts(lock, slot, generation, {Part{bytes, std::move(owner)}}, atOnce);
}

bool DataSender::SendParts(std::unique_lock<std::mutex>& lock, Slot& slot, std::uint64_t generation,
                           std::initializer_list<Part> parts, bool atOnce)
{
    const auto gone = [&] { return slot.context == nullptr || slot.generation != generation || m_stop; };
    m_changed.wait(lock, [&] { return !slot.writing || gone(); });
    if (gone())
        return false;
    ChannelContext* const context = slot.context;
    ++slot.busy;
    slot.writing = true;
    lock.unlock();
    bool sent = true;
    for (const Part& part : parts)
    {
        sent = !part.owner ? context->Send(part.bytes)
               : atOnce    ? context->SendSharedAtOnce(part.bytes, part.owner)
                           : context->SendShared(part.bytes, part.owner);
        if (!sent)
            break;
    }
    lock.lock();
    slot.writing = false;
    --slot.busy;
    m_changed.notify_all();
    return sent;
}

bool DataSender::SendExclusive(std::unique_lock<std::mutex>& lock, ChannelContext& context,
                               std::span<const std::uint8_t> bytes)
{
    for (Slot* slot : {&first, &second})
    {
        if (slot->context == &context)
            return SendParts(lock, *slot, slot->generation, {Part{bytes, nullptr}});
    }
    lock.unlock();
    const bool sent = context.Send(bytes);
    lock.lock();
    return sent;
}

std::optional<DataSendOutcome> DataSender::SendBlocks(std::unique_lock<std::mutex>& lock, const Open& open,
                                                      const Blocks& blocks, const FaultHook& atFault,
                                                      const BlockHook& afterBlock, std::uint64_t& bytesSent)
{
    const std::vector<std::uint8_t>& data = *blocks.bytes;
    const std::uint64_t size = data.size();
    bool faultDone = !blocks.faultAt.has_value();
    std::uint64_t offset = 0;
    while (offset < size)
    {
        if (!faultDone && offset >= *blocks.faultAt)
        {
            faultDone = true;
            if (const std::optional<DataSendOutcome> outcome = atFault(offset))
                return outcome;
            if (offset >= size)
                break;
        }
        std::uint64_t n = std::min<std::uint64_t>(blocks.blockSize, size - offset);
        if (!faultDone && offset < *blocks.faultAt)
            n = std::min(n, *blocks.faultAt - offset);
        std::vector<std::uint8_t> extended;
        std::span<const std::uint8_t> bytes(data.data() + offset, static_cast<std::size_t>(n));
        if (blocks.lastBlockOneByteLonger && offset + n == size)
        {
            extended.assign(bytes.begin(), bytes.end());
            extended.push_back(0);
            bytes = extended;
        }
        const auto header = BuildDataBlockHeader(blocks.dataId, static_cast<std::uint32_t>(bytes.size()),
                                                 static_cast<std::uint32_t>(bytes.size()));
        Slot& slot = blocks.slot != nullptr ? *blocks.slot : second;
        if (!SendParts(lock, slot, GenerationOf(slot, open),
                       {Part{header, nullptr},
                        Part{bytes, extended.empty() ? std::shared_ptr<const void>(blocks.bytes) : nullptr}},
                       blocks.atOnce))
            return DataSendOutcome::Interrupted;
        bytesSent += bytes.size();
        offset += n;
        if (afterBlock)
        {
            if (const std::optional<DataSendOutcome> outcome = afterBlock())
                return outcome;
        }
    }
    return std::nullopt;
}

DataSendOutcome DataSender::SendHalfBlockAndHang(std::unique_lock<std::mutex>& lock, const Open& open,
                                                 const Blocks& blocks, std::uint64_t offset, bool drop)
{
    const std::vector<std::uint8_t>& data = *blocks.bytes;
    const std::uint64_t block = std::min<std::uint64_t>(blocks.blockSize, data.size() - offset);
    const auto header = BuildDataBlockHeader(blocks.dataId, static_cast<std::uint32_t>(block),
                                             static_cast<std::uint32_t>(block));
    const std::span<const std::uint8_t> half(data.data() + offset, static_cast<std::size_t>(block / 2));
    Slot& slot = blocks.slot != nullptr ? *blocks.slot : second;
    if (SendParts(lock, slot, GenerationOf(slot, open), {Part{header, nullptr}, Part{half, blocks.bytes}}) &&
        drop && slot.context != nullptr && slot.generation == GenerationOf(slot, open))
        slot.context->DropConnectionAfterOutput();
    // Nothing more until the channel closes.
    while (!m_stop && second.generation == open.second && first.generation == open.first)
        m_changed.wait(lock);
    return DataSendOutcome::Interrupted;
}

} // namespace Q7::Sim
