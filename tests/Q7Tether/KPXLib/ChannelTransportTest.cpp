// Channel transport: routing, flow control, ErrorReply 4, write alignment and
// time-outs, the derived write time-out, start and stop.

#include "Channel/KPXChannelTransport.h"
#include "ChannelTestSupport.h"
#include "MemoryPipePair.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using namespace KpxTest;
using Q7::KPX::ChannelTransport;
using Q7::KPX::kMaxPacketLength;

class ChannelTransportTest : public ::testing::Test
{
protected:
    explicit ChannelTransportTest(std::size_t capacity = 1 << 20, PipeKind kind = PipeKind::kTcpLike)
        : device(capacity, kind), transport(device, kDefaultPipeId), camera(device.Link())
    {
    }

    // Registers channel.sub with the time-out a channel gives at its start.
    void Register(std::uint8_t channel, std::uint8_t sub)
    {
        transport.SetChannelTimeout(channel, sub, 1000);
        transport.RegisterChannel(channel, sub, true);
    }

    bool Receive(std::uint8_t channel, std::uint8_t sub)
    {
        return transport.ReceivePacket(channel, sub, Q7::KPX::PacketBuffer(buffer->data(), kMaxPacketLength));
    }

    MemoryDevice device;
    ChannelTransport transport;
    CameraEnd camera;
    std::unique_ptr<std::array<std::uint8_t, kMaxPacketLength>> buffer =
        std::make_unique<std::array<std::uint8_t, kMaxPacketLength>>();
};

// ---------------------------------------------------------------- derived settings

TEST_F(ChannelTransportTest, WriteTimeoutIsTheLargestOfTheRegisteredChannels)
{
    Register(1, 0);
    transport.SetChannelTimeout(2, 0, 12000);
    transport.RegisterChannel(2, 0, true);
    EXPECT_EQ(transport.GetWriteTimeout(), 12000u);

    // Unregistering the 12000 channel with two entries in the map recomputes.
    transport.RegisterChannel(2, 0, false);
    EXPECT_EQ(transport.GetWriteTimeout(), 1000u);
}

TEST_F(ChannelTransportTest, UnregisteringTheOnlyChannelClearsTimeoutAndDebug)
{
    Register(1, 0);
    transport.SetChannelDebug(1, 0, true);
    EXPECT_TRUE(transport.AreTimeoutsDisabled());
    EXPECT_EQ(transport.GetWriteTimeout(), 0xFFFFFFFFu);

    transport.RegisterChannel(1, 0, false);
    EXPECT_FALSE(transport.AreTimeoutsDisabled());
    EXPECT_EQ(transport.GetWriteTimeout(), 0u);
}

TEST_F(ChannelTransportTest, DebugIsRecomputedOverTheRegisteredChannels)
{
    Register(1, 0);
    Register(2, 0);
    transport.SetChannelDebug(1, 0, true);
    transport.SetChannelDebug(2, 0, true);
    transport.SetChannelDebug(1, 0, false);
    EXPECT_TRUE(transport.AreTimeoutsDisabled()); // 2.0 still has debug on
    transport.SetChannelDebug(2, 0, false);
    EXPECT_FALSE(transport.AreTimeoutsDisabled());
}

TEST_F(ChannelTransportTest, RegisteringTwiceOrUnregisteringTwiceChangesNothing)
{
    Register(1, 0);
    transport.RegisterChannel(1, 0, true);
    EXPECT_EQ(transport.GetWriteTimeout(), 1000u);
    transport.RegisterChannel(1, 0, false);
    transport.RegisterChannel(1, 0, false);
    EXPECT_EQ(transport.GetWriteTimeout(), 0u);
}

TEST_F(ChannelTransportTest, TimeoutOfAnUnregisteredChannelDoesNotCount)
{
    Register(1, 0);
    transport.SetChannelTimeout(3, 0, 50000);
    EXPECT_EQ(transport.GetWriteTimeout(), 1000u);
    transport.SetChannelTimeout(1, 0, 20000);
    EXPECT_EQ(transport.GetWriteTimeout(), 20000u);
    transport.SetChannelTimeout(1, 0, 500); // lower than before: recomputed, not kept
    EXPECT_EQ(transport.GetWriteTimeout(), 500u);
}

