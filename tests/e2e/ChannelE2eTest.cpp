// The channel layer against the simulated camera over loopback TCP and the
// virtual USB bus: open,
// traffic both ways, close and reopen; refusals; a silent camera; wrong
// answers; flow control; a dropped connection; stopping during waits.

#include "E2eChannelSupport.h"

#include "SimFaults.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace
{

using namespace E2e;
using Q7::KPX::Channel;
using Q7::Sim::ChannelId;
using Q7::Sim::PacketType;

constexpr ChannelId k20{2, 0};

// Registers a stream handler on a channel and answers its statistics.
std::shared_ptr<Q7::Sim::StreamStats> AddStream(Q7::Sim::Camera& camera, ChannelId id,
                                                Q7::Sim::StreamHandler::Options options)
{
    auto stats = std::make_shared<Q7::Sim::StreamStats>();
    camera.SetChannelHandler(id, Q7::Sim::StreamHandler::Factory(options, stats));
    return stats;
}

// Reads count bytes in pieces, the way an agent reads messages.
bool ReadAll(Channel& channel, std::vector<std::uint8_t>& out, std::size_t count,
             std::uint32_t piece = 100000)
{
    out.resize(count);
    for (std::size_t offset = 0; offset < count;)
    {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(piece, count - offset));
        std::uint32_t got = 0;
        if (channel.Read(out.data() + offset, n, nullptr, &got, 10000) != 0)
        {
            return false;
        }
        offset += got;
    }
    return true;
}

// ---------------------------------------------------------------- open, traffic, close

TEST_P(ChannelOverTransportsE2eTest, AChannelOpensMovesDataBothWaysClosesAndReopens)
{
    auto stats = AddStream(*camera, k20, {.echo = true, .checkPattern = true});
    Channel& channel = Connect();

    for (int round = 0; round < 2; ++round)
    {
        ASSERT_EQ(channel.Open(), 0) << "round " << round;
        EXPECT_TRUE(channel.IsOpen());
        EXPECT_EQ(channel.GetProtocolVersion(), (Q7::KPX::ProtocolVersion{2, 0}));

        // The pattern starts again at every open of the camera's channel.
        constexpr std::size_t kBytes = 300000;
        const std::vector<std::uint8_t> sent = Pattern(0, kBytes);
        auto writer = std::async(std::launch::async,
                                 [&] { return channel.Write(sent.data(), kBytes, nullptr, nullptr, 10000); });
        std::vector<std::uint8_t> echoed;
        ASSERT_TRUE(ReadAll(channel, echoed, kBytes));
        ASSERT_EQ(writer.get(), 0);
        EXPECT_EQ(echoed, sent);

        channel.Close();
        EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Closed);
        ASSERT_TRUE(camera->WaitUntil(
            [&](const auto& o) { return o.closesCompleted == std::uint64_t(round) + 1; }, 5s));
    }
    EXPECT_EQ(stats->PatternErrors(), 0u);
    EXPECT_EQ(HostPackets(PacketType::OpenRequest, k20), 2u);
    EXPECT_EQ(HostPackets(PacketType::CloseRequest, k20), 2u);
    ExpectNoViolations();
}

TEST_P(ChannelOverTransportsE2eTest, TwoChannelsShareOnePipe)
{
    auto stats20 = AddStream(*camera, k20, {.checkPattern = true});
    auto stats30 = AddStream(*camera, {3, 0}, {.sourceBytes = 200000});
    Channel& ch2 = Connect();
    Channel& ch3 = AddChannel(*transports.front(), {3, 0, {{1, 0}}, {1, 1}});
    ASSERT_EQ(ch2.Open(), 0);
    ASSERT_EQ(ch3.Open(), 0);

    const std::vector<std::uint8_t> sent = Pattern(0, 150000);
    ASSERT_EQ(ch2.Write(sent.data(), static_cast<std::uint32_t>(sent.size()), nullptr, nullptr, 10000), 0);
    std::vector<std::uint8_t> produced;
    ASSERT_TRUE(ReadAll(ch3, produced, 200000));
    EXPECT_FALSE(Q7::Sim::FindPatternMismatch(0, produced).has_value());
    ASSERT_TRUE(stats20->WaitForReceived(sent.size(), 5s));
    EXPECT_EQ(stats20->PatternErrors(), 0u);
    ExpectNoViolations();
}

