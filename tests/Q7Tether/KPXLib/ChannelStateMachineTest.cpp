// The channel's state names, the client identity and the protocol
// version negotiation with its diagnostic registry.

#include "Channel/KPXChannel.h"
#include "ChannelTestSupport.h"
#include "Wire/KPXMessageProtocolInfo.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using namespace KpxTest;
using Q7::KPX::KPXMessageProtocolInfo;
using Q7::KPX::KPXProtocolRegistry;
using Q7::KPX::ProtocolVersion;

TEST(ChannelStateMachineTest, StateNamesAreTheLogTexts)
{
    EXPECT_STREQ(Q7::KPX::GetChannelStateName(0), L"Offline");
    EXPECT_STREQ(Q7::KPX::GetChannelStateName(1), L"Closed");
    EXPECT_STREQ(Q7::KPX::GetChannelStateName(2), L"OpenSend");
    EXPECT_STREQ(Q7::KPX::GetChannelStateName(3), L"OpenReceive");
    EXPECT_STREQ(Q7::KPX::GetChannelStateName(4), L"Open");
    EXPECT_STREQ(Q7::KPX::GetChannelStateName(5), L"CloseSend");
    EXPECT_STREQ(Q7::KPX::GetChannelStateName(6), L"CloseReceive");
    EXPECT_STREQ(Q7::KPX::GetChannelStateName(7), L"Unknown");
}

TEST(ClientIdentityTest, NullOrEmptyTextGivesZeros)
{
    const Q7::KPX::ClientIdentity zeros{};
    EXPECT_EQ(Q7::KPX::MakeClientIdentity(nullptr), zeros);
    EXPECT_EQ(Q7::KPX::MakeClientIdentity(""), zeros);
}

TEST(ClientIdentityTest, TextGivesItsSha256)
{
    // SHA-256("abc") = ba7816bf 8f01cfea 414140de 5dae2223 b00361a3 96177a9c b410ff61 f20015ad
    const Q7::KPX::ClientIdentity expected = {
        0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
        0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(Q7::KPX::MakeClientIdentity("abc"), expected);
}

// A protocol info of its own channel numbers, so registry entries do not mix
// with other tests.
class ProtocolInfoTest : public ::testing::Test
{
protected:
    KPXMessageProtocolInfo info{200, 7, [this] { return open; }, [] {}};
    bool open = false;
};

TEST_F(ProtocolInfoTest, TheHighestSupportedVersionInTheRangeIsDesired)
{
    info.AddClientMajorVersion({1, 0});
    info.AddClientMajorVersion({2, 0});
    info.AddClientMajorVersion({2, 1});
    info.SetClientMajorVersions({1, 2});
    EXPECT_EQ(info.GetDesiredVersion(), (ProtocolVersion{2, 1}));
    info.SetClientMajorVersions({1, 1});
    EXPECT_EQ(info.GetDesiredVersion(), (ProtocolVersion{1, 0}));
}

TEST_F(ProtocolInfoTest, AmongEqualVersionsTheFirstIsKept)
{
    info.AddClientMajorVersion({1, 2});
    info.AddClientMajorVersion({1, 2});
    info.AddClientMajorVersion({1, 1});
    info.SetClientMajorVersions({1, 1});
    EXPECT_EQ(info.GetDesiredVersion(), (ProtocolVersion{1, 2}));
}

TEST_F(ProtocolInfoTest, NoMatchLogsAnErrorAndKeepsTheDesiredVersion)
{
    LogCapture log;
    info.AddClientMajorVersion({1, 0});
    info.SetClientMajorVersions({1, 1});
    info.SetClientMajorVersions({3, 4});
    EXPECT_EQ(info.GetDesiredVersion(), (ProtocolVersion{1, 0}));
    EXPECT_EQ(log.Count(L"Error: KPX channel 200.7 (KPXMessageProtocolInfo)no matching protocol version."),
              1u);
}

TEST_F(ProtocolInfoTest, AnOpenChannelRefusesANewRange)
{
    open = true;
    EXPECT_EQ(RaisedCode([this] { info.SetClientMajorVersions({1, 2}); }), 0x65006Cu);
}

TEST_F(ProtocolInfoTest, VersionsCompareAsMajorTimes256PlusMinor)
{
    info.SetNegotiatedVersion({1, 2});
    EXPECT_TRUE(info.IsVersionAtLeast(1, 2));
    EXPECT_TRUE(info.IsVersionAtLeast(1, 1));
    EXPECT_TRUE(info.IsVersionAtLeast(0, 255));
    EXPECT_FALSE(info.IsVersionAtLeast(1, 3));
    EXPECT_FALSE(info.IsVersionAtLeast(2, 0));
}

TEST(ProtocolRegistryTest, TheStatusDumpListsBothSidesAndTheNegotiatedVersion)
{
    KPXProtocolRegistry::AddCameraVersion(201, 1, {2, 0});
    KPXProtocolRegistry::AddSdkVersion(201, 1, {1, 0});
    KPXProtocolRegistry::AddSdkVersion(201, 1, {2, 0});
    KPXProtocolRegistry::AddSdkVersion(201, 1, {2, 0}); // once only
    EXPECT_EQ(KPXProtocolRegistry::GetStatusText(201, 1), "Ch 201.1\n"
                                                          "  Status: Closed\n"
                                                          "  Supported on Camera Side:\n"
                                                          "    2.0\n"
                                                          "  Supported on SDK Side:\n"
                                                          "    1.0\n"
                                                          "    2.0\n"
                                                          "  Negotiated:\n"
                                                          "    Not registered yet\n");
    KPXProtocolRegistry::SetNegotiated(201, 1, {2, 0});
    const std::string open = KPXProtocolRegistry::GetStatusText(201, 1);
    EXPECT_NE(open.find("  Status: Open\n"), std::string::npos);
    EXPECT_NE(open.find("  Negotiated:\n    2.0\n"), std::string::npos);
    KPXProtocolRegistry::SetOpen(201, 1, false);
    EXPECT_NE(KPXProtocolRegistry::GetStatusText(201, 1).find("  Status: Closed\n"), std::string::npos);
    EXPECT_EQ(KPXProtocolRegistry::GetStatusText(202, 9), "");
}

} // namespace
