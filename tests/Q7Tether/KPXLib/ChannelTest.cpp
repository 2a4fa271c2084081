// KPX channel over an in-memory pipe pair, the test playing the camera: the
// open/close handshake, refusals, retries and time-outs, Read/Write with flow
// control, pings, link loss and stopping during waits.

#include "ChannelFixture.h"
#include "Q7PlatformSync_Posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>

namespace
{

using namespace std::chrono_literals;
using namespace KpxTest;
using Q7::KPX::Channel;
using Q7::KPX::ChannelTimings;
using Q7::KPX::ChannelTransport;
using Q7::KPX::ProtocolVersion;

// ---------------------------------------------------------------- the handshake

TEST_F(ChannelTest, OpenSendsTheOpenRequestAndOpensOnTheReply)
{
    channel.SetClientIdentity(Q7::KPX::MakeClientIdentity("secret"));
    auto opened = OpenAsync();
    const std::vector<std::uint8_t> request = Expect(0x00);
    ASSERT_EQ(request.size(), 256u);
    EXPECT_EQ(request[5], 16);
    EXPECT_EQ(request[6], kCh);
    EXPECT_EQ(request[7], kSub);
    EXPECT_EQ(GetU16(request, 8), 50u);
    EXPECT_EQ(request[10], 190);
    EXPECT_EQ(request[11], 0);
    EXPECT_EQ(GetU32(request, 16), 0u);      // flags: no debug
    EXPECT_EQ(GetU16(request, 20), 0xFFFFu); // maxPayloadLength
    EXPECT_EQ(request[22], 1);               // channel protocol
    EXPECT_EQ(request[23], 0);               // alignment
    EXPECT_EQ(GetU32(request, 24), 10000u);  // primary time-out
    EXPECT_EQ(GetU32(request, 28), 2000u);   // secondary time-out
    EXPECT_EQ(request[32], 2);               // desired major: highest supported in [1;2]
    EXPECT_EQ(request[33], 0);
    const Q7::KPX::ClientIdentity identity = Q7::KPX::MakeClientIdentity("secret");
    EXPECT_TRUE(std::equal(identity.begin(), identity.end(), request.begin() + 34));
    for (std::size_t i = 66; i < 256; ++i)
    {
        ASSERT_EQ(request[i], 0) << i;
    }

    camera.WriteBytes(MakeOpenReply(kCh, kSub, {0, 2, 0}));
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0);
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Open);
    EXPECT_EQ(channel.GetProtocolVersion(), (ProtocolVersion{2, 0}));

    // Open on an open channel: 0 without any packet.
    EXPECT_EQ(channel.Open(), 0);
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

TEST_F(ChannelTest, CloseRunsTheHandshakeAndTheChannelReopens)
{
    LogCapture log;
    OpenChannel();
    auto closed = std::async(std::launch::async, [this] { channel.Close(); });
    AnswerClose();
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    closed.get();
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Closed);
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(log.Count(L"KPX channel 2.0 closed."), 1u);
    EXPECT_EQ(log.Count(L"KPX channel 2.0 state Open -> CloseSend"), 1u);
    EXPECT_EQ(log.Count(L"KPX channel 2.0 state CloseSend -> Closed"), 1u);

    OpenChannel();
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Open);
}

TEST_F(ChannelTest, ACameraThatNeverAnswersTheCloseRequestClosesAfterItsTimeout)
{
    LogCapture log;
    OpenChannel();
    auto closed = std::async(std::launch::async, [this] { channel.Close(); });
    Expect(0x01);
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Closed);
    EXPECT_EQ(log.Count(L"KPX channel 2.0 timeout waiting for close-reply."), 1u);
}

struct RefusalCase
{
    const char* name;
    bool errorReply; // the camera answers ErrorReply `value`; otherwise an OpenReply of status `value`
    std::uint8_t value;
    std::uint32_t code; // raised by Open
    const wchar_t* context;
};

class ChannelRefusalTest : public ChannelTest, public ::testing::WithParamInterface<RefusalCase>
{
};

