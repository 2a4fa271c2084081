// Faults that a test injects into the simulated camera: wrong answers to an
// OpenRequest, late answers, malformed headers, dropped and reset connections.
#pragma once

#include "SimWire.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

namespace Q7::Sim
{

// How a connection ends when the camera drops it.
enum class DropMode
{
    Close, // orderly close: the host reads end of stream
    Reset, // abortive close (RST): the host's next read or write fails
};

// A packet header that breaks the framing rules.
enum class MalformedHeader
{
    BadMagic,       // magic 0xDDCCBBAB
    HeaderLength20, // headerLength 20: not a multiple of 8
    HeaderLength8,  // headerLength 8: below 16
};

// The 16 bytes (plus what the header length claims) of a malformed packet
// addressed to `channel`. Reentrant.
std::vector<std::uint8_t> BuildMalformedPacket(MalformedHeader kind, ChannelId channel);

// What the camera does with an OpenRequest that a fault matches.
enum class OpenAction
{
    Reply,           // an OpenReply, with the overrides below
    Ignore,          // no answer at all
    CloseRequest,    // a CloseRequest instead of the OpenReply
    ErrorReply,      // an ErrorReply with `errorCode` instead of the OpenReply
    Raw,             // `rawBytes` as they stand (e.g. an OpenReply of 255 bytes)
    Malformed,       // a packet with a malformed header (`malformed`)
    DropConnection,  // close the connection instead of answering
    ResetConnection, // reset the connection instead of answering
    Unplug,          // the camera goes away instead of answering (see Camera::Unplug)
};

// What the camera does right after it wrote a faulted OpenReply.
enum class AfterReply
{
    Nothing,
    CloseRequest,    // follow the reply with a CloseRequest
    DropConnection,  // close the connection once the reply is written
    ResetConnection, // reset the connection once the reply is written
};

inline constexpr unsigned kAlways = std::numeric_limits<unsigned>::max();

// A fault applied to the next `count` OpenRequests of one channel (on any connection).
struct OpenFault
{
    ChannelId channel{};
    unsigned count = 1; // kAlways: every OpenRequest
    OpenAction action = OpenAction::Reply;
    // Delay before the answer goes out. The connection's output waits behind it,
    // as a camera that is slow to answer.
    std::chrono::milliseconds delay{0};

    // Reply overrides (OpenAction::Reply).
    std::optional<std::uint8_t> status{};
    std::optional<Version> version{};
    std::optional<std::uint8_t> alignment{};
    std::optional<std::uint16_t> maxPayloadLength{};
    std::optional<std::uint8_t> channelProtocolVersion{};
    std::optional<std::uint32_t> flags{};
    std::optional<std::uint32_t> primaryTimeout{};
    AfterReply after = AfterReply::Nothing;

    std::uint8_t errorCode = kErrorUnsupportedChannel;     // OpenAction::ErrorReply
    std::vector<std::uint8_t> rawBytes{};                  // OpenAction::Raw
    MalformedHeader malformed = MalformedHeader::BadMagic; // OpenAction::Malformed
};

// What the camera does once a channel has received a number of data bytes.
enum class DataAction
{
    DropConnection,
    ResetConnection,
    Malformed,       // send a malformed header
    CloseRequest,    // close the channel from the camera's side
    ErrorReply,      // send ErrorReply `errorCode` on the channel
    Unplug,          // the camera goes away (see Camera::Unplug)
    StopReading,     // the camera reads nothing more from the connection until it ends
    StallMidPacket,  // the camera sends the first bytes of a Data packet on the channel, then nothing more
    DropAfterOutput, // the camera closes the connection once what its handler sent for this data is written
};

// A fault that fires once, when the channel's data from the host since its open reaches `afterBytes`.
struct DataFault
{
    ChannelId channel{};
    std::uint64_t afterBytes = 0;
    DataAction action = DataAction::DropConnection;
    std::uint8_t errorCode = kErrorInvalidPayload;
    MalformedHeader malformed = MalformedHeader::BadMagic;
};

// The first 24 bytes of a Data packet on `channel` whose header announces 64
// payload bytes: the rest never follows. Reentrant.
std::vector<std::uint8_t> BuildPartialDataPacket(ChannelId channel);

// What the camera does with a CloseRequest that a fault matches.
enum class CloseAction
{
    DropConnection, // close the connection instead of answering
    Unplug,         // the camera goes away instead of answering (see Camera::Unplug)
};

// A fault applied to the next CloseRequest of one channel from the host (on any connection).
struct CloseFault
{
    ChannelId channel{};
    CloseAction action = CloseAction::DropConnection;
};

// A fault applied to the next `count` connections the camera accepts: each
// ends in `mode` as soon as it is accepted, before it reads anything.
struct AcceptFault
{
    unsigned count = 1;
    DropMode mode = DropMode::Close;
};

// The faults of one camera. Thread-safe: tests add faults while connections consume them.
class FaultPlan
{
public:
    void AddOpenFault(OpenFault fault);
    void AddDataFault(DataFault fault);
    void AddCloseFault(CloseFault fault);
    void AddAcceptFault(AcceptFault fault);
    // Tag byte of every packet the camera sends (0 by default); an ErrorReply from
    // the host must copy it.
    void SetPacketTag(std::uint8_t tag);
    std::uint8_t PacketTag() const;
    // Removes every fault.
    void Clear();

    // Takes the first open fault for the channel (consuming one of its count).
    std::optional<OpenFault> TakeOpenFault(ChannelId channel);
    // Takes the first data fault for the channel whose threshold `bytesSoFar` reached.
    std::optional<DataFault> TakeDataFault(ChannelId channel, std::uint64_t bytesSoFar);
    // True when a data fault for the channel is pending (cheap pre-check).
    bool HasDataFaults() const;
    // Takes the first close fault for the channel.
    std::optional<CloseFault> TakeCloseFault(ChannelId channel);
    // Takes one use of the first accept fault.
    std::optional<AcceptFault> TakeAcceptFault();

private:
    mutable std::mutex m_mutex; // guards the five fields below
    std::vector<OpenFault> m_openFaults;
    std::vector<DataFault> m_dataFaults;
    std::vector<CloseFault> m_closeFaults;
    std::vector<AcceptFault> m_acceptFaults;
    std::uint8_t m_tag = 0;
};

} // namespace Q7::Sim