// Two channels of one pipe write large streams at the same time. Fault caught:
// packets of the two writers interleaved within one another (the camera would
// see broken headers or foreign bytes in a channel's pattern).
TEST_P(ChannelOverTransportsE2eTest, TwoWritersOnOnePipeNeverInterleaveTheirPackets)
{
    auto stats20 = AddStream(*camera, k20, {.checkPattern = true});
    auto stats30 = AddStream(*camera, {3, 0}, {.checkPattern = true});
    Channel& ch2 = Connect();
    Channel& ch3 = AddChannel(*transports.front(), {3, 0, {{1, 0}}, {1, 1}});
    ASSERT_EQ(ch2.Open(), 0);
    ASSERT_EQ(ch3.Open(), 0);

    constexpr std::size_t kBytes = 24u << 20;
    const std::vector<std::uint8_t> sent = Pattern(0, kBytes);
    const auto write = [&](Channel& channel)
    {
        return std::async(std::launch::async,
                          [&] { return channel.Write(sent.data(), kBytes, nullptr, nullptr, 30000); });
    };
    auto written2 = write(ch2);
    auto written3 = write(ch3);
    EXPECT_EQ(written2.get(), 0);
    EXPECT_EQ(written3.get(), 0);
    ASSERT_TRUE(stats20->WaitForReceived(kBytes, 10s));
    ASSERT_TRUE(stats30->WaitForReceived(kBytes, 10s));
    EXPECT_EQ(stats20->PatternErrors() + stats30->PatternErrors(), 0u);
    ExpectNoViolations();
}

// A gibibyte each way, every byte compared with the camera's pattern; reads of
// an odd size straddle the packets. Fault caught: any byte lost, repeated,
// reordered or corrupted on the data path at full speed.
TEST_P(ChannelOverTransportsE2eTest, SlowAGibibyteEachWayArrivesIntact)
{
    constexpr std::uint64_t kBytes = 1u << 30;
    auto upload = AddStream(*camera, k20, {.checkPattern = true});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    for (std::uint64_t offset = 0; offset < kBytes;)
    {
        const std::span<const std::uint8_t> piece = Q7::Sim::PatternSlice(offset, 1u << 20);
        ASSERT_EQ(
            channel.Write(piece.data(), static_cast<std::uint32_t>(piece.size()), nullptr, nullptr, 30000),
            0);
        offset += piece.size();
    }
    ASSERT_TRUE(upload->WaitForReceived(kBytes, 60s));
    EXPECT_EQ(upload->BytesReceived(), kBytes);
    EXPECT_EQ(upload->PatternErrors(), 0u);
    channel.Close();

    AddStream(*camera, k20, {.sourceBytes = kBytes});
    ASSERT_EQ(channel.Open(), 0);
    std::vector<std::uint8_t> buffer(1000003);
    for (std::uint64_t offset = 0; offset < kBytes;)
    {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(buffer.size(), kBytes - offset));
        ASSERT_EQ(channel.Read(buffer.data(), n, nullptr, nullptr, 30000), 0) << "at " << offset;
        ASSERT_FALSE(Q7::Sim::FindPatternMismatch(offset, std::span(buffer).first(n)).has_value())
            << "at " << offset;
        offset += n;
    }
    ExpectNoViolations();
}

TEST_P(ChannelOverTransportsE2eTest, APingOnAnOpenChannelIsAnswered)
{
    AddStream(*camera, k20, {});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    EXPECT_TRUE(camera->Ping(CameraConnection(), k20, 0x5A, 5s));
    ExpectNoViolations();
}

