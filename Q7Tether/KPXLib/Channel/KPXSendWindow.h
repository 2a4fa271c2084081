// Reusable buffers for the data blocks a sender queues on its agent's send
// queue, with at most a fixed number of them out at once.
//
// A sender copies each block into a buffer of the window and queues it as a
// message; the buffer comes back to the window when its command is done
// (written, failed, or dropped by a cleared queue). So a transfer of any size
// holds only the window's buffers, and after its first blocks allocates
// nothing: the buffers, grown to the largest block asked for, keep their pages
// between transfers. The window also counts the block bytes written, which is
// the progress a sender reports, and its bound keeps a camera's abort able to
// stop the sender within one window of blocks.
#pragma once

#include "Channel/KPXAgent.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalString.h"
#include "Wire/KPXMessage.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace Q7::KPX
{

/// The buffers and counts of one sender. Thread-safe: the sender takes
/// buffers and reads the counts; the send thread (and whoever clears the
/// queue) gives buffers back.
class SendWindow : public std::enable_shared_from_this<SendWindow>
{
public:
    /// A taken buffer. Goes back to its window when destroyed, unless it went
    /// into a command (MakeCommand). Move-only.
    class Buffer
    {
    public:
        Buffer(Buffer&& other) noexcept = default;
        Buffer& operator=(Buffer&& other) = delete;
        ~Buffer();

        /// The whole buffer: at least the size asked for.
        [[nodiscard]] std::span<std::uint8_t> Bytes() noexcept { return m_bytes; }

    private:
        friend class SendWindow;
        Buffer(std::shared_ptr<SendWindow> window, MessageBytes bytes) noexcept;

        std::shared_ptr<SendWindow> m_window; // null once the bytes went into a command
        MessageBytes m_bytes;
    };

    /// A window of `bufferCount` buffers (at least 1 is used), none allocated
    /// yet.
    static std::shared_ptr<SendWindow> Create(std::uint32_t bufferCount);

    SendWindow(const SendWindow&) = delete;
    SendWindow& operator=(const SendWindow&) = delete;
    ~SendWindow();

    /// Starts counting a new transfer's written bytes from 0: blocks of an
    /// earlier transfer that are still queued no longer count.
    void BeginTransfer();

    /// A free buffer of at least `size` bytes (a smaller one is grown; none is
    /// ever shrunk), or none while every buffer is out. Raises std::bad_alloc
    /// when a buffer cannot grow (the buffer stays free).
    std::optional<Buffer> TryTake(std::size_t size);

    /// The command that writes the message built at the start of `buffer`
    /// (its `messageSize` bytes), with no time-out, described by
    /// `description`. Once it is written, `dataBytes` count as written bytes
    /// of the current transfer (when it still is the transfer that took the
    /// buffer); when it is destroyed, the buffer comes back.
    [[nodiscard]] std::unique_ptr<SendMessageCommand> MakeCommand(Buffer buffer, std::uint32_t dataBytes,
                                                                  Universal::UniversalString description);

    /// Block bytes of the current transfer written so far.
    [[nodiscard]] std::uint64_t GetWrittenBytes() const;
    /// Buffers out of the window (taken, queued or being written).
    [[nodiscard]] std::uint32_t GetOutstanding() const;
    /// Set whenever a buffer comes back or bytes are written; manual reset: a
    /// waiter resets it, reads the counts, then waits, so that no change is
    /// lost.
    [[nodiscard]] Platform::EventCondition_Posix& GetChangedEvent() noexcept { return m_changed; }

private:
    class BlockCommand;

    explicit SendWindow(std::uint32_t bufferCount);
    void Return(MessageBytes bytes) noexcept;
    void Written(std::uint64_t transfer, std::uint32_t bytes) noexcept;

    const std::uint32_t m_bufferCount;
    mutable Platform::Mutex_Posix m_lock; // guards the fields below
    std::vector<MessageBytes> m_free;     // room for every buffer reserved: Return never allocates
    std::uint32_t m_outstanding = 0;
    std::uint64_t m_transfer = 0; // numbers the transfers; blocks carry the one that took them
    std::uint64_t m_written = 0;  // of the current transfer
    Platform::EventCondition_Posix m_changed;
};

} // namespace Q7::KPX