// ---------------------------------------------------------------- start and stop

TEST_F(ChannelTransportTest, StartOnAStartedTransportRaisesAlreadyOpen)
{
    ASSERT_EQ(transport.Start(), 0u);
    EXPECT_EQ(RaisedCode([&] { transport.Start(); }), 0x65006Cu);
    EXPECT_TRUE(transport.IsOpen());
}

TEST_F(ChannelTransportTest, StartReturnsThePipesOpenResult)
{
    camera.Drop();
    EXPECT_EQ(transport.Start(), 4u);
    EXPECT_FALSE(transport.IsOpen());
}

TEST_F(ChannelTransportTest, StopNamesTheReceiveThreadAndCanStartAgain)
{
    LogCapture log;
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    // Hold the thread on a packet nobody asked for, so that closing the pipe
    // alone does not end it and Stop has to stop it.
    camera.WriteBytes(MakeData(1, 0, {1}));
    ASSERT_TRUE(camera.WaitHostRead(16));
    transport.Stop();
    EXPECT_EQ(log.Count(L"Stopping KPX ChannelTransport thread (pipe 1)"), 1u);
    EXPECT_FALSE(transport.IsOpen());
    EXPECT_EQ(transport.Start(), 0u);
}

// A channel blocked in ReceivePacket must be released by Stop, not hang.
TEST_F(ChannelTransportTest, StopWakesAPendingReceive)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    auto pending = std::async(std::launch::async, [&] { return Receive(1, 0); });
    transport.Stop();
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(pending.get());
}

// Stopping while the receive thread waits for a channel that posted nothing
// (flow control) ends the thread at once.
TEST_F(ChannelTransportTest, StopEndsAReceiveThreadHeldByFlowControl)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    camera.WriteBytes(MakeData(1, 0, std::vector<std::uint8_t>(20, 7)));
    ASSERT_TRUE(camera.WaitHostRead(16));
    auto stopped = std::async(std::launch::async, [&] { transport.Stop(); });
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
}

TEST_F(ChannelTransportTest, UnregisteringEndsAPendingReceive)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    auto pending = std::async(std::launch::async, [&] { return Receive(1, 0); });
    transport.RegisterChannel(1, 0, false);
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(pending.get());
}

TEST_F(ChannelTransportTest, ReceiveOnAStoppedTransportAnswersFalseAtOnce)
{
    Register(1, 0);
    EXPECT_FALSE(Receive(1, 0));
}

// ---------------------------------------------------------------- routing

TEST_F(ChannelTransportTest, DeliversAWholePacketIntoThePostedBuffer)
{
    Register(2, 0);
    ASSERT_EQ(transport.Start(), 0u);
    const std::vector<std::uint8_t> packet = MakeData(2, 0, {1, 2, 3, 4, 5});
    camera.WriteBytes(packet);
    ASSERT_TRUE(Receive(2, 0));
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), buffer->begin()));
}

TEST_F(ChannelTransportTest, HeaderBytesBeyondSixteenAreDeliveredWithThePacket)
{
    Register(2, 0);
    ASSERT_EQ(transport.Start(), 0u);
    std::vector<std::uint8_t> packet = MakePacket(0x02, 2, 0, 3, 0, 0, 24);
    packet[24] = 0xA1;
    packet[26] = 0xA3;
    camera.WriteBytes(packet);
    ASSERT_TRUE(Receive(2, 0));
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), buffer->begin()));
}

