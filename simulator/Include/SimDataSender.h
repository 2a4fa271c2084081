// The camera's side of a data channel pair (x.1 for messages, x.2 for the
// data): both sub-channels as the sending thread sees them, that thread, and
// the DataBlocks of one transfer, with a fault struck at its exact byte
// offset. Shared by the image-transfer (4.1/4.2) and live-view (5.1/5.2)
// controls, under their own mutex.
//
// By default a transfer's messages all go on x.2. A camera may send them on
// either sub-channel: spread (SpreadOverBothSubChannels), each DataBegin and
// DataEnd goes on x.1 or x.2 by a seeded choice, and a transfer's data (its
// blocks, seeks, and the camera's own DataAbort or DataError in its middle)
// on one sub-channel chosen per transfer. The data stays on one sub-channel
// because its order is the image's, and two pipes do not keep an order
// between them; a DataEnd may overtake the last blocks, which the host must
// wait for. A transfer the camera abandons itself (its own DataAbort, which
// the host does not answer) is followed by the next DataBegin on the same
// sub-channel, so that the next transfer cannot begin before the host knows
// the last one ended.
#pragma once

#include "SimChannelHandler.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
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
        bool writing = false;         // a message is being written: the next waits for it whole
    };

    // A piece of a message: its bytes and what keeps them (null: copied).
    struct Part
    {
        std::span<const std::uint8_t> bytes;
        std::shared_ptr<const void> owner;
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
    struct Slot;
    struct Blocks
    {
        std::uint32_t dataId = 0;
        std::shared_ptr<const std::vector<std::uint8_t>> bytes;
        std::uint64_t blockSize = 1;
        std::optional<std::uint64_t> faultAt;
        bool lastBlockOneByteLonger = false; // the last block carries a byte beyond the data
        bool atOnce = false; // the sending thread writes the blocks itself (ChannelContext::SendSharedAtOnce)
        Slot* slot = nullptr;                // the sub-channel of the blocks; null: x.2
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

    // Spreads each transfer over both sub-channels with choices seeded by
    // `seed`; none sends everything on x.2 again. Mutex held.
    void SpreadOverBothSubChannels(std::optional<std::uint32_t> seed);
    // The sub-channel of a transfer's next DataBegin or DataEnd, and of a
    // transfer's data (chosen once per transfer). Mutex held.
    Slot& ControlSlot();
    Slot& DataSlot();
    // The camera abandoned a transfer with a DataAbort on `slot`: the next
    // ControlSlot is that one. Mutex held.
    void FollowAbort(Slot& slot) { m_behindAbort = &slot; }
    // The generation of `slot` in `open`.
    std::uint64_t GenerationOf(const Slot& slot, const Open& open) const
    {
        return &slot == &first ? open.first : open.second;
    }
    Open Current() const { return {first.generation, second.generation}; }
    bool IsOpen(const Open& open) const // mutex held
    {
        return !m_stop && first.generation == open.first && second.generation == open.second;
    }

    // Sends on the slot's channel of the open `generation` with the lock
    // released; false when the channel closed or the sender stops. The parts
    // of one call go out as one message: a message another thread sends on
    // the same channel (SendExclusive) goes before or after it, never between.
    // Bytes with an `owner` are written from where they lie, `atOnce` from
    // this thread as far as the connection takes them without waiting.
    bool SendOn(std::unique_lock<std::mutex>& lock, Slot& slot, std::uint64_t generation,
                std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner = nullptr,
                bool atOnce = false);
    bool SendParts(std::unique_lock<std::mutex>& lock, Slot& slot, std::uint64_t generation,
                   std::initializer_list<Part> parts, bool atOnce = false);
    // A handler's own message (an answer to the host) on `context`: when the
    // context is one of the slots', it waits for the message being written
    // there and goes whole. Mutex held; released while sending.
    bool SendExclusive(std::unique_lock<std::mutex>& lock, ChannelContext& context,
                       std::span<const std::uint8_t> bytes);

    // Sends on `slot` as it was in `open`.
    bool SendIn(std::unique_lock<std::mutex>& lock, Slot& slot, const Open& open,
                std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner = nullptr)
    {
        return SendOn(lock, slot, GenerationOf(slot, open), bytes, std::move(owner));
    }

    // A DataEnd beside the block still on its way, in this order: the block's
    // header and first half on `dataSlot`, after `headStart` (nothing goes out
    // meanwhile) the DataEnd on `endSlot`, and, once `answered` holds or
    // `hold` passed (after an answer, `hold` once more), the block's second
    // half. False when a channel closed or the sender stops.
    bool SendEndBesideBlock(std::unique_lock<std::mutex>& lock, const Open& open, Slot& dataSlot, Slot& endSlot,
                            std::uint32_t dataId, std::span<const std::uint8_t> block,
                            std::span<const std::uint8_t> end, std::chrono::milliseconds headStart,
                            const std::function<bool()>& answered, std::chrono::milliseconds hold);

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
    bool m_spread = false;  // SpreadOverBothSubChannels
    Slot* m_behindAbort = nullptr; // FollowAbort
    std::mt19937 m_choices; // its seeded choices
    std::thread m_thread;
};

} // namespace Q7::Sim