TEST_P(ChannelOverTransportsE2eTest, TheCamerasAlignmentAndSmallerPayloadAreHonoured)
{
    auto stats = AddStream(*camera, k20, {.checkPattern = true});
    camera->Faults().AddOpenFault(
        {.channel = k20, .count = Q7::Sim::kAlways, .alignment = 0x40, .maxPayloadLength = 1000});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    EXPECT_EQ(channel.GetMaxPayload(), 992);
    const std::vector<std::uint8_t> sent = Pattern(0, 20001);
    ASSERT_EQ(channel.Write(sent.data(), static_cast<std::uint32_t>(sent.size()), nullptr, nullptr, 10000),
              0);
    ASSERT_TRUE(stats->WaitForReceived(sent.size(), 5s));
    EXPECT_EQ(stats->PatternErrors(), 0u);
    ExpectNoViolations(); // the camera checks alignment and payload limits
}

TEST_P(ChannelOverTransportsE2eTest, TheCamerasCloseRequestClosesTheChannelAndItReopens)
{
    AddStream(*camera, k20, {});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    auto read = ReadOneByteAsync(channel);
    ASSERT_TRUE(camera->SendCloseRequest(CameraConnection(), k20));
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), 3);
    ASSERT_TRUE(camera->WaitUntil(
        [](const auto& o) { return o.CountPackets(PacketType::CloseReply, k20, true) == 1; }, 5s));
    ASSERT_EQ(channel.Open(), 0);
    ExpectNoViolations();
}

// ---------------------------------------------------------------- USB only

class UsbChannelE2eTest : public ChannelE2eTest
{
protected:
    E2eTransport Transport() const override { return E2eTransport::Usb; }
};

// Catches: a camera on USB that does not survive the host closing and
// reopening the device, and bytes the camera queued while the host was away (a
// malformed header here) taken by the next use: without the drain at start the
// receive thread would stop on them and the channel would not open.
TEST_F(UsbChannelE2eTest, TheDeviceClosedAndReopenedStartsCleanAfterStaleBytes)
{
    AddStream(*camera, k20, {.sourceBytes = Q7::Sim::StreamHandler::kUnlimited});
    Channel& first = Connect();
    ASSERT_EQ(first.Open(), 0);
    std::vector<std::uint8_t> received;
    ASSERT_TRUE(ReadAll(first, received, 1u << 20));
    first.Stop();
    transports.front()->Stop();
    channels.clear();
    transports.clear();
    device->Close();
    ASSERT_TRUE(
        camera->SendMalformedHeader(CameraConnection(), Q7::Sim::MalformedHeader::HeaderLength20, k20));

    ASSERT_EQ(device->Open(), 0u);
    Channel& second = AddChannel(AddTransport());
    ASSERT_EQ(second.Open(), 0);
    ASSERT_TRUE(ReadAll(second, received, 1u << 20));
    EXPECT_FALSE(Q7::Sim::FindPatternMismatch(0, received).has_value());
    EXPECT_EQ(HostPackets(PacketType::OpenRequest, k20), 2u);
}

// ---------------------------------------------------------------- refusals

// Two connections to one channel: TCP only (a USB endpoint carries one pipe).
TEST_F(ChannelE2eTest, TheConnectionLimitRaises0x15E000F)
{
    Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
    for (auto& config : description.channels)
    {
        if (config.id == k20)
        {
            config.maxOpenConnections = 1;
        }
    }
    UseDescription(description);
    Channel& first = Connect();
    ASSERT_EQ(first.Open(), 0);
    Channel& second = AddChannel(AddTransport());
    EXPECT_EQ(OpenCode(second), 0x15E000Fu);
    EXPECT_EQ(second.GetState(), Q7::KPX::kChannelState_Closed);
    ExpectNoViolations();
}