// A packet for a channel nobody registered: its bytes are read away, ErrorReply
// 4 goes back to that channel with the packet's tag, and the next packet is
// handled normally.
TEST_F(ChannelTransportTest, PacketForAnUnregisteredChannelIsAnsweredWithErrorReply4)
{
    LogCapture log;
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    camera.WriteBytes(MakePacket(0x02, 7, 0, 10, 6, 0x33));
    const std::vector<std::uint8_t> next = MakeData(1, 0, {9, 8, 7});
    camera.WriteBytes(next);

    ASSERT_TRUE(Receive(1, 0));
    EXPECT_TRUE(std::equal(next.begin(), next.end(), buffer->begin()));

    const auto reply = camera.ReadPacket();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 256u);
    EXPECT_EQ(TypeOf(*reply), 0xFF);
    EXPECT_EQ((*reply)[5], 16);
    EXPECT_EQ((*reply)[6], 7);
    EXPECT_EQ((*reply)[7], 0);
    EXPECT_EQ(GetU16(*reply, 8), 2u);
    EXPECT_EQ((*reply)[10], 238);
    EXPECT_EQ((*reply)[16], 4);
    EXPECT_EQ((*reply)[17], 0x33);
    EXPECT_EQ(log.Count(L"Received KPX channel packet with unsupported channel 7.0."), 1u);
    EXPECT_EQ(log.Count(L"KPX channel transport discarding 16 bytes."), 1u);
    EXPECT_EQ(log.Count(L"KPX channel 7.0 sending ErrorReply 4 - Unsupported channel/sub-channel."), 1u);
}

TEST_F(ChannelTransportTest, AnErrorReplyForAnUnregisteredChannelIsNotAnswered)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    camera.WriteBytes(MakeErrorReply(7, 0, 3));
    camera.WriteBytes(MakeData(1, 0, {1}));
    ASSERT_TRUE(Receive(1, 0));
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

// Flow control: with no request posted the receive thread reads nothing further
// from the pipe, so later packets (even for other channels) wait.
TEST_F(ChannelTransportTest, APacketWaitsUntilItsChannelPostsARequest)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    camera.WriteBytes(MakeData(1, 0, std::vector<std::uint8_t>(20, 1)));
    camera.WriteBytes(MakeData(7, 0, {1}));
    ASSERT_TRUE(camera.WaitHostRead(16));
    EXPECT_FALSE(camera.WaitHostRead(17, 100ms)); // held: not even the payload is read
    EXPECT_EQ(camera.PendingFromHost(), 0u);

    ASSERT_TRUE(Receive(1, 0));
    const auto reply = camera.ReadPacket(); // now the 7.0 packet is reached
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[16], 4);
}

TEST_F(ChannelTransportTest, ABadHeaderEndsTheReceiveLoop)
{
    LogCapture log;
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    camera.WriteBytes(MakePacket(0x02, 1, 0, 4, 0, 0, 20)); // headerLength 20: not a multiple of 8
    auto pending = std::async(std::launch::async, [&] { return Receive(1, 0); });
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(pending.get());
    EXPECT_EQ(log.Count(L"Bad channel packet header: AA BB CC DD 02 14 01 00"), 1u);
}

TEST_F(ChannelTransportTest, ALostLinkEndsAPendingReceive)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    auto pending = std::async(std::launch::async, [&] { return Receive(1, 0); });
    camera.Drop();
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(pending.get());
    EXPECT_FALSE(transport.IsConnected());
}

// Posted buffers are filled in the order they were posted, one packet each, and
// taken back in that order.
TEST_F(ChannelTransportTest, PostedBuffersAreFilledAndTakenInOrder)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    std::vector<std::array<std::uint8_t, kMaxPacketLength>> buffers(3);
    for (auto& b : buffers)
    {
        ASSERT_TRUE(transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(b.data(), kMaxPacketLength)));
    }
    for (std::uint8_t i = 0; i < 3; ++i)
    {
        camera.WriteBytes(MakeData(1, 0, {i, i, i}));
    }
    for (std::uint8_t i = 0; i < 3; ++i)
    {
        std::uint8_t* const packet = transport.TakeReceivedPacket(1, 0, nullptr);
        ASSERT_EQ(packet, buffers[i].data());
        EXPECT_EQ(packet[16], i);
    }
}

