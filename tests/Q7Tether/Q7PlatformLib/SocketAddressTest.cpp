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
#include <utility>

using Q7::Platform::ParseIPv4;
using Q7::Platform::ParsePort;
using Q7::Platform::ResolveHostName;
using Q7::Platform::SocketAddress;
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

// Every way of making a record keeps address and port in host order behind its
// accessors, network order for the system calls, and the text form; catches a
// byte-order slip in either direction and a foreign family taken as IPv4.
TEST(SocketAddress, RecordsKeepAddressPortTimeoutAndText)
{
    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(1234);
    ipv4.sin_addr.s_addr = htonl(0x0A000005u);
    sockaddr_in6 ipv6{};
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_port = htons(99);
    struct Row
    {
        const char* name;
        SocketAddress address;
        uint32_t ipv4;
        uint16_t port;
        int32_t timeout;
        const char* text;
    };
    const Row rows[] = {
        {"parts", SocketAddress(AF_INET, 7381, 0xC0A80114u, 3), 0xC0A80114u, 7381, 3,
         "[ 192.168.1.20:7381 ]"},
        {"largest parts", SocketAddress(AF_INET, 65535, 0xFFFFFFFFu, 0), 0xFFFFFFFFu, 65535, 0,
         "[ 255.255.255.255:65535 ]"},
        {"time-out above the signed range", SocketAddress(AF_INET, 1, 1, 0xFFFFFFFFu), 1, 1, INT32_MAX,
         "[ 0.0.0.1:1 ]"},
        {"IPv4 socket address", SocketAddress(reinterpret_cast<const sockaddr*>(&ipv4)), 0x0A000005u, 1234, 0,
         "[ 10.0.0.5:1234 ]"},
        {"IPv6 socket address", SocketAddress(reinterpret_cast<const sockaddr*>(&ipv6)), 0, 0, 0,
         "[ 0.0.0.0:0 ]"},
        {"null socket address", SocketAddress(static_cast<const sockaddr*>(nullptr)), 0, 0, 0,
         "[ 0.0.0.0:0 ]"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_FALSE(row.address.IsEmpty());
        EXPECT_EQ(row.address.GetIPv4(), row.ipv4);
        EXPECT_EQ(row.address.GetPort(), row.port);
        EXPECT_EQ(row.address.GetTimeoutSeconds(), row.timeout);
        ASSERT_NE(row.address.Get(), nullptr);
        EXPECT_EQ(row.address.Get()->sin_family, AF_INET);
        EXPECT_EQ(row.address.Get()->sin_port, htons(row.port));
        EXPECT_EQ(row.address.Get()->sin_addr.s_addr, htonl(row.ipv4));
        EXPECT_STREQ(row.address.ToText().c_str(), row.text);
    }
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
    EXPECT_TRUE(SocketAddress(AF_INET, 1, 1, 0xFFFFFFFFu).HasTimeout());
}

TEST(SocketAddress, SetPortChangesOnlyThePort)
{
    SocketAddress address(AF_INET, 7381, 0x7F000001u, 2);
    address.SetPort(8000);
    EXPECT_EQ(address.GetPort(), 8000);
    EXPECT_EQ(address.GetIPv4(), 0x7F000001u);
    EXPECT_EQ(address.GetTimeoutSeconds(), 2);
}

TEST(SocketParse, PortAcceptsDecimalNumbersBelow65536)
{
    const std::pair<const char*, uint16_t> rows[] = {
        {"65535", 65535}, {"0", 0}, {"7381", 7381}, {" \t80 ", 80}, {"00080", 80}};
    for (const auto& [text, port] : rows)
    {
        EXPECT_EQ(ParsePort(text), port) << text;
    }
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
    const std::pair<const char*, uint32_t> rows[] = {
        {"192.168.1.20", 0xC0A80114u}, {"127.0.0.1", 0x7F000001u}, {"0.0.0.0", 0u}};
    for (const auto& [text, value] : rows)
    {
        EXPECT_EQ(ParseIPv4(text), value) << text;
    }
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
