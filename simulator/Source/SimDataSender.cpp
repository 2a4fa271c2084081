#include "SimDataSender.h"

#include "SimDataTransfer.h"

#include <algorithm>

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

bool DataSender::SendOn(std::unique_lock<std::mutex>& lock, Slot& slot, std::uint64_t generation,
                        std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner, bool atOnce)
{
    if (slot.context == nullptr || slot.generation != generation || m_stop)
        return false;
    ChannelContext* const context = slot.context;
    ++slot.busy;
    lock.unlock();
    const bool sent = !owner ? context->Send(bytes)
                      : atOnce ? context->SendSharedAtOnce(bytes, std::move(owner))
                               : context->SendShared(bytes, std::move(owner));
    lock.lock();
    --slot.busy;
    m_changed.notify_all();
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
        if (!SendOn(lock, second, open.second, header) ||
            !SendOn(lock, second, open.second, bytes,
                    extended.empty() ? std::shared_ptr<const void>(blocks.bytes) : nullptr, blocks.atOnce))
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
    if (SendOn(lock, second, open.second, header) && SendOn(lock, second, open.second, half, blocks.bytes) &&
        drop && second.context != nullptr && second.generation == open.second)
        second.context->DropConnectionAfterOutput();
    // Nothing more until the channel closes.
    while (!m_stop && second.generation == open.second && first.generation == open.first)
        m_changed.wait(lock);
    return DataSendOutcome::Interrupted;
}

} // namespace Q7::Sim
