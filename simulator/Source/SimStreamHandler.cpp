#include "SimStreamHandler.h"

#include "SimLog.h"

#include <algorithm>
#include <vector>

namespace Q7::Sim
{

std::uint8_t PatternByte(std::uint64_t offset)
{
    // Changes with every byte, every 256 bytes and every 64 KiB, so that a
    // lost, repeated or reordered packet shows up at its first byte.
    return static_cast<std::uint8_t>(offset ^ ((offset >> 8) * 31) ^ ((offset >> 16) * 7));
}

namespace
{

// Within one 256-byte block of the stream only the low byte of the offset
// changes, so the pattern is the low byte XOR a per-block key.
std::uint8_t BlockKey(std::uint64_t offset)
{
    return static_cast<std::uint8_t>(((offset >> 8) * 31) ^ ((offset >> 16) * 7));
}

} // namespace

void FillPattern(std::uint64_t offset, std::span<std::uint8_t> out)
{
    std::size_t i = 0;
    while (i < out.size())
    {
        const std::uint64_t pos = offset + i;
        const std::uint8_t key = BlockKey(pos);
        const std::uint8_t low = static_cast<std::uint8_t>(pos);
        const std::size_t n = std::min<std::size_t>(256 - low, out.size() - i);
        for (std::size_t j = 0; j < n; ++j)
        {
            out[i + j] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(low + j) ^ key);
        }
        i += n;
    }
}

std::optional<std::size_t> FindPatternMismatch(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    std::size_t i = 0;
    while (i < bytes.size())
    {
        const std::uint64_t pos = offset + i;
        const std::uint8_t key = BlockKey(pos);
        const std::uint8_t low = static_cast<std::uint8_t>(pos);
        const std::size_t n = std::min<std::size_t>(256 - low, bytes.size() - i);
        bool same = true;
        for (std::size_t j = 0; j < n; ++j)
        {
            same &= bytes[i + j] == static_cast<std::uint8_t>(static_cast<std::uint8_t>(low + j) ^ key);
        }
        if (!same)
        {
            for (std::size_t j = 0; j < n; ++j)
            {
                if (bytes[i + j] != PatternByte(pos + j))
                {
                    return i + j;
                }
            }
        }
        i += n;
    }
    return std::nullopt;
}

std::uint64_t StreamStats::BytesReceived() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

std::uint64_t StreamStats::BytesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_sent;
}

std::uint64_t StreamStats::PatternErrors() const
{
    std::lock_guard lock(m_mutex);
    return m_patternErrors;
}

bool StreamStats::WaitForReceived(std::uint64_t bytes, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_received >= bytes; });
}

bool StreamStats::WaitForSent(std::uint64_t bytes, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_sent >= bytes; });
}

void StreamStats::AddReceived(std::uint64_t bytes, bool patternError)
{
    {
        std::lock_guard lock(m_mutex);
        m_received += bytes;
        m_patternErrors += patternError ? 1 : 0;
    }
    m_changed.notify_all();
}

void StreamStats::AddSent(std::uint64_t bytes)
{
    {
        std::lock_guard lock(m_mutex);
        m_sent += bytes;
    }
    m_changed.notify_all();
}

StreamHandler::StreamHandler(Options options, std::shared_ptr<StreamStats> stats)
    : m_options(options), m_stats(stats ? std::move(stats) : std::make_shared<StreamStats>())
{
    m_options.sourceChunk = std::max<std::size_t>(m_options.sourceChunk, 1);
}

StreamHandler::~StreamHandler()
{
    StopProducer();
}

void StreamHandler::OnOpen(ChannelContext& context)
{
    m_receivedThisOpen = 0;
    if (m_options.sourceBytes > 0)
    {
        m_stop = false;
        m_producer = std::thread([this, &context] { Produce(context); });
    }
}

void StreamHandler::OnData(ChannelContext& context, std::span<const std::uint8_t> bytes)
{
    bool patternError = false;
    if (m_options.checkPattern)
    {
        if (auto at = FindPatternMismatch(m_receivedThisOpen, bytes))
        {
            patternError = true;
            context.ReportViolation(ViolationKind::DataIntegrity,
                                    "stream byte " + std::to_string(m_receivedThisOpen + *at) +
                                        " differs from the pattern");
        }
    }
    m_receivedThisOpen += bytes.size();
    m_stats->AddReceived(bytes.size(), patternError);
    if (m_options.echo && context.Send(bytes))
    {
        m_stats->AddSent(bytes.size());
    }
}

void StreamHandler::OnClose(ChannelContext&)
{
    // The context already refuses sends, so a producer blocked in Send returns.
    StopProducer();
}

void StreamHandler::StopProducer()
{
    m_stop = true;
    if (m_producer.joinable())
    {
        m_producer.join();
    }
}

void StreamHandler::Produce(ChannelContext& context)
{
    std::vector<std::uint8_t> chunk(m_options.sourceChunk);
    std::uint64_t offset = 0;
    while (!m_stop && offset < m_options.sourceBytes)
    {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), m_options.sourceBytes - offset));
        FillPattern(offset, std::span(chunk.data(), n));
        if (!context.Send(std::span(chunk.data(), n)))
        {
            return;
        }
        offset += n;
        m_stats->AddSent(n);
    }
    if (offset >= m_options.sourceBytes && context.Log().Enabled(LogLevel::Info))
    {
        context.Log().Write(LogLevel::Info, "channel " + context.Channel().ToString() + ": produced " +
                                                std::to_string(offset) + " bytes");
    }
}

ChannelHandlerFactory StreamHandler::Factory(Options options, std::shared_ptr<StreamStats> stats)
{
    return [options, stats](ChannelId) { return std::make_unique<StreamHandler>(options, stats); };
}

} // namespace Q7::Sim