TEST_P(ChannelOverTransportsE2eTest, AMissingOrWrongAuthenticationRaises0x15E0010AndTheRightOneOpens)
{
    Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
    description.authenticationCode = "open sesame";
    UseDescription(description);
    Channel& channel = Connect();
    EXPECT_EQ(OpenCode(channel), 0x15E0010u);
    channel.SetClientIdentity(Q7::KPX::MakeClientIdentity("open sesam"));
    EXPECT_EQ(OpenCode(channel), 0x15E0010u);
    channel.SetClientIdentity(Q7::KPX::MakeClientIdentity("open sesame"));
    EXPECT_EQ(OpenCode(channel), 0u);
    ExpectNoViolations();
}

TEST_P(ChannelOverTransportsE2eTest, AChannelTheCameraDoesNotOfferRaises0x15E0018)
{
    Channel& channel = Connect({9, 0, {{1, 0}}, {1, 1}});
    EXPECT_EQ(OpenCode(channel), 0x15E0018u);
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Closed);
    EXPECT_EQ(HostPackets(PacketType::CloseRequest, {9, 0}), 0u); // ErrorReply 4 closes at once
}

// A camera that ignores OpenRequests (but answers CloseRequests): three tries of
// one second each, each ended by a CloseRequest, then 0x6500CF.
TEST_P(ChannelOverTransportsE2eTest, ASilentCameraEndsInTimeoutAfterTheDocumentedRetries)
{
    camera->Faults().AddOpenFault(
        {.channel = k20, .count = Q7::Sim::kAlways, .action = Q7::Sim::OpenAction::Ignore});
    Channel& channel = Connect();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenCode(channel), 0x6500CFu);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 3s);
    EXPECT_LT(elapsed, 10s);
    EXPECT_EQ(HostPackets(PacketType::OpenRequest, k20), 3u);
    EXPECT_EQ(HostPackets(PacketType::CloseRequest, k20), 3u);
    ExpectNoViolations();
}

// ---------------------------------------------------------------- wrong answers

struct WrongReply
{
    const char* name;
    Q7::Sim::OpenFault fault;
};

class ChannelWrongReplyE2eTest : public ChannelE2eTest,
                                 public ::testing::WithParamInterface<std::tuple<E2eTransport, WrongReply>>
{
protected:
    E2eTransport Transport() const override { return std::get<0>(GetParam()); }
};

// Fault mended: an OpenReply that this side refuses gets ErrorReply 8 and a
// CloseRequest, and Open raises 0x15E001C instead of answering success.
TEST_P(ChannelWrongReplyE2eTest, AWrongOpenReplyGetsErrorReply8AndACloseRequest)
{
    Q7::Sim::OpenFault fault = std::get<1>(GetParam()).fault;
    fault.channel = k20;
    camera->Faults().AddOpenFault(fault);
    camera->Faults().SetPacketTag(0x3C);
    Channel& channel = Connect();
    EXPECT_EQ(OpenCode(channel), 0x15E001Cu);
    EXPECT_FALSE(channel.IsOpen());

    const Q7::Sim::Observations observed = camera->Snapshot();
    std::vector<Q7::Sim::PacketRecord> errorReplies;
    for (const auto& record : observed.packets)
    {
        if (record.fromHost && record.header.type == static_cast<std::uint8_t>(PacketType::ErrorReply))
        {
            errorReplies.push_back(record);
        }
    }
    ASSERT_EQ(errorReplies.size(), 1u);
    ASSERT_GE(errorReplies[0].payload.size(), 2u);
    EXPECT_EQ(errorReplies[0].payload[0], 8);
    EXPECT_EQ(errorReplies[0].payload[1], 0x3C);
    EXPECT_EQ(observed.CountPackets(PacketType::CloseRequest, k20, true), 1u);
    EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ChannelWrongReplyE2eTest,
    ::testing::Combine(AllTransports(),
                       ::testing::Values(WrongReply{"Alignment", {.alignment = 0x90}},
                                         WrongReply{"ChannelProtocol", {.channelProtocolVersion = 2}},
                                         WrongReply{"MaximumPayload",
                                                    {.alignment = 0x40, .maxPayloadLength = 0x00EF}},
                                         WrongReply{"MessageVersion", {.version = Q7::Sim::Version{7, 0}}})),
    [](const ::testing::TestParamInfo<std::tuple<E2eTransport, WrongReply>>& param) {
        return TransportName({std::get<0>(param.param), param.index}) + "_" + std::get<1>(param.param).name;
    });

