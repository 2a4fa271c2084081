#include "SimStreamHandler.h"

#include "SimCameraDescription.h"
#include "SimLog.h"

#include <algorithm>
#include <cstring>
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

// The pattern repeats every 2^24 bytes (each term depends on the offset
// modulo 2^24), so one table of a period plus the largest span handed out
// serves every offset with plain copies and compares.
constexpr std::size_t kPatternPeriod = std::size_t{1} << 24;
constexpr std::size_t kPatternSpan = std::size_t{1} << 20;

const std::vector<std::uint8_t>& PatternTable()
{
    static const std::vector<std::uint8_t> table = []
    {
        std::vector<std::uint8_t> t(kPatternPeriod + kPatternSpan);
        for (std::size_t i = 0; i < t.size(); ++i)
        {
            t[i] = PatternByte(i);
        }
        return t;
    }();
    return table;
}

} // namespace

std::span<const std::uint8_t> PatternSlice(std::uint64_t offset, std::size_t n)
{
    const auto& table = PatternTable();
    return std::span(table).subspan(static_cast<std::size_t>(offset % kPatternPeriod),
                                    std::min(n, kPatternSpan));
}

void FillPattern(std::uint64_t offset, std::span<std::uint8_t> out)
{
    std::size_t done = 0;
    while (done < out.size())
    {
        const auto slice = PatternSlice(offset + done, out.size() - done);
        std::memcpy(out.data() + done, slice.data(), slice.size());
        done += slice.size();
    }
}

std::optional<std::size_t> FindPatternMismatch(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        const auto slice = PatternSlice(offset + done, bytes.size() - done);
        if (std::memcmp(bytes.data() + done, slice.data(), slice.size()) != 0)
        {
            for (std::size_t i = 0; i < slice.size(); ++i)
            {
                if (bytes[done + i] != slice[i])
                {
                    return done + i;
                }
            }
        }
        done += slice.size();
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
    // Whole packets per Send, so that no short packet follows each chunk; the
    // pattern table is constant, so its slices are sent where they lie.
    std::size_t chunk = m_options.sourceChunk;
    if (const ChannelConfig* config = context.Description().FindChannel(context.Channel()))
    {
        const std::size_t packet = std::max<std::size_t>(config->sendPayloadLimit, 1);
        chunk = std::max(std::min(chunk, kPatternSpan) / packet, std::size_t{1}) * packet;
    }
    std::uint64_t offset = 0;
    while (!m_stop && offset < m_options.sourceBytes)
    {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk, m_options.sourceBytes - offset));
        const auto slice = PatternSlice(offset, want);
        if (!context.SendConstant(slice))
        {
            return;
        }
        offset += slice.size();
        m_stats->AddSent(slice.size());
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