// Fault mended: each refusal of the camera was logged as an error with a
// context of this side's; the refusal codes carry no text, so Open raises
// them with the context and leaves the logging to the caller. Each refusal
// raises its own code and leaves the channel Closed; an OpenReply refusal is
// neither retried nor closed, ErrorReply 4 closes the channel at once and any
// other code is followed by this side's CloseRequest.
TEST_P(ChannelRefusalTest, OpenRefusalsRaiseTheirCodeWithContextAndAreNotLogged)
{
    const RefusalCase& refusal = GetParam();
    LogCapture log;
    std::wstring context;
    auto opened = std::async(std::launch::async,
                             [&]
                             {
                                 try
                                 {
                                     channel.Open();
                                 }
                                 catch (const Q7::Universal::ModuleError& error)
                                 {
                                     context = error.GetContext().c_str();
                                     return error.GetFullCode();
                                 }
                                 return 0u;
                             });
    if (refusal.errorReply)
    {
        Expect(0x00);
        camera.WriteBytes(MakeErrorReply(kCh, kSub, refusal.value));
        if (refusal.value != 4)
        {
            AnswerClose();
        }
    }
    else
    {
        AnswerOpen({refusal.value, 2, 0});
    }
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opened.get(), refusal.code);
    EXPECT_EQ(context, refusal.context);
    EXPECT_EQ(log.Count(refusal.context), 0u);
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Closed);
    EXPECT_EQ(camera.PendingFromHost(), 0u); // no retry
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ChannelRefusalTest,
    ::testing::Values(
        RefusalCase{"Status1", false, 1, 0x15E000B,
                    L"KPX channel 2.0 open refused by the camera with status 1."},
        RefusalCase{"Status2", false, 2, 0x15E000C,
                    L"KPX channel 2.0 open refused by the camera with status 2."},
        RefusalCase{"Status3", false, 3, 0x15E000D,
                    L"KPX channel 2.0 open refused by the camera with status 3."},
        RefusalCase{"Status4", false, 4, 0x15E000E,
                    L"KPX channel 2.0 open refused by the camera with status 4."},
        RefusalCase{"Status5", false, 5, 0x15E000F,
                    L"KPX channel 2.0 open refused by the camera with status 5."},
        RefusalCase{"Status6", false, 6, 0x15E0010,
                    L"KPX channel 2.0 open refused by the camera with status 6."},
        RefusalCase{"UnknownStatus", false, 7, 0x6500CA,
                    L"KPX channel 2.0 open refused by the camera with unknown status 7."},
        RefusalCase{"ErrorReply1", true, 1, 0x15E0015,
                    L"KPX channel 2.0 open answered with ErrorReply 1 - Invalid packet header."},
        RefusalCase{"ErrorReply2", true, 2, 0x15E0016,
                    L"KPX channel 2.0 open answered with ErrorReply 2 - Unsupported packet type."},
        RefusalCase{"ErrorReply4", true, 4, 0x15E0018,
                    L"KPX channel 2.0 open answered with ErrorReply 4 - Unsupported channel/sub-channel."},
        RefusalCase{"ErrorReply5", true, 5, 0x15E0019,
                    L"KPX channel 2.0 open answered with ErrorReply 5 - Channel/sub-channel not open."},
        RefusalCase{"ErrorReply6", true, 6, 0x15E001A,
                    L"KPX channel 2.0 open answered with ErrorReply 6 - Invalid packet alignment."},
        RefusalCase{"ErrorReply7", true, 7, 0x15E001B,
                    L"KPX channel 2.0 open answered with ErrorReply 7 - Non-sequential sequence number."},
        RefusalCase{"ErrorReply8", true, 8, 0x15E001C,
                    L"KPX channel 2.0 open answered with ErrorReply 8 - Invalid packet payload."},
        RefusalCase{"UnknownErrorReply", true, 9, 0x6500CA,
                    L"KPX channel 2.0 open answered with ErrorReply 9 - Undefined/Custom."}),
    [](const ::testing::TestParamInfo<RefusalCase>& param) { return std::string(param.param.name); });

class ChannelStatePathTest;

// A walk through the state machine: what the camera and the host do, and the
// states the channel passes through on the way.
struct StatePathCase
{
    const char* name;
    void (*walk)(ChannelStatePathTest& test);
    std::vector<const wchar_t*> path; // after Offline -> Closed, before Closed -> Offline
};

class ChannelStatePathTest : public ChannelTest, public ::testing::WithParamInterface<StatePathCase>
{
public:
    using ChannelTest::AnswerClose;
    using ChannelTest::AnswerOpen;
    using ChannelTest::camera;
    using ChannelTest::channel;
    using ChannelTest::Expect;
    using ChannelTest::OpenChannel;

    void Close()
    {
        auto closed = std::async(std::launch::async, [this] { channel.Close(); });
        AnswerClose();
        ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    }
};