// Fault mended: a camera that answers every OpenRequest with a CloseRequest no
// longer hangs Open (and with it Close and Stop); it ends in 0x6500CF.
TEST_P(ChannelOverTransportsE2eTest, ACloseRequestInsteadOfAnOpenReplyEndsInTimeout)
{
    camera->Faults().AddOpenFault(
        {.channel = k20, .count = Q7::Sim::kAlways, .action = Q7::Sim::OpenAction::CloseRequest});
    Channel& channel = Connect();
    auto opened = std::async(std::launch::async, [&] { return OpenCode(channel); });
    ASSERT_EQ(opened.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0x6500CFu);
    // Each CloseRequest was answered (the camera reads the last reply a little later).
    EXPECT_TRUE(camera->WaitUntil(
        [](const auto& o) { return o.CountPackets(PacketType::CloseReply, k20, true) == 3; }, 5s));
    ExpectNoViolations();
}

TEST_P(ChannelOverTransportsE2eTest, AnOpenReplyOfTheWrongLengthIsAnsweredWithErrorReply1AndRetried)
{
    AddStream(*camera, k20, {});
    Q7::Sim::OpenFault fault{.channel = k20, .action = Q7::Sim::OpenAction::Raw};
    Q7::Sim::OpenPayload payload;
    payload.maxPayloadLength = 0xFFFF;
    payload.channelProtocolVersion = 1;
    payload.version = {2, 0};
    fault.rawBytes = Q7::Sim::BuildOpenReply(k20, payload, 0);
    fault.rawBytes.pop_back();
    fault.rawBytes[10] = 189; // 255 bytes in all
    camera->Faults().AddOpenFault(fault);
    Channel& channel = Connect();
    EXPECT_EQ(channel.Open(), 0); // the second try gets a good reply
    const Q7::Sim::Observations observed = camera->Snapshot();
    bool sawErrorReply1 = false;
    for (const auto& record : observed.packets)
    {
        sawErrorReply1 = sawErrorReply1 || (record.fromHost && record.header.type == 0xFF &&
                                            !record.payload.empty() && record.payload[0] == 1);
    }
    EXPECT_TRUE(sawErrorReply1);
    EXPECT_EQ(observed.CountPackets(PacketType::OpenRequest, k20, true), 2u);
    EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
}

// ---------------------------------------------------------------- flow control

