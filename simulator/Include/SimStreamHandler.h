// A raw byte-stream channel for throughput tests and benchmarks: the camera
// swallows what the host sends (optionally checking it against a pattern),
// echoes it back, and/or produces a given number of pattern bytes itself.
#pragma once

#include "SimChannelHandler.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

namespace Q7::Sim
{

// The test pattern: byte `offset` of a stream. Reentrant.
std::uint8_t PatternByte(std::uint64_t offset);
// The pattern from `offset`: min(n, 1 MiB) bytes of a shared constant table
// (built on first use). Thread-safe.
std::span<const std::uint8_t> PatternSlice(std::uint64_t offset, std::size_t n);
// Fills `out` with the pattern from `offset`. Thread-safe.
void FillPattern(std::uint64_t offset, std::span<std::uint8_t> out);
// The index of the first byte of `bytes` that differs from the pattern at
// `offset`, or nothing when all match. Reentrant.
std::optional<std::size_t> FindPatternMismatch(std::uint64_t offset, std::span<const std::uint8_t> bytes);

// Counters of a stream channel, summed over its opens. Thread-safe.
class StreamStats
{
public:
    std::uint64_t BytesReceived() const;
    std::uint64_t BytesSent() const;
    std::uint64_t PatternErrors() const;
    // Waits until at least `bytes` were received (or sent); true when reached.
    bool WaitForReceived(std::uint64_t bytes, std::chrono::milliseconds timeout) const;
    bool WaitForSent(std::uint64_t bytes, std::chrono::milliseconds timeout) const;

    void AddReceived(std::uint64_t bytes, bool patternError);
    void AddSent(std::uint64_t bytes);

private:
    mutable std::mutex m_mutex; // guards the counters
    mutable std::condition_variable m_changed;
    std::uint64_t m_received = 0;
    std::uint64_t m_sent = 0;
    std::uint64_t m_patternErrors = 0;
};

class StreamHandler : public ChannelHandler
{
public:
    static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

    struct Options
    {
        bool echo = false;         // send every received byte back
        bool checkPattern = false; // received bytes must follow the pattern from offset 0 of each open
        // Pattern bytes the camera produces after each open (0: none; kUnlimited: until closed).
        std::uint64_t sourceBytes = 0;
        std::size_t sourceChunk = 256 * 1024; // bytes per Send of the producer
    };

    StreamHandler(Options options, std::shared_ptr<StreamStats> stats);
    ~StreamHandler() override;

    void OnOpen(ChannelContext& context) override;
    void OnData(ChannelContext& context, std::span<const std::uint8_t> bytes) override;
    void OnClose(ChannelContext& context) override;

    // A factory whose handlers share `stats`.
    static ChannelHandlerFactory Factory(Options options, std::shared_ptr<StreamStats> stats);

private:
    void Produce(ChannelContext& context);
    void StopProducer();

    Options m_options;
    std::shared_ptr<StreamStats> m_stats;
    std::uint64_t m_receivedThisOpen = 0; // receive thread only
    std::atomic<bool> m_stop{false};
    std::thread m_producer;
};

} // namespace Q7::Sim