// Catches a state change the handshake does not make (a move the state table
// refuses aborts on its assertion): every state is entered by real packets, and
// the log shows exactly the documented moves, in order. Packets that must not
// move the channel (an OpenReply while Closed) leave it where it is.
TEST_P(ChannelStatePathTest, TheChannelPassesThroughExactlyTheDocumentedStates)
{
    channel.Stop();
    LogCapture log;
    channel.Start();
    GetParam().walk(*this);
    ASSERT_TRUE(log.WaitFor(L"KPX channel 2.0 state " + std::wstring(GetParam().path.back())));
    channel.Stop();

    std::vector<std::wstring> expected = {L"Offline -> Closed"};
    expected.insert(expected.end(), GetParam().path.begin(), GetParam().path.end());
    expected.emplace_back(L"Closed -> Offline");
    std::vector<std::wstring> path;
    const std::wstring prefix = L"KPX channel 2.0 state ";
    for (std::wstring body : log.Bodies())
    {
        if (body.rfind(prefix, 0) == 0)
        {
            body.erase(body.find_last_not_of(L'\n') + 1);
            path.push_back(body.substr(prefix.size()));
        }
    }
    EXPECT_EQ(path, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, ChannelStatePathTest,
    ::testing::Values(
        StatePathCase{
            "OpenAndClose",
            [](ChannelStatePathTest& walk)
            {
                walk.OpenChannel();
                walk.Close();
            },
            {L"Closed -> OpenSend", L"OpenSend -> Open", L"Open -> CloseSend", L"CloseSend -> Closed"}},
        StatePathCase{"RefusedOpen",
                      [](ChannelStatePathTest& walk)
                      {
                          auto opened = std::async(std::launch::async, [&walk]
                                                   { return RaisedCode([&walk] { walk.channel.Open(); }); });
                          walk.AnswerOpen({6, 2, 0});
                          ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
                      },
                      {L"Closed -> OpenSend", L"OpenSend -> Closed"}},
        StatePathCase{
            "RetriedOpen",
            [](ChannelStatePathTest& walk)
            {
                auto opened = std::async(std::launch::async, [&walk] { return walk.channel.Open(); });
                walk.Expect(0x00);
                walk.camera.WriteBytes(MakeErrorReply(kCh, kSub, 3));
                walk.AnswerClose();
                walk.AnswerOpen();
                ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
                walk.Close();
            },
            {L"Closed -> OpenSend", L"OpenSend -> CloseSend", L"CloseSend -> Closed", L"Closed -> OpenSend",
             L"OpenSend -> Open", L"Open -> CloseSend", L"CloseSend -> Closed"}},
        StatePathCase{
            "CameraClosesWhileOpening",
            [](ChannelStatePathTest& walk)
            {
                auto opened = std::async(std::launch::async, [&walk] { return walk.channel.Open(); });
                walk.Expect(0x00);
                walk.camera.WriteBytes(MakeControl(0x01, kCh, kSub));
                walk.Expect(0x81);
                walk.AnswerOpen();
                ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
                walk.Close();
            },
            {L"Closed -> OpenSend", L"OpenSend -> CloseReceive", L"CloseReceive -> Closed",
             L"Closed -> OpenSend", L"OpenSend -> Open", L"Open -> CloseSend", L"CloseSend -> Closed"}},
        StatePathCase{
            "CameraClosesAnOpenChannel",
            [](ChannelStatePathTest& walk)
            {
                walk.OpenChannel();
                walk.camera.WriteBytes(MakeControl(0x01, kCh, kSub));
                walk.Expect(0x81);
            },
            {L"Closed -> OpenSend", L"OpenSend -> Open", L"Open -> CloseReceive", L"CloseReceive -> Closed"}},
        StatePathCase{"ErrorReply4WhileOpen",
                      [](ChannelStatePathTest& walk)
                      {
                          walk.OpenChannel();
                          walk.camera.WriteBytes(MakeErrorReply(kCh, kSub, 4));
                      },
                      {L"Closed -> OpenSend", L"OpenSend -> Open", L"Open -> Closed"}},
        StatePathCase{
            "OpenReplyWhileClosed",
            [](ChannelStatePathTest& walk)
            {
                walk.camera.WriteBytes(MakeOpenReply(kCh, kSub));
                EXPECT_EQ(walk.Expect(0xFF).at(16),
                          3); // invalid packet type for the state
                walk.OpenChannel();
                walk.Close();
            },
            {L"Closed -> OpenSend", L"OpenSend -> Open", L"Open -> CloseSend", L"CloseSend -> Closed"}}),
    [](const ::testing::TestParamInfo<StatePathCase>& param) { return std::string(param.param.name); });

TEST_F(ChannelTest, ErrorReply3IsRetriedAndASecondGoodReplyOpens)
{
    auto opened = OpenAsync();
    Expect(0x00);
    camera.WriteBytes(MakeErrorReply(kCh, kSub, 3));
    AnswerClose();
    AnswerOpen();
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0);
}

TEST_F(ChannelTest, ErrorReply3OnTheLastTryRaisesItsCode)
{
    auto opened = OpenAsyncCode();
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        Expect(0x00);
        camera.WriteBytes(MakeErrorReply(kCh, kSub, 3));
        AnswerClose();
    }
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0x15E0017u);
}

// A camera that never answers: each try ends with a CloseRequest after the
// open-reply time-out; after the third Open raises 0x6500CF.
TEST_F(ChannelTest, ASilentCameraEndsInTimeoutAfterThreeTries)
{
    LogCapture log;
    auto opened = OpenAsyncCode();
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        Expect(0x00);
        Expect(0x01);
    }
    ASSERT_EQ(opened.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0x6500CFu);
    EXPECT_EQ(log.Count(L"KPX channel 2.0 timeout waiting for open-reply."), 3u);
    EXPECT_EQ(log.Count(L"KPX channel 2.0 open timeout."), 1u);
    EXPECT_NE(channel.GetState(), Q7::KPX::kChannelState_Open);
}

