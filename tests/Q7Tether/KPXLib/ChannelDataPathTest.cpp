// The channel's data path over both kinds of in-memory pipe (TCP-like, and
// abortable like USB): Data straight into reads and its fall-backs to the state
// thread, reads that end while a packet is arriving, closing and stopping while
// the transport waits for a read, and writes of whole packets sixteen at a time.

#include "ChannelFixture.h"
#include "Q7PlatformSync_Posix.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <tuple>

namespace
{

using namespace KpxTest;
using Bytes = std::vector<std::uint8_t>;

std::string KindName(PipeKind kind)
{
    return kind == PipeKind::kTcpLike ? "TcpLike" : "Abortable";
}

Bytes Iota(std::size_t count, std::uint8_t first)
{
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class DataPathTest : public ChannelTest, public ::testing::WithParamInterface<PipeKind>
{
protected:
    DataPathTest() : ChannelTest(1 << 20, GetParam()) {}
};

// How the camera end hands over the bytes: all before the first Read (so that
// a read takes many packets in one transfer), or in uneven pieces while the
// host reads (so that headers arrive split).
enum class Arrival
{
    kAtOnce,
    kInPieces,
};

class StreamOrderTest : public ChannelTest,
                        public ::testing::WithParamInterface<std::tuple<PipeKind, Arrival>>
{
protected:
    StreamOrderTest() : ChannelTest(1 << 20, std::get<0>(GetParam())) {}
};

// Faults caught: bytes lost, repeated or reordered when packets straddle reads,
// when a read takes packets of other sizes, channels or types along with its
// own, when Data queues behind a ping or takes the state thread's way (a
// longer header, padding), or when the next header arrives in pieces.
TEST_P(StreamOrderTest, EveryByteArrivesInOrderWhateverThePacketAndReadSizes)
{
    OpenChannel();
    Bytes wire;
    Bytes expected;
    const auto addData = [&](std::size_t size, std::uint8_t headerLength = 16, std::uint8_t padding = 0)
    {
        Bytes packet =
            MakePacket(0x02, kCh, kSub, static_cast<std::uint16_t>(size), padding, 0, headerLength);
        for (std::size_t i = 0; i < size; ++i)
        {
            packet[headerLength + i] = static_cast<std::uint8_t>(expected.size() * 7 + 3);
            expected.push_back(packet[headerLength + i]);
        }
        wire.insert(wire.end(), packet.begin(), packet.end());
    };
    const auto addRaw = [&](const Bytes& packet) { wire.insert(wire.end(), packet.begin(), packet.end()); };
    addData(1);
    addData(100);
    addRaw(MakePing(kCh, kSub, 0x51));
    addData(0);
    addData(1000);
    addData(65535);
    addRaw(MakePacket(0x04, kCh, kSub, 3, 0)); // Null
    addData(7, 24);                            // a longer header
    addData(3000, 16, 8);                      // padding
    addRaw(MakePing(kCh, kSub, 0x52));
    addData(240);
    addRaw(MakeData(7, 0, {1, 2, 3})); // nobody serves 7.0: ErrorReply 4
    addData(65000);
    addData(65000);
    addData(5);

    // The camera writes in uneven pieces while the host reads, or all at once.
    const std::size_t wholeWire = std::get<1>(GetParam()) == Arrival::kAtOnce ? wire.size() : 0;
    auto writer = std::async(std::launch::async,
                             [&]
                             {
                                 const std::size_t sizes[] = {1, 5, 17, 300, 4096, 70000, 15, 16};
                                 std::size_t offset = 0;
                                 for (std::size_t i = 0; offset < wire.size(); ++i)
                                 {
                                     const std::size_t n =
                                         std::min(std::max(sizes[i % 8], wholeWire), wire.size() - offset);
                                     camera.WriteBytes(std::span(wire).subspan(offset, n));
                                     offset += n;
                                 }
                             });
    Bytes received(expected.size());
    const std::uint32_t readSizes[] = {1, 60, 777, 70000, 13};
    for (std::size_t offset = 0, i = 0; offset < received.size(); ++i)
    {
        const auto n =
            static_cast<std::uint32_t>(std::min<std::size_t>(readSizes[i % 5], received.size() - offset));
        std::uint32_t got = 0;
        ASSERT_EQ(channel.Read(received.data() + offset, n, nullptr, &got, 5000), 0) << "at " << offset;
        ASSERT_EQ(got, n);
        offset += n;
    }
    ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(received, expected);
    // The pings are answered in order; the transport's ErrorReply 4 may come
    // between them.
    std::vector<std::uint8_t> answers;
    for (int i = 0; i < 3; ++i)
    {
        const auto packet = camera.ReadPacket();
        ASSERT_TRUE(packet);
        answers.push_back(TypeOf(*packet) == 0xFF ? (*packet)[16] : (*packet)[16] + 0x10);
    }
    std::erase(answers, std::uint8_t{4});
    EXPECT_EQ(answers, (std::vector<std::uint8_t>{0x61, 0x62}));
}

INSTANTIATE_TEST_SUITE_P(Pipes, StreamOrderTest,
                         ::testing::Combine(::testing::Values(PipeKind::kTcpLike, PipeKind::kAbortable),
                                            ::testing::Values(Arrival::kAtOnce, Arrival::kInPieces)),
                         [](const auto& param)
                         {
                             return KindName(std::get<0>(param.param)) +
                                    (std::get<1>(param.param) == Arrival::kAtOnce ? "AtOnce" : "InPieces");
                         });

// Fault caught: a Write sent one packet per pipe write, or broke the packets'
// payload, alignment or order when it gathered them.
TEST_P(DataPathTest, AWriteGoesOutAsWholePaddedPacketsSixteenPerPipeWrite)
{
    OpenChannel({0, 2, 0, 0, 1000, 1, 0x40}); // maximum payload 992, 16-byte alignment
    ASSERT_EQ(channel.GetMaxPayload(), 992);
    const Bytes data = Iota(40 * 992 + 321, 9);
    const std::uint64_t writesBefore = camera.HostWrites();
    std::uint32_t written = 0;
    auto write = std::async(std::launch::async,
                            [&] {
                                return channel.Write(data.data(), static_cast<std::uint32_t>(data.size()),
                                                     nullptr, &written, 5000);
                            });
    Bytes payloads;
    for (int i = 0; i < 41; ++i)
    {
        const Bytes packet = Expect(0x02);
        const std::uint16_t payload = GetU16(packet, 8);
        EXPECT_EQ(payload, i < 40 ? 992u : 321u) << i;
        EXPECT_EQ(packet.size() % 16, 0u) << i;
        EXPECT_EQ(packet[10], packet.size() - 16 - payload) << i;
        payloads.insert(payloads.end(), packet.begin() + 16, packet.begin() + 16 + payload);
    }
    ASSERT_EQ(write.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(write.get(), 0);
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(payloads, data);
    EXPECT_EQ(camera.HostWrites() - writesBefore, 3u); // 16 + 16 + 9 packets
}

INSTANTIATE_TEST_SUITE_P(Pipes, DataPathTest, ::testing::Values(PipeKind::kTcpLike, PipeKind::kAbortable),
                         [](const auto& param) { return KindName(param.param); });

// ---------------------------------------------------------------- a read that ends mid-packet

// How the Read ends: its time-out runs out, or an abort object fires.
enum class ReadEnd
{
    kTimeout,
    kAbort,
};

class MidPacketReadTest : public ChannelTest,
                          public ::testing::WithParamInterface<std::tuple<PipeKind, ReadEnd>>
{
protected:
    MidPacketReadTest() : ChannelTest(1 << 20, std::get<0>(GetParam())) {}
};

// A Read ends while the payload of a packet is on its way into it. It returns
// once the piece under way has landed: at once with the bytes so far on a pipe
// that honours abort objects; only when the piece is complete on a TCP-like
// pipe, whose reads cannot be aborted. Fault caught: the rest of the packet
// lost, or delivered out of step, or the transport writing into the Read's
// buffer after the Read returned.
TEST_P(MidPacketReadTest, TheReadReturnsWithWhatLandedAndTheStreamStaysInStep)
{
    const auto [kind, end] = GetParam();
    OpenChannel();
    const Bytes first = Iota(100, 1);
    const Bytes second = Iota(50, 150);
    const Bytes packet = MakeData(kCh, kSub, first);
    constexpr std::uint32_t kTimeoutMs = 300;

    Q7::Platform::EventCondition_Posix abort;
    const Q7::KPX::WaitObjectList aborts{&abort};
    Bytes destination(200, 0xEE);
    std::uint32_t got = 0;
    auto read = std::async(std::launch::async,
                           [&]
                           {
                               return end == ReadEnd::kAbort
                                          ? channel.Read(destination.data(), 200, &aborts, &got, 0xFFFFFFFF)
                                          : channel.Read(destination.data(), 200, nullptr, &got, kTimeoutMs);
                           });
    ASSERT_TRUE(channel.WaitForPendingRead(5000));
    // The header and 40 payload bytes; the piece of 100 is then under way.
    camera.WriteBytes(std::span(packet).first(16 + 40));
    ASSERT_TRUE(camera.WaitHostReadWaitingFor(kind == PipeKind::kTcpLike ? 100 : 60));
    if (end == ReadEnd::kAbort)
    {
        abort.Set();
    }
    if (kind == PipeKind::kTcpLike)
    {
        // Past its time-out or abort, the Read still waits for its piece.
        EXPECT_NE(read.wait_for(std::chrono::milliseconds(kTimeoutMs + 200)), std::future_status::ready);
    }
    else
    {
        ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    }
    camera.WriteBytes(std::span(packet).subspan(16 + 40));
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    camera.WriteBytes(MakeData(kCh, kSub, second));
    EXPECT_EQ(read.get(), end == ReadEnd::kAbort ? 1 : 2);
    EXPECT_EQ(got, kind == PipeKind::kTcpLike ? 100u : 40u);
    EXPECT_EQ(destination[got], 0xEE); // nothing landed behind what was reported

    Bytes stream(destination.begin(), destination.begin() + got);
    Bytes rest(150 - got);
    ASSERT_EQ(channel.Read(rest.data(), static_cast<std::uint32_t>(rest.size()), nullptr, nullptr, 5000), 0);
    stream.insert(stream.end(), rest.begin(), rest.end());
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(stream, expected);
}

INSTANTIATE_TEST_SUITE_P(Pipes, MidPacketReadTest,
                         ::testing::Combine(::testing::Values(PipeKind::kTcpLike, PipeKind::kAbortable),
                                            ::testing::Values(ReadEnd::kTimeout, ReadEnd::kAbort)),
                         [](const auto& param)
                         {
                             return KindName(std::get<0>(param.param)) +
                                    (std::get<1>(param.param) == ReadEnd::kAbort ? "Abort" : "Timeout");
                         });

// ---------------------------------------------------------------- closing and stopping mid-stream

enum class Action
{
    kClose,
    kStop,
};

// Where the channel's stream is when the channel closes or stops.
enum class Where
{
    kPacketStart,   // the transport read a Data header and waits for a Read
    kBetweenReads,  // a Read took part of the packet; the transport waits for the next
    kPieceInFlight, // a Read is pending and part of its piece has not arrived yet
};

class MidStreamTest : public ChannelTest,
                      public ::testing::WithParamInterface<std::tuple<PipeKind, Action, Where>>
{
protected:
    MidStreamTest() : ChannelTest(1 << 20, std::get<0>(GetParam())) {}

    ~MidStreamTest() override
    {
        camera.Drop();
        other.Stop();
    }

    // Opens channel 3.0 beside 2.0 on the same pipe.
    void OpenOther()
    {
        other.AddClientMajorVersion({1, 0});
        other.SetClientMajorVersions({1, 1});
        other.Start();
        auto opened = std::async(std::launch::async, [this] { return other.Open(); });
        const Bytes request = Expect(0x00);
        EXPECT_EQ(request[6], 3);
        camera.WriteBytes(MakeOpenReply(3, 0));
        ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
        ASSERT_EQ(opened.get(), 0);
    }

    Channel other{3, 0, transport, TestTimings()};
};

// The channel closes or stops while the transport holds one of its Data
// packets. Fault caught: the rest of the packet left in the pipe (the next
// packet then read from the middle of a payload), the transport still waiting
// for a Read that never comes, or Close and Stop hanging.
TEST_P(MidStreamTest, ThePipeStaysInStepForTheOtherChannels)
{
    const auto [kind, action, where] = GetParam();
    OpenOther();
    OpenChannel();
    const std::uint64_t before = camera.HostBytesRead();
    const Bytes payload = Iota(100, 1);
    const Bytes packet = MakeData(kCh, kSub, payload);

    std::future<std::int32_t> pending;
    Bytes destination(200);
    std::uint32_t got = 0;
    switch (where)
    {
    case Where::kPacketStart:
        camera.WriteBytes(packet);
        ASSERT_TRUE(camera.WaitHostRead(before + 16));
        break;
    case Where::kBetweenReads:
        camera.WriteBytes(packet);
        ASSERT_EQ(channel.Read(destination.data(), 60, nullptr, &got, 5000), 0);
        EXPECT_EQ(Bytes(destination.begin(), destination.begin() + 60),
                  Bytes(payload.begin(), payload.begin() + 60));
        break;
    case Where::kPieceInFlight:
        pending = std::async(std::launch::async, [&]
                             { return channel.Read(destination.data(), 200, nullptr, &got, 0xFFFFFFFF); });
        ASSERT_TRUE(channel.WaitForPendingRead(5000));
        camera.WriteBytes(std::span(packet).first(16 + 40));
        ASSERT_TRUE(camera.WaitHostReadWaitingFor(kind == PipeKind::kTcpLike ? 100 : 60));
        break;
    }

    auto acted = std::async(std::launch::async,
                            [&]
                            {
                                if (action == Action::kClose)
                                {
                                    channel.Close();
                                }
                                else
                                {
                                    channel.Stop();
                                }
                            });
    const Bytes closeRequest = Expect(0x01);
    EXPECT_EQ(closeRequest[6], kCh);
    if (where == Where::kPieceInFlight)
    {
        // The Read ends as the channel leaves Open: at once on the abortable
        // pipe, once its piece has landed on the TCP-like one.
        if (kind == PipeKind::kAbortable)
        {
            ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
        }
        camera.WriteBytes(std::span(packet).subspan(16 + 40));
        ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(pending.get(), 3);
        EXPECT_EQ(got, kind == PipeKind::kTcpLike ? 100u : 40u);
        EXPECT_EQ(Bytes(destination.begin(), destination.begin() + got),
                  Bytes(payload.begin(), payload.begin() + got));
    }
    camera.WriteBytes(MakeControl(0x81, kCh, kSub));
    ASSERT_EQ(acted.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(channel.GetState(),
              action == Action::kClose ? Q7::KPX::kChannelState_Closed : Q7::KPX::kChannelState_Offline);

    const Bytes forOther = Iota(77, 40);
    camera.WriteBytes(MakeData(3, 0, forOther));
    Bytes received(forOther.size());
    ASSERT_EQ(
        other.Read(received.data(), static_cast<std::uint32_t>(received.size()), nullptr, nullptr, 5000), 0);
    EXPECT_EQ(received, forOther);
    EXPECT_EQ(camera.PendingFromHost(), 0u); // no ErrorReply: nothing arrived out of step
}

INSTANTIATE_TEST_SUITE_P(Pipes, MidStreamTest,
                         ::testing::Combine(::testing::Values(PipeKind::kTcpLike, PipeKind::kAbortable),
                                            ::testing::Values(Action::kClose, Action::kStop),
                                            ::testing::Values(Where::kPacketStart, Where::kBetweenReads,
                                                              Where::kPieceInFlight)),
                         [](const auto& param)
                         {
                             const Where where = std::get<2>(param.param);
                             return KindName(std::get<0>(param.param)) +
                                    (std::get<1>(param.param) == Action::kClose ? "Close" : "Stop") +
                                    (where == Where::kPacketStart    ? "AtPacketStart"
                                     : where == Where::kBetweenReads ? "BetweenReads"
                                                                     : "WithAPieceInFlight");
                         });

} // namespace