// With every posted buffer filled, the next packet waits in the pipe until a
// buffer is posted again.
TEST_F(ChannelTransportTest, ThePipeStallsOnceEveryPostedBufferIsFilled)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    std::vector<std::array<std::uint8_t, kMaxPacketLength>> buffers(2);
    for (auto& b : buffers)
    {
        ASSERT_TRUE(transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(b.data(), kMaxPacketLength)));
    }
    for (std::uint8_t i = 0; i < 3; ++i)
    {
        camera.WriteBytes(MakeData(1, 0, std::vector<std::uint8_t>(10, i)));
    }
    ASSERT_TRUE(camera.WaitHostRead(2 * 26 + 16));
    EXPECT_FALSE(camera.WaitHostRead(2 * 26 + 17, 100ms));
    std::uint8_t* const first = transport.TakeReceivedPacket(1, 0, nullptr);
    ASSERT_EQ(first, buffers[0].data());
    ASSERT_TRUE(transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(first, kMaxPacketLength)));
    EXPECT_EQ(transport.TakeReceivedPacket(1, 0, nullptr), buffers[1].data());
    std::uint8_t* const third = transport.TakeReceivedPacket(1, 0, nullptr);
    ASSERT_EQ(third, buffers[0].data());
    EXPECT_EQ(third[16], 2);
}

TEST_F(ChannelTransportTest, CancelReceiveWithdrawsEveryBuffer)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    std::array<std::uint8_t, kMaxPacketLength> withdrawn{};
    ASSERT_TRUE(transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(withdrawn.data(), kMaxPacketLength)));
    transport.CancelReceive(1, 0);
    camera.WriteBytes(MakeData(1, 0, {7}));
    ASSERT_TRUE(camera.WaitHostRead(16));
    EXPECT_FALSE(camera.WaitHostRead(17, 100ms)); // nowhere to put it
    EXPECT_EQ(withdrawn[0], 0);
    ASSERT_TRUE(Receive(1, 0));
    EXPECT_EQ((*buffer)[16], 7);
}

TEST_F(ChannelTransportTest, TakeEndsWhenAnAbortObjectFires)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    Q7::Platform::EventCondition_Posix abort;
    abort.Set();
    const Q7::KPX::WaitObjectList aborts{&abort};
    EXPECT_EQ(transport.TakeReceivedPacket(1, 0, &aborts), nullptr);
}

TEST_F(ChannelTransportTest, PostingOnAnUnregisteredChannelIsRefused)
{
    ASSERT_EQ(transport.Start(), 0u);
    EXPECT_FALSE(transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(buffer->data(), kMaxPacketLength)));
}

// A buffer posted while its channel is being unregistered on another thread is
// either refused or withdrawn: it must never stay posted and be filled once the
// channel registers again (received data would land in a buffer its channel
// has given up, possibly freed). A race, so it is tried many times.
TEST_F(ChannelTransportTest, APostRacingUnregisteringNeverLeavesAStaleBuffer)
{
    constexpr int kRounds = 20000;
    ASSERT_EQ(transport.Start(), 0u);
    auto stale = std::make_unique<std::array<std::uint8_t, kMaxPacketLength>>();
    // One poster thread for all rounds. In each round both threads meet, then
    // the poster posts while this thread unregisters.
    std::atomic<int> started{-1};
    std::atomic<int> arrived{-1};
    std::atomic<int> posted{-1};
    std::thread poster(
        [&]
        {
            for (int round = 0; round < kRounds; ++round)
            {
                while (started.load() < round)
                {
                    std::this_thread::yield();
                }
                arrived.store(round);
                transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(stale->data(), kMaxPacketLength));
                posted.store(round);
            }
        });
    int failedRound = -1;
    for (int round = 0; round < kRounds && failedRound < 0; ++round)
    {
        Register(1, 0);
        started.store(round);
        while (arrived.load() < round)
        {
            std::this_thread::yield();
        }
        transport.RegisterChannel(1, 0, false);
        transport.CancelReceive(1, 0);
        while (posted.load() < round)
        {
            std::this_thread::yield();
        }

        Register(1, 0);
        const bool accepted =
            transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(buffer->data(), kMaxPacketLength));
        camera.WriteBytes(MakeData(1, 0, {1, 2, 3}));
        const std::uint8_t* const filled = accepted ? transport.TakeReceivedPacket(1, 0, nullptr) : nullptr;
        if (filled != buffer->data())
        {
            failedRound = round;
        }
        transport.RegisterChannel(1, 0, false);
        transport.CancelReceive(1, 0);
    }
    started.store(kRounds); // lets the poster run out after a failed round
    poster.join();
    EXPECT_EQ(failedRound, -1);
}

