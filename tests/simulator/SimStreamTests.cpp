// Stream channels for throughput tests: echo, sink with pattern check, source.
#include "SimCamera.h"
#include "SimStreamHandler.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <future>

namespace
{

using namespace Q7::Sim;
using namespace SimTest;

Bytes PatternBytes(std::uint64_t offset, std::size_t n)
{
    Bytes b(n);
    FillPattern(offset, b);
    return b;
}

TEST(SimStream, EchoReturnsEveryByteInOrder)
{
    Camera camera;
    camera.SetLogSink({});
    auto stats = std::make_shared<StreamStats>();
    camera.SetChannelHandler({4, 1}, StreamHandler::Factory({.echo = true, .checkPattern = true}, stats));
    camera.Start();
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(4, 1));
    constexpr std::size_t kTotal = 1 << 20;
    constexpr std::size_t kChunk = 60000;
    // The host writes from one thread and reads from this one, as a host under flow control does.
    auto writer = std::async(std::launch::async,
                             [&]
                             {
                                 for (std::size_t off = 0; off < kTotal; off += kChunk)
                                 {
                                     const auto n = std::min(kChunk, kTotal - off);
                                     if (!c.Send(Data(4, 1, PatternBytes(off, n))))
                                     {
                                         return false;
                                     }
                                 }
                                 return true;
                             });
    auto back = c.ReceiveData(4, 1, kTotal, 15s);
    ASSERT_TRUE(writer.get());
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), kTotal);
    EXPECT_FALSE(FindPatternMismatch(0, *back).has_value());
    EXPECT_EQ(stats->BytesReceived(), kTotal);
    EXPECT_EQ(stats->PatternErrors(), 0u);
    EXPECT_TRUE(camera.Violations().empty()) << camera.Snapshot().DescribeViolations();
}

// A lost or altered byte on the way to the camera is caught by the pattern check.
TEST(SimStream, SinkCatchesCorruptedData)
{
    Camera camera;
    camera.SetLogSink({});
    auto stats = std::make_shared<StreamStats>();
    camera.SetChannelHandler({4, 2}, StreamHandler::Factory({.checkPattern = true}, stats));
    camera.Start();
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(4, 2));
    ASSERT_TRUE(c.Send(Data(4, 2, PatternBytes(0, 1000))));
    ASSERT_TRUE(c.Send(Data(4, 2, PatternBytes(1001, 1000)))); // one byte lost in between
    ASSERT_TRUE(stats->WaitForReceived(2000, 10s));
    EXPECT_EQ(stats->PatternErrors(), 1u);
    EXPECT_EQ(camera.Snapshot().CountViolations(ViolationKind::DataIntegrity), 1u);
}

TEST(SimStream, SourceProducesTheRequestedPatternInLimitedPackets)
{
    Camera camera;
    camera.SetLogSink({});
    auto d = camera.Description();
    auto stats = std::make_shared<StreamStats>();
    camera.SetChannelHandler({5, 1}, StreamHandler::Factory({.sourceBytes = 3'000'000}, stats));
    camera.Start();
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(5, 1));
    Bytes all;
    while (all.size() < 3'000'000)
    {
        auto p = c.Receive();
        ASSERT_TRUE(p);
        ASSERT_EQ(p->type, 0x02);
        ASSERT_LE(p->payloadLength, d.FindChannel({5, 1})->sendPayloadLimit);
        all.insert(all.end(), p->payload.begin(), p->payload.end());
    }
    EXPECT_EQ(all.size(), 3'000'000u);
    EXPECT_FALSE(FindPatternMismatch(0, all).has_value());
    EXPECT_TRUE(stats->WaitForSent(3'000'000, 10s));
    EXPECT_FALSE(c.Receive(100ms)); // nothing more
}

// Closing a source channel stops its producer and drops the data it had queued.
TEST(SimStream, ClosingAnUnlimitedSourceStopsIt)
{
    Camera camera;
    camera.SetLogSink({});
    auto stats = std::make_shared<StreamStats>();
    camera.SetChannelHandler({5, 2},
                             StreamHandler::Factory({.sourceBytes = StreamHandler::kUnlimited}, stats));
    camera.Start();
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(5, 2));
    ASSERT_TRUE(c.Send(CloseRequest(5, 2)));
    bool closed = false;
    while (!closed)
    {
        auto p = c.Receive();
        ASSERT_TRUE(p);
        closed = p->type == 0x81;
    }
    EXPECT_TRUE(camera.WaitUntil([](const Observations& o) { return o.closesCompleted == 1; }, 10s));
    const auto sent = stats->BytesSent();
    // Reopening starts a fresh stream from offset 0.
    ASSERT_TRUE(c.Open(5, 2));
    auto first = c.ReceiveData(5, 2, 1000);
    ASSERT_TRUE(first);
    EXPECT_FALSE(FindPatternMismatch(0, std::span(*first).first(1000)).has_value());
    EXPECT_TRUE(stats->WaitForSent(sent + 1, 10s));
}

} // namespace