// Fault mended: a CloseRequest in answer to the OpenRequest used to leave Open
// waiting for ever with the channel's mutex held; now each try counts as "no
// reply" and Open ends.
TEST_F(ChannelTest, ACloseRequestInAnswerToTheOpenRequestDoesNotHangOpen)
{
    auto opened = OpenAsyncCode();
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        Expect(0x00);
        camera.WriteBytes(MakeControl(0x01, kCh, kSub));
        Expect(0x81); // this side answers the CloseRequest
    }
    ASSERT_EQ(opened.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0x6500CFu);
    // Close (and Stop) are not blocked by a hung Open.
    auto closed = std::async(std::launch::async, [this] { channel.Close(); });
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
}

// Fault mended: an unexpected packet in OpenSend is answered with ErrorReply 3
// and a CloseRequest, and Open retries instead of waiting for ever.
TEST_F(ChannelTest, AnUnexpectedPacketInOpenSendIsAnsweredAndTheOpenRetried)
{
    auto opened = OpenAsync();
    Expect(0x00);
    camera.WriteBytes(MakeData(kCh, kSub, {1, 2, 3}));
    const std::vector<std::uint8_t> reply = Expect(0xFF);
    ASSERT_EQ(reply.size(), 256u);
    EXPECT_EQ(reply[16], 3);
    AnswerClose();
    AnswerOpen();
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0);
}

struct BadReplyCase
{
    const char* name;
    OpenReplyFields fields;
    const wchar_t* logText;
};

class ChannelBadOpenReplyTest : public ChannelTest, public ::testing::WithParamInterface<BadReplyCase>
{
};

// Fault mended: an OpenReply with status 0 that fails a later check is
// answered with ErrorReply 8 and a CloseRequest, and Open raises 0x15E001C
// instead of reporting success on a closed channel.
TEST_P(ChannelBadOpenReplyTest, AnOpenReplyThatFailsACheckIsRefused)
{
    LogCapture log;
    auto opened = OpenAsyncCode();
    Expect(0x00);
    std::vector<std::uint8_t> bad = MakeOpenReply(kCh, kSub, GetParam().fields);
    bad[11] = 0x42; // tag, echoed by the ErrorReply
    camera.WriteBytes(bad);
    const std::vector<std::uint8_t> errorReply = Expect(0xFF);
    ASSERT_EQ(errorReply.size(), 256u);
    EXPECT_EQ(errorReply[16], 8);
    EXPECT_EQ(errorReply[17], 0x42);
    AnswerClose();
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 0x15E001Cu);
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(log.Count(GetParam().logText), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ChannelBadOpenReplyTest,
    ::testing::Values(
        BadReplyCase{"ChannelProtocol",
                     {0, 2, 0, 0, 0xFFFF, 2, 0},
                     L"KPX channel 2.0 invalid channel protocol version 2"},
        BadReplyCase{
            "Alignment", {0, 2, 0, 0, 0xFFFF, 1, 0x90}, L"KPX channel 2.0 invalid packet alignment 0x90."},
        BadReplyCase{"MaxPayload", {0, 2, 0, 0, 0x00EF, 1, 0x40}, L"unsupported maximum payload length 239"},
        BadReplyCase{"Version", {0, 3, 0}, L"(KPXMessageProtocolInfo)invalid message protocol version 3.0"},
        BadReplyCase{"Minor", {0, 2, 1}, L"(KPXMessageProtocolInfo)invalid message protocol version 2.1"}),
    [](const ::testing::TestParamInfo<BadReplyCase>& param) { return std::string(param.param.name); });

