#include "Channel/KPXSendWindow.h"

#include <algorithm>
#include <utility>

namespace Q7::KPX
{

// A queued block: its buffer goes back to the window when the command goes,
// its bytes count once it is written.
class SendWindow::BlockCommand final : public SendMessageCommand
{
public:
    BlockCommand(std::shared_ptr<SendWindow> window, MessageBytes bytes, std::uint64_t transfer,
                 std::uint32_t dataBytes, Universal::UniversalString description)
        : SendMessageCommand(std::move(bytes), std::move(description), kSendNoTimeout),
          m_window(std::move(window)), m_transfer(transfer), m_dataBytes(dataBytes)
    {
    }

    ~BlockCommand() override { m_window->Return(TakeMessage()); }

    void OnWritten() noexcept override { m_window->Written(m_transfer, m_dataBytes); }

private:
    const std::shared_ptr<SendWindow> m_window;
    const std::uint64_t m_transfer;
    const std::uint32_t m_dataBytes;
};

SendWindow::Buffer::Buffer(std::shared_ptr<SendWindow> window, MessageBytes bytes) noexcept
    : m_window(std::move(window)), m_bytes(std::move(bytes))
{
}

SendWindow::Buffer::~Buffer()
{
    if (m_window)
        m_window->Return(std::move(m_bytes));
}

std::shared_ptr<SendWindow> SendWindow::Create(std::uint32_t bufferCount)
{
    return std::shared_ptr<SendWindow>(new SendWindow(bufferCount));
}

SendWindow::SendWindow(std::uint32_t bufferCount) : m_bufferCount(std::max<std::uint32_t>(bufferCount, 1))
{
    m_free.reserve(m_bufferCount);
}

SendWindow::~SendWindow() = default;

void SendWindow::BeginTransfer()
{
    Platform::ScopedLock lock(m_lock);
    ++m_transfer;
    m_written = 0;
}

std::optional<SendWindow::Buffer> SendWindow::TryTake(std::size_t size)
{
    MessageBytes bytes;
    {
        Platform::ScopedLock lock(m_lock);
        if (m_free.empty() && m_outstanding == m_bufferCount)
            return std::nullopt;
        if (!m_free.empty())
        {
            bytes = std::move(m_free.back());
            m_free.pop_back();
        }
        ++m_outstanding;
    }
    // Counted out from here: the Buffer gives it back, also when growing fails.
    Buffer buffer(shared_from_this(), std::move(bytes));
    if (buffer.m_bytes.size() < size)
    {
        // Grown in place of the old bytes, whose content does not matter: the
        // old allocation goes first, so the two never coexist.
        buffer.m_bytes = MessageBytes();
        buffer.m_bytes.resize(size);
    }
    return buffer;
}

std::unique_ptr<SendMessageCommand> SendWindow::MakeCommand(Buffer buffer, std::uint32_t dataBytes,
                                                            Universal::UniversalString description)
{
    std::uint64_t transfer = 0;
    {
        Platform::ScopedLock lock(m_lock);
        transfer = m_transfer;
    }
    // The bytes move only once the command is allocated; from then on the
    // command gives them back.
    auto command = std::make_unique<BlockCommand>(shared_from_this(), std::move(buffer.m_bytes), transfer,
                                                  dataBytes, std::move(description));
    buffer.m_window.reset();
    return command;
}

std::uint64_t SendWindow::GetWrittenBytes() const
{
    Platform::ScopedLock lock(m_lock);
    return m_written;
}

std::uint32_t SendWindow::GetOutstanding() const
{
    Platform::ScopedLock lock(m_lock);
    return m_outstanding;
}

void SendWindow::Return(MessageBytes bytes) noexcept
{
    {
        Platform::ScopedLock lock(m_lock);
        if (m_outstanding > 0)
            --m_outstanding;
        if (!bytes.empty() && m_free.size() < m_free.capacity())
            m_free.push_back(std::move(bytes));
    }
    m_changed.Set();
}

void SendWindow::Written(std::uint64_t transfer, std::uint32_t bytes) noexcept
{
    {
        Platform::ScopedLock lock(m_lock);
        if (transfer == m_transfer)
            m_written += bytes;
    }
    m_changed.Set();
}

} // namespace Q7::KPX
