// Socket address records, their text form, host-name resolution and the
// parsers of port and address texts. No test leaves the machine: names are
// numeric loopback addresses.

#include "LogCapture.h"
#include "Q7PlatformSocket.h"
#include "Q7UniversalError.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

using Q7::Platform::ParseIPv4;
using Q7::Platform::ParsePort;
using Q7::Platform::ResolveHostName;
using Q7::Platform::SocketAddress;
using Q7::Platform::StartSocketSubsystem;
using Q7::Universal::ModuleError;
using TestSupport::LogCapture;

namespace
{

// Runs call and answers the full code of the ModuleError it raises (0 when none).
template <typename Call>
uint32_t ModuleErrorCodeOf(Call call, const wchar_t* expectedContext = nullptr)
{
    try
    {
        call();
    }
    catch (const ModuleError& error)
    {
        if (expectedContext != nullptr)
        {
            EXPECT_STREQ(error.GetContext().c_str(), expectedContext);
        }
        return error.GetFullCode();
    }
    return 0;
}

} // namespace

TEST(SocketAddress, HoldsAddressPortAndTimeoutInHostOrder)
{
    const SocketAddress address(AF_INET, 7381, 0xC0A80114u, 3);
    EXPECT_FALSE(address.IsEmpty());
    EXPECT_EQ(address.GetIPv4(), 0xC0A80114u);
    EXPECT_EQ(address.GetPort(), 7381);
    EXPECT_EQ(address.GetTimeoutSeconds(), 3);
    EXPECT_TRUE(address.HasTimeout());
    ASSERT_NE(address.Get(), nullptr);
    EXPECT_EQ(address.Get()->sin_family, AF_INET);
    EXPECT_EQ(address.Get()->sin_port, htons(7381));
    EXPECT_EQ(address.Get()->sin_addr.s_addr, htonl(0xC0A80114u));
}

TEST(SocketAddress, TextShowsAddressAndPort)
{
    EXPECT_STREQ(SocketAddress(AF_INET, 7381, 0xC0A80114u, 0).ToText().c_str(), "[ 192.168.1.20:7381 ]");
    EXPECT_STREQ(SocketAddress(AF_INET, 65535, 0xFFFFFFFFu, 0).ToText().c_str(), "[ 255.255.255.255:65535 ]");
}

TEST(SocketAddress, EmptyRecordTextShowsNullForBothParts)
{
    EXPECT_STREQ(SocketAddress().ToText().c_str(), "[ (null):(null) ]");
}

TEST(SocketAddress, EmptyRecordRefusesItsAccessors)
{
    SocketAddress empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.Get(), nullptr);
    LogCapture log;
    EXPECT_EQ(ModuleErrorCodeOf([&] { (void)empty.GetIPv4(); }), 0x650069u);
    EXPECT_EQ(ModuleErrorCodeOf([&] { (void)empty.GetPort(); }), 0x650069u);
    EXPECT_EQ(ModuleErrorCodeOf([&] { empty.SetPort(1); }), 0x650069u);
    EXPECT_EQ(log.Count(L"The resource is not initialized.", Q7::Universal::kLogMsgType_Error), 3u);
}

TEST(SocketAddress, TimeoutAboveZeroOnlyCounts)
{
    SocketAddress address(AF_INET, 1, 1, 0);
    EXPECT_FALSE(address.HasTimeout());
    address.SetTimeoutSeconds(-5);
    EXPECT_FALSE(address.HasTimeout());
    address.SetTimeoutSeconds(1);
    EXPECT_TRUE(address.HasTimeout());
    // A time-out too large for the signed field stays a (long) time-out.
    EXPECT_EQ(SocketAddress(AF_INET, 1, 1, 0xFFFFFFFFu).GetTimeoutSeconds(), INT32_MAX);
}

TEST(SocketAddress, SetPortChangesOnlyThePort)
{
    SocketAddress address(AF_INET, 7381, 0x7F000001u, 2);
    address.SetPort(8000);
    EXPECT_EQ(address.GetPort(), 8000);
    EXPECT_EQ(address.GetIPv4(), 0x7F000001u);
    EXPECT_EQ(address.GetTimeoutSeconds(), 2);
}