TEST_F(ChannelTest, MaximumPayloadHasItsLowAlignmentBitsCleared)
{
    OpenChannel({0, 2, 0, 0, 0x00FF, 1, 0x40});
    EXPECT_EQ(channel.GetMaxPayload(), 240);

    // 1000 bytes go out as 240, 240, 240, 240 and 40, each padded to 16 bytes.
    std::vector<std::uint8_t> data(1000);
    std::iota(data.begin(), data.end(), std::uint8_t{0});
    std::uint32_t written = 0;
    ASSERT_EQ(channel.Write(data.data(), 1000, nullptr, &written, 5000), 0);
    EXPECT_EQ(written, 1000u);
    std::vector<std::uint8_t> received;
    for (const std::uint16_t expected : {240, 240, 240, 240, 40})
    {
        const std::vector<std::uint8_t> packet = Expect(0x02);
        ASSERT_EQ(GetU16(packet, 8), expected);
        EXPECT_EQ(packet.size() % 16, 0u);
        received.insert(received.end(), packet.begin() + 16, packet.begin() + 16 + expected);
    }
    EXPECT_EQ(received, data);
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

TEST_F(ChannelTest, TheCamerasDebugModeDisablesTimeoutsOnThePipe)
{
    LogCapture log;
    OpenChannel({0, 2, 0, 1});
    EXPECT_TRUE(transport.AreTimeoutsDisabled());
    EXPECT_EQ(transport.GetWriteTimeout(), 0xFFFFFFFFu);
    EXPECT_EQ(log.Count(L"KPX channel 2.0 server in debug mode. Timeouts disabled."), 1u);
    // With time-outs disabled the close waits for the camera's CloseReply.
    auto closed = std::async(std::launch::async, [this] { channel.Close(); });
    AnswerClose();
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
}

// With time-outs disabled a close whose reply can no longer arrive (the
// transport stopped) still ends.
TEST_F(ChannelTest, InDebugModeStoppingTheTransportEndsAClose)
{
    OpenChannel({0, 2, 0, 1});
    auto closed = std::async(std::launch::async, [this] { channel.Close(); });
    Expect(0x01);
    transport.Stop();
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    EXPECT_NE(channel.GetState(), Q7::KPX::kChannelState_Open);
}

TEST_F(ChannelTest, TheChannelTimeoutIsThePrimaryTimeoutPlusTenSeconds)
{
    OpenChannel({0, 2, 0, 0, 0xFFFF, 1, 0, 3000});
    EXPECT_EQ(transport.GetWriteTimeout(), 13000u);
}

TEST_F(ChannelTest, APrimaryTimeoutNearTheTopIsTakenAsItIs)
{
    OpenChannel({0, 2, 0, 0, 0xFFFF, 1, 0, 0xFFFFF000u});
    EXPECT_EQ(transport.GetWriteTimeout(), 0xFFFFF000u);
}

// ---------------------------------------------------------------- traffic

TEST_F(ChannelTest, AReadTakesPartOfAPacketAndTheRestWaitsForTheNextRead)
{
    OpenChannel();
    std::vector<std::uint8_t> payload(100);
    std::iota(payload.begin(), payload.end(), std::uint8_t{1});
    camera.WriteBytes(MakeData(kCh, kSub, payload));

    std::vector<std::uint8_t> first(60);
    std::uint32_t got = 0;
    ASSERT_EQ(channel.Read(first.data(), 60, nullptr, &got, 5000), 0);
    EXPECT_EQ(got, 60u);
    std::vector<std::uint8_t> second(40);
    ASSERT_EQ(channel.Read(second.data(), 40, nullptr, &got, 5000), 0);
    EXPECT_EQ(got, 40u);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, payload);
}

// Catches bytes read ahead for a small Read in one session of the channel that
// come out of a Read of the next session (the camera's rest of an unread
// message from before the close).
TEST_F(ChannelTest, BytesReadAheadBeforeACloseAreNotReadAfterTheReopen)
{
    OpenChannel();
    std::vector<std::uint8_t> payload(100);
    std::iota(payload.begin(), payload.end(), std::uint8_t{1});
    camera.WriteBytes(MakeData(kCh, kSub, payload));
    std::vector<std::uint8_t> first(10);
    ASSERT_EQ(channel.Read(first.data(), 10, nullptr, nullptr, 5000), 0);
    EXPECT_EQ(first, std::vector<std::uint8_t>(payload.begin(), payload.begin() + 10));

    auto closed = std::async(std::launch::async, [this] { channel.Close(); });
    AnswerClose();
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    OpenChannel();
    camera.WriteBytes(MakeData(kCh, kSub, {200, 201, 202}));
    std::vector<std::uint8_t> next(3);
    ASSERT_EQ(channel.Read(next.data(), 3, nullptr, nullptr, 5000), 0);
    EXPECT_EQ(next, (std::vector<std::uint8_t>{200, 201, 202}));
}

// Catches bytes read ahead for a small Read that are lost when the channel
// closes behind them (the camera's CloseRequest, or its link dropped): they
// arrived before the close, and a Read gets them as it would have got them
// from the pipe.
TEST_F(ChannelTest, BytesReadAheadBeforeTheCamerasCloseStillComeOut)
{
    OpenChannel();
    std::vector<std::uint8_t> payload(100);
    std::iota(payload.begin(), payload.end(), std::uint8_t{1});
    camera.WriteBytes(MakeData(kCh, kSub, payload));
    std::vector<std::uint8_t> first(10);
    ASSERT_EQ(channel.Read(first.data(), 10, nullptr, nullptr, 5000), 0);

    camera.WriteBytes(MakeControl(0x01, kCh, kSub)); // CloseRequest
    Expect(0x81);
    ASSERT_FALSE(channel.IsOpen());
    std::vector<std::uint8_t> rest(90);
    std::uint32_t read = 0;
    EXPECT_EQ(channel.Read(rest.data(), 90, nullptr, &read, 5000), 0);
    EXPECT_EQ(read, 90u);
    EXPECT_EQ(rest, std::vector<std::uint8_t>(payload.begin() + 10, payload.end()));
    // Nothing more arrived: the next Read finds the channel closed.
    std::uint8_t byte = 0;
    EXPECT_EQ(channel.Read(&byte, 1, nullptr, nullptr, 5000), 3);
}

