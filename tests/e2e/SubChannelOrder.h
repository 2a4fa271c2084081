// The order of a two-sub-channel agent's opens and closes, read off the
// simulated camera's packet records.
#pragma once

#include "SimObservations.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace E2e
{

// What the host's packets say of the order of opens and closes of channel.1
// and channel.2, from record `stopFrom` on counting OpenRequests as late (the
// agent's stop had begun; SIZE_MAX: no stop). Each problem is one line; none means the order
// holds. The host's packets are recorded in the order they arrived, which for
// packets of one camera follows the order the host sent them in whenever one
// waited for the camera's answer to the other (an open, a close).
inline std::vector<std::string> SubChannelOrderProblems(const Q7::Sim::Observations& observed,
                                                        std::uint8_t channel, std::size_t stopFrom)
{
    std::vector<std::string> problems;
    // Per sub-channel: opened by the host (OpenRequest sent) and not closed
    // since (no CloseRequest or CloseReply of the host).
    std::map<std::uint8_t, bool> open{{1, false}, {2, false}};
    std::map<std::uint8_t, bool> closing{{1, false}, {2, false}};
    for (std::size_t i = 0; i < observed.packets.size(); ++i)
    {
        const Q7::Sim::PacketRecord& record = observed.packets[i];
        if (!record.fromHost || record.header.channel != channel ||
            (record.header.sub != 1 && record.header.sub != 2))
            continue;
        const std::uint8_t sub = record.header.sub;
        const auto type = static_cast<Q7::Sim::PacketType>(record.header.type);
        std::ostringstream where;
        where << "record " << i << ", " << unsigned{channel} << "." << unsigned{sub} << ": ";
        switch (type)
        {
        case Q7::Sim::PacketType::OpenRequest:
            if (i >= stopFrom)
                problems.push_back(where.str() + "OpenRequest after the agent's stop began");
            if (sub == 2 && !open[1])
                problems.push_back(where.str() + "OpenRequest while x.1 is not open");
            open[sub] = true;
            closing[sub] = false;
            break;
        case Q7::Sim::PacketType::CloseRequest:
        case Q7::Sim::PacketType::CloseReply:
            if (sub == 1 && open[2])
                problems.push_back(where.str() + "closed while x.2 is still open");
            open[sub] = false;
            closing[sub] = type == Q7::Sim::PacketType::CloseRequest;
            break;
        default:
            if (closing[sub])
                problems.push_back(where.str() + "a packet after the CloseRequest");
            break;
        }
    }
    return problems;
}

} // namespace E2e
