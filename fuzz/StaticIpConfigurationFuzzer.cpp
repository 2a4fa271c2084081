// Fuzzes the reader of the static address list, a text (or file) the user
// gives: any text is either refused with the syntax error or gives cameras
// with a name, a host and the static flag, at most one per line. Hosts resolve
// only as dotted addresses here, so no input reaches the name service.
#include "FuzzEntry.h"

#include "Q7UniversalError.h"
#include "Transport/KPXStaticIpConfiguration.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

using Q7::KPX::Transport::StaticIpConfiguration;
using Q7::KPX::Transport::TcpMoniker;

namespace
{

std::vector<Q7::Platform::SocketAddress> DottedOnly(const char* host)
{
    in_addr address{};
    if (::inet_pton(AF_INET, host, &address) != 1)
        return {};
    return {Q7::Platform::SocketAddress(AF_INET, 0, ntohl(address.s_addr), 0)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size); // ends at its first zero byte
    const std::size_t lineEnds = static_cast<std::size_t>(
        std::count_if(text.c_str(), text.c_str() + std::char_traits<char>::length(text.c_str()),
                      [](char c) { return c == '\r' || c == '\n'; }));
    try
    {
        const std::vector<TcpMoniker> entries = StaticIpConfiguration::Parse(text.c_str(), &DottedOnly);
        TAVRIN_FUZZ_CHECK(entries.size() <= lineEnds + 1);
        for (const TcpMoniker& entry : entries)
        {
            TAVRIN_FUZZ_CHECK(!entry.name.IsEmpty() && !entry.host.IsEmpty());
            TAVRIN_FUZZ_CHECK(entry.isStatic == 1 && entry.connectTimeoutSeconds == 0);
        }
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        TAVRIN_FUZZ_CHECK(error.GetFullCode() == Q7::Universal::kError_InvalidSyntax);
    }
    return 0;
}