TEST_F(ChannelTransportTest, ReceivePacketBesidePostedBuffersIsRefused)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    std::array<std::uint8_t, kMaxPacketLength> posted{};
    ASSERT_TRUE(transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(posted.data(), kMaxPacketLength)));
    EXPECT_EQ(RaisedCode([&] { Receive(1, 0); }), 0x650067u);
    transport.CancelReceive(1, 0);
}

// ---------------------------------------------------------------- writing

TEST_F(ChannelTransportTest, ADataPacketIsPaddedToTheChannelsAlignment)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    transport.SetChannelAlignment(1, 0, 4, 0);
    Q7::KPX::CommonPacketHeader header;
    header.channelNumber = 1;
    header.payloadLength = 8;
    const std::vector<std::uint8_t> payload(8, 0x5C);
    ASSERT_EQ(transport.WriteDataPacket(header, payload), 0u);

    const auto sent = camera.ReadBytes(32);
    ASSERT_TRUE(sent);
    EXPECT_EQ((*sent)[10], 8); // paddingLength
    EXPECT_EQ((*sent)[16], 0x5C);
    for (std::size_t i = 24; i < 32; ++i)
    {
        EXPECT_EQ((*sent)[i], 0) << i;
    }
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

TEST_F(ChannelTransportTest, WithoutAlignmentADataPacketHasNoPadding)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    Q7::KPX::CommonPacketHeader header;
    header.channelNumber = 1;
    header.payloadLength = 8;
    ASSERT_EQ(transport.WriteDataPacket(header, std::vector<std::uint8_t>(8, 1)), 0u);
    const auto sent = camera.ReadBytes(24);
    ASSERT_TRUE(sent);
    EXPECT_EQ((*sent)[10], 0);
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

TEST_F(ChannelTransportTest, AlignmentExponentsAreClampedToEight)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    transport.SetChannelAlignment(1, 0, 12, 9);
    Q7::KPX::CommonPacketHeader header;
    header.channelNumber = 1;
    header.payloadLength = 8;
    ASSERT_EQ(transport.WriteDataPacket(header, std::vector<std::uint8_t>(8, 1)), 0u);
    const auto sent = camera.ReadBytes(256);
    ASSERT_TRUE(sent);
    EXPECT_EQ((*sent)[10], 232);
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

TEST_F(ChannelTransportTest, AnAlignedControlPacketIsSentAsItIs)
{
    LogCapture log;
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    transport.SetChannelAlignment(1, 0, 8, 0);
    const std::vector<std::uint8_t> close = MakeControl(0x01, 1, 0);
    ASSERT_EQ(transport.WritePacket(close), 0u);
    const auto sent = camera.ReadBytes(256);
    ASSERT_TRUE(sent);
    EXPECT_EQ(*sent, close);
    EXPECT_EQ(log.Count(L"misaligned"), 0u);
}

TEST_F(ChannelTransportTest, AMisalignedPacketWithItsOwnPaddingIsCorrectedWithAWarning)
{
    LogCapture log;
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    transport.SetChannelAlignment(1, 0, 4, 0);
    std::vector<std::uint8_t> packet = MakePacket(0x02, 1, 0, 8, 3);
    ASSERT_EQ(transport.WritePacket(packet), 0u);
    const auto sent = camera.ReadBytes(32);
    ASSERT_TRUE(sent);
    EXPECT_EQ((*sent)[10], 8);
    EXPECT_EQ(camera.PendingFromHost(), 0u);
    EXPECT_EQ(log.Count(L"Warning: KPX channel write packet is misaligned. Correcting."), 1u);
}