// A reader that does not read holds the whole pipe (a ping on another channel
// of the pipe goes unanswered); once it reads, every byte arrives in order.
TEST_P(ChannelOverTransportsE2eTest, AReaderThatHoldsBackStallsThePipeAndNothingIsLostOrReordered)
{
    constexpr std::uint64_t kBytes = 8u << 20;
    auto stats = AddStream(*camera, k20, {.sourceBytes = kBytes, .sourceChunk = 64 * 1024});
    AddStream(*camera, {3, 0}, {});
    camera->SetSendQueueLimit(256 * 1024);
    Channel& ch2 = Connect();
    Channel& ch3 = AddChannel(*transports.front(), {3, 0, {{1, 0}}, {1, 1}});
    ASSERT_EQ(ch3.Open(), 0);
    ASSERT_EQ(ch2.Open(), 0);

    // Nobody reads 2.0: the host holds the header of its first packet and reads
    // nothing more, so 3.0 cannot answer a ping queued behind 2.0 data (the
    // camera's send queue is full of it).
    ASSERT_TRUE(stats->WaitForSent(256 * 1024, 10s));
    const auto answeredBefore = camera->Snapshot().pingsAnswered;
    EXPECT_FALSE(camera->Ping(CameraConnection(), {3, 0}, 0x11, 300ms));
    EXPECT_LT(stats->BytesSent(), kBytes);

    std::vector<std::uint8_t> received;
    ASSERT_TRUE(ReadAll(ch2, received, kBytes, 77777));
    EXPECT_FALSE(Q7::Sim::FindPatternMismatch(0, received).has_value());
    // The stall is over: the earlier ping is answered late (waited for, so that
    // its answer cannot meet the next ping's), a new one at once.
    EXPECT_TRUE(camera->WaitUntil([&](const auto& o) { return o.pingsAnswered > answeredBefore; }, 5s));
    EXPECT_TRUE(camera->Ping(CameraConnection(), {3, 0}, 0x22, 5s));
}

// Writes `bytes` on the channel while reading their echo; true when the echo
// is the bytes.
bool EchoRoundTrip(Channel& channel, const std::vector<std::uint8_t>& bytes)
{
    auto writer = std::async(std::launch::async,
                             [&] {
                                 return channel.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                                      nullptr, nullptr, 10000);
                             });
    std::vector<std::uint8_t> echoed;
    const bool read = ReadAll(channel, echoed, bytes.size());
    return writer.get() == 0 && read && echoed == bytes;
}

// A channel that nobody reads keeps the camera's message in its own buffers:
// the other channel of the pipe goes on, and both close at once, the unread
// one last. Fault caught: the pipe's receive thread waiting for the idle
// channel's reader, which held back the other's traffic and its CloseReply
// until the close-reply time-out.
TEST_P(ChannelOverTransportsE2eTest, AChannelNobodyReadsHoldsUpNeitherTheOtherChannelNorTheCloses)
{
    auto unread = AddStream(*camera, k20, {.sourceBytes = 3000, .sourceChunk = 1500});
    AddStream(*camera, {3, 0}, {.echo = true});
    Channel& ch2 = Connect();
    Channel& ch3 = AddChannel(*transports.front(), {3, 0, {{1, 0}}, {1, 1}});
    ASSERT_EQ(ch2.Open(), 0);
    ASSERT_EQ(ch3.Open(), 0);
    ASSERT_TRUE(unread->WaitForSent(3000, 10s));

    EXPECT_TRUE(EchoRoundTrip(ch3, Pattern(0, 256 * 1024)));

    const auto start = std::chrono::steady_clock::now();
    ch3.Close();
    ch2.Close();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, 1s) << "both closes took "
                           << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
    EXPECT_EQ(ch2.GetState(), Q7::KPX::kChannelState_Closed);
    EXPECT_EQ(ch3.GetState(), Q7::KPX::kChannelState_Closed);
    EXPECT_TRUE(camera->WaitUntil([](const auto& o) { return o.closesCompleted == 2; }, 5s));
    ExpectNoViolations();
}

// A reader that stops in the middle of a packet: the rest of it waits in the
// channel's buffers while the other channel of the pipe goes on, and reaches
// the reader in order once it reads again. Fault caught: the pipe held until
// the reader came back, or the rest of the packet lost or reordered.
TEST_P(ChannelOverTransportsE2eTest, AReaderThatPausesInAPacketLetsTheOtherChannelOnAndLosesNothing)
{
    constexpr std::size_t kBytes = 100000;
    auto paused = AddStream(*camera, k20, {.sourceBytes = kBytes, .sourceChunk = kBytes / 2});
    AddStream(*camera, {3, 0}, {.echo = true});
    Channel& ch2 = Connect();
    Channel& ch3 = AddChannel(*transports.front(), {3, 0, {{1, 0}}, {1, 1}});
    ASSERT_EQ(ch2.Open(), 0);
    ASSERT_EQ(ch3.Open(), 0);

    std::vector<std::uint8_t> first;
    ASSERT_TRUE(ReadAll(ch2, first, 10000, 10000));
    ASSERT_TRUE(paused->WaitForSent(kBytes, 10s));
    EXPECT_TRUE(EchoRoundTrip(ch3, Pattern(0, 256 * 1024)));

    std::vector<std::uint8_t> rest;
    ASSERT_TRUE(ReadAll(ch2, rest, kBytes - first.size(), 30000));
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_FALSE(Q7::Sim::FindPatternMismatch(0, first).has_value());
    ExpectNoViolations();
}

