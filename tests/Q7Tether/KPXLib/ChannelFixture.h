// The fixture of the channel tests: a channel over an in-memory pipe whose
// camera end the test plays by hand, with the steps of a cooperating camera.
#pragma once

#include "Channel/KPXChannel.h"
#include "Channel/KPXChannelTransport.h"
#include "ChannelTestSupport.h"
#include "MemoryPipePair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace KpxTest
{

using namespace std::chrono_literals;
using Q7::KPX::Channel;
using Q7::KPX::ChannelTimings;
using Q7::KPX::ChannelTransport;

inline constexpr std::uint8_t kCh = 2;
inline constexpr std::uint8_t kSub = 0;

// Short handshake time-outs, so that tests of them run quickly.
inline ChannelTimings TestTimings()
{
    ChannelTimings timings;
    timings.openReplyTimeoutMs = 500;
    timings.closeReplyTimeoutMs = 500;
    timings.openBudgetMs = 5000;
    timings.openRetryDelayMs = 10;
    timings.closeWaitMs = 5000;
    return timings;
}

class ChannelTest : public ::testing::Test
{
protected:
    explicit ChannelTest(std::size_t capacity = 1 << 20, PipeKind kind = PipeKind::kTcpLike)
        : device(capacity, kind), transport(device, kDefaultPipeId), camera(device.Link()),
          channel(kCh, kSub, transport, TestTimings())
    {
        channel.AddClientMajorVersion({1, 0});
        channel.AddClientMajorVersion({2, 0});
        channel.SetClientMajorVersions({1, 2});
        EXPECT_EQ(transport.Start(), 0u);
        channel.Start();
    }

    ~ChannelTest() override
    {
        camera.Drop(); // nobody answers a CloseRequest now: end the close at once
        channel.Stop();
        transport.Stop();
    }

    // Reads the next packet the host sent and checks its type.
    std::vector<std::uint8_t> Expect(std::uint8_t type)
    {
        const auto packet = camera.ReadPacket();
        EXPECT_TRUE(packet.has_value()) << "no packet of type " << unsigned(type);
        if (!packet)
        {
            return {};
        }
        EXPECT_EQ(TypeOf(*packet), type);
        return *packet;
    }

    std::future<std::int32_t> OpenAsync()
    {
        return std::async(std::launch::async, [this] { return channel.Open(); });
    }

    std::future<std::uint32_t> OpenAsyncCode()
    {
        return std::async(std::launch::async, [this] { return RaisedCode([this] { channel.Open(); }); });
    }

    // A read of one byte without a time-out, on another thread.
    std::future<std::int32_t> ReadByteAsync()
    {
        return std::async(std::launch::async,
                          [this]
                          {
                              std::uint8_t byte = 0;
                              return channel.Read(&byte, 1, nullptr, nullptr, 0xFFFFFFFF);
                          });
    }

    // Stops the channel; the stop must return within 5 s.
    void StopWithinBound()
    {
        auto stopped = std::async(std::launch::async, [this] { channel.Stop(); });
        ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    }

    // Answers the next OpenRequest with an OpenReply.
    void AnswerOpen(const OpenReplyFields& fields = {0, 2, 0})
    {
        Expect(0x00);
        camera.WriteBytes(MakeOpenReply(kCh, kSub, fields));
    }

    // Opens the channel against a cooperating camera.
    void OpenChannel(const OpenReplyFields& fields = {0, 2, 0})
    {
        auto opened = OpenAsync();
        AnswerOpen(fields);
        ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
        ASSERT_EQ(opened.get(), 0);
        ASSERT_TRUE(channel.IsOpen());
    }

    // Expects a CloseRequest and answers it.
    void AnswerClose()
    {
        Expect(0x01);
        camera.WriteBytes(MakeControl(0x81, kCh, kSub));
    }

    MemoryDevice device;
    ChannelTransport transport;
    CameraEnd camera;
    Channel channel;
};

} // namespace KpxTest