TEST_F(ChannelTransportTest, AMisalignedPacketWithoutPaddingIsPaddedSilently)
{
    LogCapture log;
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    transport.SetChannelAlignment(1, 0, 4, 0);
    ASSERT_EQ(transport.WritePacket(MakePacket(0x03, 1, 0, 8, 0)), 0u);
    const auto sent = camera.ReadBytes(32);
    ASSERT_TRUE(sent);
    EXPECT_EQ((*sent)[10], 8);
    EXPECT_EQ(log.Count(L"misaligned"), 0u);
}

TEST_F(ChannelTransportTest, WritingOnAnUnregisteredChannelIsClosed)
{
    ASSERT_EQ(transport.Start(), 0u);
    EXPECT_EQ(transport.WritePacket(MakeControl(0x01, 3, 0)), 3u);
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

TEST_F(ChannelTransportTest, WritingOnAClosedPipeIsClosed)
{
    Register(1, 0);
    EXPECT_EQ(transport.WritePacket(MakeControl(0x01, 1, 0)), 3u);
}

TEST_F(ChannelTransportTest, WritingOnALostLinkIsNotConnected)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    camera.Drop();
    EXPECT_EQ(transport.WritePacket(MakeControl(0x01, 1, 0)), 4u);
}

TEST_F(ChannelTransportTest, SendErrorReplyNeverAnswersAnErrorReply)
{
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    const auto offending = Q7::KPX::DecodePacketHeader(MakeErrorReply(1, 0, 2));
    EXPECT_TRUE(transport.SendErrorReply(3, *offending));
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

class SmallPipeChannelTransportTest : public ChannelTransportTest
{
protected:
    SmallPipeChannelTransportTest() : ChannelTransportTest(512) {}
};

// A camera that stops reading makes a write fail with 2 after the channel's
// time-out instead of blocking for ever.
TEST_F(SmallPipeChannelTransportTest, AWriteTimesOutWhenTheCameraStopsReading)
{
    LogCapture log;
    transport.SetChannelTimeout(1, 0, 100);
    transport.RegisterChannel(1, 0, true);
    ASSERT_EQ(transport.Start(), 0u);
    std::uint32_t result = 0;
    for (int i = 0; i < 10 && result == 0; ++i)
    {
        result = transport.WritePacket(MakeControl(0x01, 1, 0));
    }
    EXPECT_EQ(result, 2u);
    EXPECT_EQ(log.Count(L"KPX channel 1.0 write timeout."), 1u);
}

// ---------------------------------------------------------------- pipes that honour abort objects

class AbortablePipeTest : public ChannelTransportTest
{
protected:
    AbortablePipeTest() : ChannelTransportTest(512, PipeKind::kAbortable) {}
};

// A write blocked by a camera that does not read ends with 3 as soon as its
// channel unregisters, reporting only whole packets. Fault caught: the write
// staying blocked until the write time-out.
TEST_F(AbortablePipeTest, AWriteIsAbortedWhenItsChannelUnregisters)
{
    LogCapture log;
    Register(1, 0);
    ASSERT_EQ(transport.Start(), 0u);
    const std::vector<std::uint8_t> data(16 * 240, 1);
    std::uint32_t written = 99;
    auto write =
        std::async(std::launch::async, [&] { return transport.WriteDataPackets(1, 0, data, 240, &written); });
    ASSERT_NE(write.wait_for(50ms), std::future_status::ready); // 512 bytes taken, then blocked
    transport.RegisterChannel(1, 0, false);
    ASSERT_EQ(write.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(write.get(), 3u);
    EXPECT_EQ(written, 2u * 240u); // the two packets within the 512 bytes taken
    EXPECT_EQ(log.Count(L"KPX channel 1.0 write aborted."), 1u);
}

// A receiver that offers one destination to the transport's direct delivery.
class OneReadReceiver final : public Q7::KPX::DirectDataReceiver
{
public:
    explicit OneReadReceiver(std::span<std::uint8_t> destination) : m_destination(destination) {}

    bool AcceptsDirectData() const override { return true; }

    Piece ClaimPiece(std::uint32_t maxSize, std::uint32_t /*packetLeft*/,
                     std::span<Q7::Platform::BaseWaitObject* const> aborts, std::uint32_t& abortIndex,
                     std::uint32_t waitMs) override
    {
        abortIndex = Q7::Platform::kNoSignalledIndex;
        const std::lock_guard lock(m_mutex);
        if (m_moved < m_destination.size())
        {
            return {
                m_destination.data() + m_moved,
                std::min<std::uint32_t>(maxSize, static_cast<std::uint32_t>(m_destination.size() - m_moved))};
        }
        // No more reads: the packet goes to the queue unless the transport stops first.
        Q7::Platform::WaitForObjects(&abortIndex, static_cast<std::uint32_t>(aborts.size()), aborts.data(),
                                     false, waitMs);
        return {};
    }

    void CompletePiece(std::uint32_t moved, bool /*wakeLater*/) override
    {
        const std::lock_guard lock(m_mutex);
        m_moved += moved;
    }

    void WakeReader() override {}

    Q7::Platform::BaseWaitObject& PieceAbortObject() override { return m_neverSet; }

    std::size_t Moved()
    {
        const std::lock_guard lock(m_mutex);
        return m_moved;
    }

private:
    std::mutex m_mutex; // guards m_moved
    const std::span<std::uint8_t> m_destination;
    std::size_t m_moved = 0;
    Q7::Platform::EventCondition_Posix m_neverSet;
};

// A receiver that takes every packet into its lookahead at once and records,
// per piece, whether the transport put the reader's wake off.
class LookaheadReceiver final : public Q7::KPX::DirectDataReceiver
{
public:
    bool AcceptsDirectData() const override { return true; }

    Piece ClaimPiece(std::uint32_t /*maxSize*/, std::uint32_t packetLeft,
                     std::span<Q7::Platform::BaseWaitObject* const> /*aborts*/, std::uint32_t& abortIndex,
                     std::uint32_t /*waitMs*/) override
    {
        abortIndex = Q7::Platform::kNoSignalledIndex;
        const std::lock_guard lock(m_mutex);
        return {m_room.data() + m_used, std::min<std::uint32_t>(packetLeft, kRoom - m_used), true};
    }

    void CompletePiece(std::uint32_t moved, bool wakeLater) override
    {
        const std::lock_guard lock(m_mutex);
        m_used += moved;
        m_wakeLater.push_back(wakeLater);
        m_changed.notify_all();
    }

    void WakeReader() override
    {
        const std::lock_guard lock(m_mutex);
        m_wakes.push_back(m_wakeLater.size());
    }

    Q7::Platform::BaseWaitObject& PieceAbortObject() override { return m_neverSet; }

    // The wakeLater of each piece, once `count` pieces have ended.
    std::vector<bool> WaitForPieces(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 5s, [&] { return m_wakeLater.size() >= count; });
        return m_wakeLater;
    }

    std::vector<std::uint8_t> Bytes()
    {
        const std::lock_guard lock(m_mutex);
        return {m_room.begin(), m_room.begin() + m_used};
    }

    std::vector<std::size_t> Wakes()
    {
        const std::lock_guard lock(m_mutex);
        return m_wakes;
    }

private:
    static constexpr std::uint32_t kRoom = 4096;
    std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    std::array<std::uint8_t, kRoom> m_room{};
    std::uint32_t m_used = 0;
    std::vector<bool> m_wakeLater;
    std::vector<std::size_t> m_wakes; // pieces ended at each WakeReader
    Q7::Platform::EventCondition_Posix m_neverSet;
};

// Three small messages of a channel arrive together, then a packet of another
// channel: the reader's wake is put off while the packets at hand go into its
// lookahead, and comes with the last of them, before the other channel's
// packet is handled. Faults caught: the reader woken at each packet (a wake-up
// of the reader and of the transport's thread per message), or left asleep
// once nothing of its channel is at hand.
TEST_F(ChannelTransportTest, TheReadersWakeWaitsForItsPacketsAtHandOnly)
{
    Register(1, 0);
    Register(2, 0);
    LookaheadReceiver receiver;
    transport.SetDirectDataReceiver(1, 0, &receiver);
    ASSERT_EQ(transport.Start(), 0u);
    std::vector<std::uint8_t> together;
    std::vector<std::uint8_t> expected;
    for (const std::size_t size : {36, 156, 32})
    {
        std::vector<std::uint8_t> payload(size);
        for (std::size_t i = 0; i < size; ++i)
        {
            payload[i] = static_cast<std::uint8_t>(size + i);
        }
        const std::vector<std::uint8_t> packet = MakeData(1, 0, payload);
        together.insert(together.end(), packet.begin(), packet.end());
        expected.insert(expected.end(), payload.begin(), payload.end());
    }
    const std::vector<std::uint8_t> other = MakeData(2, 0, {7, 8, 9});
    together.insert(together.end(), other.begin(), other.end());
    camera.WriteBytes(together);

    EXPECT_EQ(receiver.WaitForPieces(3), (std::vector<bool>{true, true, false}));
    ASSERT_TRUE(Receive(2, 0));
    EXPECT_TRUE(std::equal(other.begin(), other.end(), buffer->begin()));
    EXPECT_EQ(receiver.Bytes(), expected);
    EXPECT_TRUE(receiver.Wakes().empty()); // the last piece woke the reader itself
    transport.Stop();
    transport.SetDirectDataReceiver(1, 0, nullptr);
}

// Where the packet being cut goes: into a posted buffer, or straight into a
// channel's read.
enum class Into
{
    kBuffer,
    kRead,
};

class CancelMidPacketTest : public AbortablePipeTest, public ::testing::WithParamInterface<Into>
{
};

// The channel withdraws while the rest of a packet it receives is still
// arriving: the pipe read ends at once, the bytes not yet read are read away,
// and the next packet is delivered whole. Fault caught: the stream left in the
// middle of a payload, or the transport writing on into what was withdrawn.
TEST_P(CancelMidPacketTest, TheRestIsReadAwayAndTheStreamStaysInStep)
{
    LogCapture log;
    Register(1, 0);
    std::vector<std::uint8_t> destination(kMaxPacketLength, 0xEE);
    OneReadReceiver receiver{std::span(destination).first(200)};
    if (GetParam() == Into::kRead)
    {
        transport.SetDirectDataReceiver(1, 0, &receiver);
    }
    ASSERT_EQ(transport.Start(), 0u);
    if (GetParam() == Into::kBuffer)
    {
        ASSERT_TRUE(
            transport.PostReceiveBuffer(1, 0, Q7::KPX::PacketBuffer(destination.data(), kMaxPacketLength)));
    }
    const std::vector<std::uint8_t> cut = MakeData(1, 0, std::vector<std::uint8_t>(100, 5));
    camera.WriteBytes(std::span(cut).first(16 + 30));
    ASSERT_TRUE(camera.WaitHostReadWaitingFor(70));

    auto cancelled = std::async(std::launch::async, [&] { transport.CancelReceive(1, 0); });
    ASSERT_TRUE(log.WaitFor(L"KPX channel transport discarding 70 bytes."));
    camera.WriteBytes(std::span(cut).subspan(16 + 30));
    ASSERT_EQ(cancelled.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(log.Count(L"KPX channel 1.0 read aborted."), 1u);
    const std::size_t landed = GetParam() == Into::kRead ? 30 : 16 + 30;
    EXPECT_EQ(destination[landed], 0xEE);
    if (GetParam() == Into::kRead)
    {
        EXPECT_EQ(receiver.Moved(), 30u);
        transport.SetDirectDataReceiver(1, 0, nullptr);
    }

    const std::vector<std::uint8_t> next = MakeData(1, 0, {7, 8, 9});
    camera.WriteBytes(next);
    ASSERT_TRUE(Receive(1, 0));
    EXPECT_TRUE(std::equal(next.begin(), next.end(), buffer->begin()));
}

INSTANTIATE_TEST_SUITE_P(Abortable, CancelMidPacketTest, ::testing::Values(Into::kBuffer, Into::kRead),
                         [](const auto& param)
                         { return param.param == Into::kRead ? "IntoARead" : "IntoABuffer"; });

} // namespace