// ---------------------------------------------------------------- dropped connections

// Over USB a camera that drops a pipe leaves the bus (the host sees an unplug).
class DropE2eTest : public ChannelE2eTest,
                    public ::testing::WithParamInterface<std::tuple<E2eTransport, Q7::Sim::DropMode>>
{
protected:
    E2eTransport Transport() const override { return std::get<0>(GetParam()); }
    Q7::Sim::DropMode Mode() const { return std::get<1>(GetParam()); }
};

// A connection the camera drops wakes a pending Read with 4.
TEST_P(DropE2eTest, ADroppedConnectionWakesAPendingReadWithFour)
{
    AddStream(*camera, k20, {});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    auto read = ReadOneByteAsync(channel);
    ASSERT_TRUE(camera->DropConnection(CameraConnection(), Mode()));
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(read.get(), 4);
    std::uint8_t byte = 0;
    EXPECT_EQ(channel.Write(&byte, 1, nullptr, nullptr, 1000), 4);
    EXPECT_FALSE(device->IsConnected());
}

// A connection dropped while a large Write is under way ends that Write with 4,
// and a Read pending beside it with 4 too.
TEST_P(DropE2eTest, ADroppedConnectionWakesAPendingWriteWithFour)
{
    AddStream(*camera, k20, {});
    camera->Faults().AddDataFault({.channel = k20,
                                   .afterBytes = 1u << 20,
                                   .action = Mode() == Q7::Sim::DropMode::Reset
                                                 ? Q7::Sim::DataAction::ResetConnection
                                                 : Q7::Sim::DataAction::DropConnection});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    auto read = ReadOneByteAsync(channel);
    const std::vector<std::uint8_t> data(64u << 20, 0x5A);
    auto write = std::async(std::launch::async,
                            [&]
                            {
                                return channel.Write(data.data(), static_cast<std::uint32_t>(data.size()),
                                                     nullptr, nullptr, 0xFFFFFFFF);
                            });
    ASSERT_EQ(write.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(write.get(), 4);
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(read.get(), 4);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DropE2eTest,
    ::testing::Combine(AllTransports(),
                       ::testing::Values(Q7::Sim::DropMode::Close, Q7::Sim::DropMode::Reset)),
    [](const ::testing::TestParamInfo<std::tuple<E2eTransport, Q7::Sim::DropMode>>& param)
    {
        return TransportName({std::get<0>(param.param), param.index}) +
               (std::get<1>(param.param) == Q7::Sim::DropMode::Close ? "_Close" : "_Reset");
    });

INSTANTIATE_TEST_SUITE_P(Transports, ChannelOverTransportsE2eTest, AllTransports(), TransportName);

TEST_P(ChannelOverTransportsE2eTest, AMalformedHeaderFromTheCameraEndsTheTransportsReceiving)
{
    AddStream(*camera, k20, {});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    auto read = ReadOneByteAsync(channel);
    ASSERT_TRUE(
        camera->SendMalformedHeader(CameraConnection(), Q7::Sim::MalformedHeader::HeaderLength20, k20));
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready);
    EXPECT_NE(read.get(), 0);
}

// ---------------------------------------------------------------- stopping during waits