TEST(SocketAddress, CopiesAnIPv4SocketAddress)
{
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_port = htons(1234);
    source.sin_addr.s_addr = htonl(0x0A000005u);
    const SocketAddress address(reinterpret_cast<const sockaddr*>(&source));
    EXPECT_EQ(address.GetIPv4(), 0x0A000005u);
    EXPECT_EQ(address.GetPort(), 1234);
    EXPECT_EQ(address.GetTimeoutSeconds(), 0);
}

TEST(SocketAddress, OtherFamiliesGiveTheZeroIPv4Record)
{
    sockaddr_in6 source{};
    source.sin6_family = AF_INET6;
    source.sin6_port = htons(99);
    const SocketAddress address(reinterpret_cast<const sockaddr*>(&source));
    EXPECT_FALSE(address.IsEmpty());
    EXPECT_EQ(address.GetIPv4(), 0u);
    EXPECT_EQ(address.GetPort(), 0);
    EXPECT_EQ(address.Get()->sin_family, AF_INET);

    const SocketAddress fromNull(static_cast<const sockaddr*>(nullptr));
    EXPECT_EQ(fromNull.GetPort(), 0);
}

TEST(SocketParse, PortAcceptsDecimalNumbersBelow65536)
{
    EXPECT_EQ(ParsePort("65535"), 65535);
    EXPECT_EQ(ParsePort("0"), 0);
    EXPECT_EQ(ParsePort("7381"), 7381);
    EXPECT_EQ(ParsePort(" \t80 "), 80);
    EXPECT_EQ(ParsePort("00080"), 80);
}

// Catches wrap-around and texts that only start with a number.
TEST(SocketParse, PortRefusesEverythingElse)
{
    LogCapture log;
    for (const char* text : {"65536", "x", "", "-1", "80x", "8 0", "99999999999999999999", "+80", "0x50"})
    {
        EXPECT_EQ(ModuleErrorCodeOf([&] { ParsePort(text); }, L"Invalid port"), 0x650001u) << text;
    }
    EXPECT_EQ(ModuleErrorCodeOf([&] { ParsePort(nullptr); }, L"Invalid port"), 0x650001u);
    EXPECT_EQ(log.Count(L"Invalid port", Q7::Universal::kLogMsgType_Error), 10u);
}

TEST(SocketParse, IPv4GivesTheHostOrderValue)
{
    EXPECT_EQ(ParseIPv4("192.168.1.20"), 0xC0A80114u);
    EXPECT_EQ(ParseIPv4("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(ParseIPv4("0.0.0.0"), 0u);
}

TEST(SocketParse, IPv4RefusesOtherTexts)
{
    for (const char* text : {"256.1.1.1", "abc", "", "1.2.3", "1.2.3.4.5", "::1"})
    {
        EXPECT_EQ(ModuleErrorCodeOf([&] { ParseIPv4(text); }, L"Unable to parse IP address"), 0x650003u)
            << text;
    }
    EXPECT_EQ(ModuleErrorCodeOf([&] { ParseIPv4(nullptr); }), 0x650003u);
}

TEST(SocketResolve, NumericAddressResolvesToItself)
{
    const auto addresses = ResolveHostName("127.0.0.5");
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(addresses[0].GetIPv4(), 0x7F000005u);
    EXPECT_EQ(addresses[0].GetPort(), 0);
    EXPECT_EQ(addresses[0].GetTimeoutSeconds(), 0);
}

TEST(SocketResolve, FailureGivesAnEmptyListAndAnInformationLine)
{
    LogCapture log;
    EXPECT_TRUE(ResolveHostName(nullptr).empty());
    EXPECT_EQ(log.Count(L"getaddrinfo failed (error = ", Q7::Universal::kLogMsgType_Info), 1u);
}

TEST(SocketResolve, SubsystemStarts)
{
    EXPECT_TRUE(StartSocketSubsystem());
    EXPECT_TRUE(StartSocketSubsystem());
}