TEST_F(ChannelTest, AReadGathersSeveralPackets)
{
    OpenChannel();
    camera.WriteBytes(MakeData(kCh, kSub, {1, 2}));
    camera.WriteBytes(MakeData(kCh, kSub, {3}));
    camera.WriteBytes(MakeData(kCh, kSub, {4, 5, 6}));
    std::vector<std::uint8_t> data(6);
    ASSERT_EQ(channel.Read(data.data(), 6, nullptr, nullptr, 5000), 0);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(ChannelTest, AReadWithoutDataTimesOut)
{
    OpenChannel();
    std::uint8_t byte = 0;
    std::uint32_t got = 99;
    EXPECT_EQ(channel.Read(&byte, 1, nullptr, &got, 50), 2);
    EXPECT_EQ(got, 0u);
}

TEST_F(ChannelTest, AReadEndsWithOneWhenAnAbortObjectFires)
{
    OpenChannel();
    Q7::Platform::EventCondition_Posix abort;
    const Q7::KPX::WaitObjectList aborts{&abort};
    auto read = std::async(std::launch::async,
                           [&]
                           {
                               std::uint8_t byte = 0;
                               return channel.Read(&byte, 1, &aborts, nullptr, 0xFFFFFFFF);
                           });
    abort.Set();
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), 1);
}

TEST_F(ChannelTest, AWriteEndsWithOneWhenAnAbortObjectIsSet)
{
    OpenChannel();
    Q7::Platform::EventCondition_Posix abort;
    abort.Set();
    const Q7::KPX::WaitObjectList aborts{&abort};
    std::uint8_t byte = 1;
    EXPECT_EQ(channel.Write(&byte, 1, &aborts, nullptr, 1000), 1);
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

TEST_F(ChannelTest, ZeroBytesAreDoneAndNullBuffersAreRefused)
{
    OpenChannel();
    EXPECT_EQ(channel.Read(nullptr, 0, nullptr, nullptr, 10), 0);
    EXPECT_EQ(channel.Write(nullptr, 0, nullptr, nullptr, 10), 0);
    EXPECT_EQ(RaisedCode([&] { channel.Read(nullptr, 1, nullptr, nullptr, 10); }), 0x650001u);
    EXPECT_EQ(RaisedCode([&] { channel.Write(nullptr, 1, nullptr, nullptr, 10); }), 0x650001u);
}

TEST_F(ChannelTest, ReadAndWriteOnAChannelThatIsNotOpenAnswerThree)
{
    std::uint8_t byte = 0;
    EXPECT_EQ(channel.Read(&byte, 1, nullptr, nullptr, 10), 3);
    EXPECT_EQ(channel.Write(&byte, 1, nullptr, nullptr, 10), 3);
}

// Only one Read may be pending: of two overlapping Reads exactly one is refused
// with the internal error 0x650067 and the other times out.
TEST_F(ChannelTest, OfTwoOverlappingReadsOneIsRefused)
{
    OpenChannel();
    const auto reader = [this]
    {
        return RaisedCode(
            [this]
            {
                std::uint8_t byte = 0;
                EXPECT_EQ(channel.Read(&byte, 1, nullptr, nullptr, 1500), 2);
            });
    };
    auto first = std::async(std::launch::async, reader);
    auto second = std::async(std::launch::async, reader);
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    const std::uint32_t a = first.get();
    const std::uint32_t b = second.get();
    EXPECT_EQ(std::min(a, b), 0u);
    EXPECT_EQ(std::max(a, b), 0x650067u);
}

TEST_F(ChannelTest, APingIsAnsweredWithItsEchoByte)
{
    OpenChannel();
    camera.WriteBytes(MakePing(kCh, kSub, 0x5A));
    const std::vector<std::uint8_t> reply = Expect(0x83);
    ASSERT_EQ(reply.size(), 24u);
    EXPECT_EQ(GetU16(reply, 8), 8u);
    EXPECT_EQ(reply[16], 0x5A);
    for (std::size_t i = 17; i < 24; ++i)
    {
        EXPECT_EQ(reply[i], 0);
    }
}

TEST_F(ChannelTest, APacketOfUnknownTypeIsAnsweredWithErrorReply2AndACloseRequest)
{
    OpenChannel();
    camera.WriteBytes(MakePacket(0x05, kCh, kSub, 0, 0));
    EXPECT_EQ(Expect(0xFF)[16], 2);
    AnswerClose();
}

TEST_F(ChannelTest, AnOpenReplyOfTheWrongLengthIsAnsweredWithErrorReply1)
{
    OpenChannel();
    camera.WriteBytes(MakePacket(0x80, kCh, kSub, 50, 191)); // 257 bytes
    EXPECT_EQ(Expect(0xFF)[16], 1);
    AnswerClose();
}

TEST_F(ChannelTest, TheCamerasCloseRequestClosesAndEndsAPendingRead)
{
    OpenChannel();
    auto read = ReadByteAsync();
    camera.WriteBytes(MakeControl(0x01, kCh, kSub));
    Expect(0x81);
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), 3);
    auto closed = std::async(std::launch::async, [this] { channel.Close(); });
    ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Closed);
    EXPECT_EQ(camera.PendingFromHost(), 0u); // no CloseRequest of its own
}

TEST_F(ChannelTest, ErrorReply4WhileOpenClosesWithoutACloseRequest)
{
    OpenChannel();
    auto read = ReadByteAsync();
    camera.WriteBytes(MakeErrorReply(kCh, kSub, 4));
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), 3);
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Closed);
    EXPECT_EQ(camera.PendingFromHost(), 0u);
}

