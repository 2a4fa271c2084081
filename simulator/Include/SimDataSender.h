// The camera's side of a data channel pair (x.1 for messages, x.2 for the
// data): both sub-channels as the sending thread sees them, that thread, and
// the DataBlocks of one transfer, with a fault struck at its exact byte
// offset. Shared by the image-transfer (4.1/4.2) and live-view (5.1/5.2)
// controls, under their own mutex.
#pragma once

#include "SimChannelHandler.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace Q7::Sim
{

// How one transfer ended.
enum class DataSendOutcome
{
    Completed,
    AbortedByHost,
    AbortedByCamera,
    Interrupted, // a channel closed or the sender stopped
};

class DataSender
{
public:
    // One of the two sub-channels as the sender uses it.
    struct Slot
    {
        ChannelContext* context = nullptr;
        std::uint64_t generation = 0; // changes at every attach and detach
        unsigned busy = 0;            // sends in progress on `context`
    };

    // The generations of both sub-channels when a transfer began: it goes on
    // only while both are the same open.
    struct Open
    {
        std::uint64_t first = 0;
        std::uint64_t second = 0;
    };

    // The blocks of one transfer: [0, size) of `bytes` on the second channel,
    // at most `blockSize` a block. A block is cut at `faultAt`, so that the
    // fault strikes at that very offset, also inside what would be one block.
    struct Blocks
    {
        std::uint32_t dataId = 0;
        std::shared_ptr<const std::vector<std::uint8_t>> bytes;
        std::uint64_t blockSize = 1;
        std::optional<std::uint64_t> faultAt;
        bool lastBlockOneByteLonger = false; // the last block carries a byte beyond the data
        bool atOnce = false; // the sending thread writes the blocks itself (ChannelContext::SendSharedAtOnce)
    };

    // At the fault's offset: an outcome ends the transfer; none goes on from
    // `offset` (which the hook may move).
    using FaultHook = std::function<std::optional<DataSendOutcome>(std::uint64_t& offset)>;
    // After every block: an outcome ends the transfer; none goes on.
    using BlockHook = std::function<std::optional<DataSendOutcome>()>;

    // `mutex` and `changed` are the owner's: they guard this object too.
    DataSender(std::mutex& mutex, std::condition_variable& changed, ChannelId firstChannel);
    ~DataSender();
    DataSender(const DataSender&) = delete;
    DataSender& operator=(const DataSender&) = delete;

    // Takes the context into its slot and starts `loop` on the sending thread
    // when none runs. Mutex held.
    void Attach(ChannelContext& context, const std::function<void()>& loop);
    // Empties the context's slot when it still holds it, runs `detached` (with
    // the slot, whether it held the context), and waits until no send uses the
    // context any more: it goes once its OnClose returns.
    void Detach(std::unique_lock<std::mutex>& lock, ChannelContext& context,
                const std::function<void(Slot& slot, bool held)>& detached);
    // Ends the sending thread. Not from a handler.
    void Stop();

    bool Stopping() const { return m_stop; } // mutex held
    Open Current() const { return {first.generation, second.generation}; }
    bool IsOpen(const Open& open) const // mutex held
    {
        return !m_stop && first.generation == open.first && second.generation == open.second;
    }

    // Sends on the slot's channel of the open `generation` with the lock
    // released; false when the channel closed or the sender stops. Bytes with
    // an `owner` are written from where they lie, `atOnce` from this thread
    // as far as the connection takes them without waiting.
    bool SendOn(std::unique_lock<std::mutex>& lock, Slot& slot, std::uint64_t generation,
                std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner = nullptr,
                bool atOnce = false);

    // Sends the transfer's blocks. None when every block went out; otherwise
    // the outcome a hook gave, or Interrupted. `bytesSent` counts the data.
    std::optional<DataSendOutcome> SendBlocks(std::unique_lock<std::mutex>& lock, const Open& open,
                                              const Blocks& blocks, const FaultHook& atFault,
                                              const BlockHook& afterBlock, std::uint64_t& bytesSent);

    // Half the block at `offset` behind a header that promises all of it (a
    // camera that stalls or whose link breaks mid-block); with `drop` the
    // connection then breaks. Nothing more goes out until a channel closes or
    // the sender stops: Interrupted.
    DataSendOutcome SendHalfBlockAndHang(std::unique_lock<std::mutex>& lock, const Open& open,
                                         const Blocks& blocks, std::uint64_t offset, bool drop);

    Slot first;
    Slot second;

private:
    std::mutex& m_mutex;
    std::condition_variable& m_changed;
    const ChannelId m_firstChannel;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace Q7::Sim