// Stopping the channel transport (which closes its pipe) ends each kind of wait
// at once, and the channel then stops at once too.
TEST_P(ChannelOverTransportsE2eTest, StoppingTheTransportDuringOpenEndsOpen)
{
    camera->Faults().AddOpenFault(
        {.channel = k20, .count = Q7::Sim::kAlways, .action = Q7::Sim::OpenAction::Ignore});
    Channel& channel = Connect();
    auto opened = std::async(std::launch::async, [&] { return OpenCode(channel); });
    ASSERT_TRUE(camera->WaitUntil(
        [](const auto& o) { return o.CountPackets(PacketType::OpenRequest, k20, true) == 1; }, 5s));
    transports.front()->Stop();
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0xFFFF0004u); // Open answered 4: the channel went Offline
    auto stopped = std::async(std::launch::async, [&] { channel.Stop(); });
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
}

TEST_P(ChannelOverTransportsE2eTest, StoppingTheTransportDuringReadEndsRead)
{
    AddStream(*camera, k20, {});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    auto read = ReadOneByteAsync(channel);
    transports.front()->Stop();
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_NE(read.get(), 0);
    auto stopped = std::async(std::launch::async, [&] { channel.Stop(); });
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
}

TEST_P(ChannelOverTransportsE2eTest, StoppingTheTransportDuringAFlowControlStallEndsEveryThread)
{
    AddStream(*camera, k20, {.sourceBytes = Q7::Sim::StreamHandler::kUnlimited});
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    auto stopped = std::async(std::launch::async, [&] { transports.front()->Stop(); });
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    auto channelStopped = std::async(std::launch::async, [&] { channel.Stop(); });
    ASSERT_EQ(channelStopped.wait_for(5s), std::future_status::ready);
}

// A camera handler that stops reading its connection until released.
class BlockingHandler : public Q7::Sim::ChannelHandler
{
public:
    struct Gate
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool open = false;
        bool entered = false;
    };

    explicit BlockingHandler(std::shared_ptr<Gate> gate) : m_gate(std::move(gate)) {}

    void OnData(Q7::Sim::ChannelContext&, std::span<const std::uint8_t>) override
    {
        std::unique_lock lock(m_gate->mutex);
        m_gate->entered = true;
        m_gate->changed.notify_all();
        m_gate->changed.wait(lock, [this] { return m_gate->open; });
    }

private:
    std::shared_ptr<Gate> m_gate;
};

TEST_P(ChannelOverTransportsE2eTest, StoppingTheTransportDuringABlockedWriteEndsTheWrite)
{
    auto gate = std::make_shared<BlockingHandler::Gate>();
    // Opens the gate however the test ends, so that the camera can stop.
    struct GateOpener
    {
        std::shared_ptr<BlockingHandler::Gate> gate;
        ~GateOpener()
        {
            {
                std::lock_guard lock(gate->mutex);
                gate->open = true;
            }
            gate->changed.notify_all();
        }
    } opener{gate};
    camera->SetChannelHandler(k20, [gate](ChannelId) { return std::make_unique<BlockingHandler>(gate); });
    Channel& channel = Connect();
    ASSERT_EQ(channel.Open(), 0);
    const std::vector<std::uint8_t> data(64u << 20, 1);
    auto write = std::async(std::launch::async,
                            [&]
                            {
                                return channel.Write(data.data(), static_cast<std::uint32_t>(data.size()),
                                                     nullptr, nullptr, 0xFFFFFFFF);
                            });
    {
        std::unique_lock lock(gate->mutex);
        ASSERT_TRUE(gate->changed.wait_for(lock, 5s, [&] { return gate->entered; }));
    }
    ASSERT_NE(write.wait_for(100ms), std::future_status::ready); // the camera reads nothing more
    transports.front()->Stop();
    ASSERT_EQ(write.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(write.get(), 3);
}

} // namespace