// Flow control: a reader that does not read holds its channel's lookahead and
// buffers full, then stalls the pipe (the transport reads the next packet's
// header and waits for a buffer), and once it reads nothing is lost or
// reordered. A ping ahead of the data goes the state thread's way. Faults
// caught: the pipe stalled for a reader that pauses while its channel has
// room, or a packet lost or reordered between the lookahead, the channel's
// buffers and its reads.
TEST_F(ChannelTest, AReaderThatHoldsBackStallsThePipeOnceItsBuffersAreFullAndLosesNothing)
{
    OpenChannel();
    const std::uint64_t before = camera.HostBytesRead();
    camera.WriteBytes(MakePing(kCh, kSub, 0x3C));
    constexpr int kPackets = 50;
    constexpr std::size_t kPayload = 1000;
    std::vector<std::uint8_t> expected;
    for (int i = 0; i < kPackets; ++i)
    {
        std::vector<std::uint8_t> payload(kPayload);
        for (std::size_t j = 0; j < kPayload; ++j)
        {
            payload[j] = static_cast<std::uint8_t>(i * 7 + j);
        }
        expected.insert(expected.end(), payload.begin(), payload.end());
        camera.WriteBytes(MakeData(kCh, kSub, payload));
    }
    // Held at least: one packet per receive buffer and the header of the
    // next; at most also the packets that fit whole into the lookahead and
    // what the transport reads ahead of the stream. (Whether packets wait in
    // the lookahead depends on how the stream arrives: one at a time they go
    // to the buffers.)
    const std::uint64_t least = before + 24 + Q7::KPX::kChannelReceiveBuffers * (16 + kPayload) + 16;
    const std::uint64_t held =
        before + 24 +
        (Q7::KPX::kChannelLookaheadBytes / kPayload + Q7::KPX::kChannelReceiveBuffers) * (16 + kPayload) + 16;
    ASSERT_TRUE(camera.WaitHostRead(least)) << "read " << camera.HostBytesRead() - before;
    std::uint64_t stalledAt = camera.HostBytesRead();
    for (int i = 0; i < 100 && camera.WaitHostRead(stalledAt + 1, 100ms); ++i)
    {
        stalledAt = camera.HostBytesRead();
    }
    EXPECT_FALSE(camera.WaitHostRead(stalledAt + 1, 100ms));
    EXPECT_LE(stalledAt, held + Q7::KPX::kLookaheadReadAheadBytes);
    EXPECT_EQ(Expect(0x83)[16], 0x3C);

    std::vector<std::uint8_t> received(expected.size());
    std::size_t offset = 0;
    while (offset < received.size())
    {
        const std::uint32_t piece =
            static_cast<std::uint32_t>(std::min<std::size_t>(777, received.size() - offset));
        ASSERT_EQ(channel.Read(received.data() + offset, piece, nullptr, nullptr, 5000), 0);
        offset += piece;
    }
    EXPECT_EQ(received, expected);
}

// ---------------------------------------------------------------- link loss and stopping

TEST_F(ChannelTest, ALostLinkWakesAPendingReadWithFour)
{
    OpenChannel();
    auto read = ReadByteAsync();
    camera.Drop();
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), 4);
    std::uint8_t byte = 0;
    EXPECT_EQ(channel.Write(&byte, 1, nullptr, nullptr, 1000), 4);
    StopWithinBound();
}

TEST_F(ChannelTest, StoppingTheTransportDuringOpenEndsOpenWithFour)
{
    auto opened = OpenAsync();
    Expect(0x00);
    transport.Stop();
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(opened.get(), 4);
    StopWithinBound();
    EXPECT_FALSE(channel.IsInitialized());
}

TEST_F(ChannelTest, StoppingTheTransportDuringReadEndsTheRead)
{
    OpenChannel();
    auto read = ReadByteAsync();
    transport.Stop();
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    const std::int32_t result = read.get();
    EXPECT_TRUE(result == 3 || result == 4) << result;
    StopWithinBound();
}

TEST_F(ChannelTest, StoppingTheChannelWhileDataWaitsForAReaderIsPrompt)
{
    OpenChannel();
    for (int i = 0; i < 5; ++i)
    {
        camera.WriteBytes(MakeData(kCh, kSub, std::vector<std::uint8_t>(100, 1)));
    }
    ASSERT_TRUE(camera.WaitHostRead(2 * 116 + 16));
    auto stopped = std::async(std::launch::async, [this] { channel.Stop(); });
    AnswerClose();
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(channel.GetState(), Q7::KPX::kChannelState_Offline);
}

// Fault caught: Open called at once after Start could find the channel already
// Closed while the Offline event was still set, take it for a fall to Offline
// and answer 4 without asking the camera.
TEST_F(ChannelTest, OpenAtOnceAfterStartOpens)
{
    for (int round = 0; round < 50; ++round)
    {
        channel.Stop();
        channel.Start();
        auto answered = std::async(std::launch::async, [this] { AnswerOpen(); });
        ASSERT_EQ(channel.Open(), 0) << "round " << round;
        ASSERT_EQ(answered.wait_for(5s), std::future_status::ready);
        auto closed = std::async(std::launch::async, [this] { channel.Close(); });
        AnswerClose();
        ASSERT_EQ(closed.wait_for(5s), std::future_status::ready);
    }
}

// Fault caught: Stop could end the state thread before it handled the stop
// request, leaving the channel Closed instead of Offline.
TEST_F(ChannelTest, StopAlwaysLeavesTheChannelOffline)
{
    for (int round = 0; round < 50; ++round)
    {
        channel.Stop();
        ASSERT_EQ(channel.GetState(), Q7::KPX::kChannelState_Offline) << "round " << round;
        channel.Start();
        ASSERT_TRUE(channel.IsInitialized());
    }
}

class SmallPipeChannelTest : public ChannelTest
{
protected:
    SmallPipeChannelTest() : ChannelTest(4096) {}
};

TEST_F(SmallPipeChannelTest, StoppingTheTransportDuringABlockedWriteEndsTheWrite)
{
    OpenChannel();
    auto write = std::async(std::launch::async,
                            [this]
                            {
                                std::vector<std::uint8_t> data(1 << 20, 3);
                                return channel.Write(data.data(), static_cast<std::uint32_t>(data.size()),
                                                     nullptr, nullptr, 0xFFFFFFFF);
                            });
    ASSERT_NE(write.wait_for(50ms), std::future_status::ready); // the camera reads nothing: blocked
    transport.Stop();
    ASSERT_EQ(write.wait_for(5s), std::future_status::ready);
    // A write inside the pipe ends as closed (3); one between two pipe writes
    // finds the closed pipe's disconnected event set first (4).
    const std::int32_t result = write.get();
    EXPECT_TRUE(result == 3 || result == 4) << result;
}

// ---------------------------------------------------------------- checks and errors

TEST_F(ChannelTest, OpenOnAClosedTransportRaisesNotOpen)
{
    transport.Stop();
    EXPECT_EQ(RaisedCode([this] { channel.Open(); }), 0x65006Bu);
}

TEST_F(ChannelTest, OpenOnAStoppedChannelRaisesNotInitialized)
{
    channel.Stop();
    EXPECT_EQ(RaisedCode([this] { channel.Open(); }), 0x650069u);
    EXPECT_EQ(RaisedCode([this] { channel.EnsureOpen(); }), 0x650069u);
}

TEST_F(ChannelTest, EnsureChecksRaiseTheirCodes)
{
    EXPECT_EQ(RaisedCode([this] { channel.EnsureInitialized(); }), 0u);
    EXPECT_EQ(RaisedCode([this] { channel.EnsureOpen(); }), 0x65006Bu);
    EXPECT_EQ(RaisedCode([this] { channel.EnsureConnected(); }), 0u);
    EXPECT_EQ(RaisedCode([this] { channel.GetProtocolVersion(); }), 0x65006Bu);
    camera.Drop();
    EXPECT_EQ(RaisedCode([this] { channel.EnsureConnected(); }), 0x650070u);
}

TEST_F(ChannelTest, SetClientMajorVersionsOnAnOpenChannelRaisesAlreadyOpen)
{
    OpenChannel();
    EXPECT_EQ(RaisedCode([this] { channel.SetClientMajorVersions({1, 1}); }), 0x65006Cu);
}

TEST_F(ChannelTest, StartTwiceIsHarmlessAndStopTwiceToo)
{
    channel.Start();
    EXPECT_TRUE(channel.IsInitialized());
    channel.Stop();
    channel.Stop();
    EXPECT_FALSE(channel.IsInitialized());
    channel.Start();
    OpenChannel();
}

TEST_F(ChannelTest, TheThreadsCarryTheirNames)
{
    LogCapture log;
    // The state thread runs until it is stopped; the receive thread may end on
    // its own once the channel unregisters, so it is named by its start line.
    channel.Stop();
    EXPECT_EQ(log.Count(L"Stopping KPX channel 2.0 state thread"), 1u);
    channel.Start();
    EXPECT_EQ(log.Count(L"started [KPX channel 2.0 receive thread]"), 1u);
    EXPECT_EQ(log.Count(L"started [KPX channel 2.0 state thread]"), 1u);
}

TEST_F(ChannelTest, DebugModeIsToldToTheTransport)
{
    LogCapture log;
    channel.SetDebugMode(true);
    EXPECT_TRUE(transport.AreTimeoutsDisabled());
    EXPECT_EQ(log.Count(L"KPX channel 2.0 debug enabled. Timeouts disabled."), 1u);
    auto opened = OpenAsync();
    const std::vector<std::uint8_t> request = Expect(0x00);
    EXPECT_EQ(GetU32(request, 16), 1u); // flags bit 0
    camera.WriteBytes(MakeOpenReply(kCh, kSub, {0, 2, 0}));
    ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
    channel.SetDebugMode(false);
    EXPECT_FALSE(transport.AreTimeoutsDisabled());
}

} // namespace
