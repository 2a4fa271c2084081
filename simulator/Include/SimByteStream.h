// The byte stream that carries one pipe of a simulated camera: an accepted TCP
// connection, or a bulk endpoint pair of the camera on the virtual USB bus
// (SimUsbAttachment.h). A connection runs the camera's channel layer over any
// of them the same way.
#pragma once

#include "SimFaults.h"
#include "SimSocket.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace Q7::Sim
{

// What one Receive brought: bytes, or the end of the stream.
struct Received
{
    std::size_t bytes = 0; // 0: the stream ended (or was woken)
    std::string end;       // why it ended, for the log; empty when woken
};

class ByteStream
{
public:
    virtual ~ByteStream() = default;

    // Waits for bytes and takes up to buffer.size() of them (buffer not empty).
    virtual Received Receive(std::span<std::uint8_t> buffer) = 0;
    // Sends the pieces, in order, as one write. Blocks while the host does not
    // take them; false (with why in `failure`) when the stream failed, or
    // (failure empty) when woken.
    virtual bool Send(std::span<const std::span<const std::uint8_t>> pieces, std::string& failure) = 0;
    // Sends as much of the pieces, in order, as the stream takes without
    // waiting and answers how many bytes that was; `failed` (with why in
    // `failure`) when the stream failed. Never blocks. The default takes
    // nothing, which leaves every byte to Send.
    virtual std::size_t TrySend(std::span<const std::span<const std::uint8_t>> pieces, std::string& failure,
                                bool& failed);
    // Ends blocked and later Receive and Send calls at once. Thread-safe.
    virtual void Wake() = 0;
    // Ends the stream as the camera drops it (once its users stopped): a TCP
    // connection closes or resets; a camera on USB leaves the bus.
    virtual void Close(DropMode mode) = 0;

    // The transport type a channel list reports for channels that name none
    // (kTransportTcp, kTransportUsb).
    virtual std::uint8_t TransportType() const = 0;
    // The camera's TCP port of the connection; 0 on USB.
    virtual std::uint16_t LocalPort() const = 0;
    // On USB, the endpoint pair: only the channels on that endpoint are served
    // on it. None on TCP: every channel is served on every connection.
    virtual std::optional<std::uint8_t> UsbEndpoint() const = 0;
};

// The stream of an accepted, non-blocking TCP socket.
std::unique_ptr<ByteStream> MakeSocketStream(UniqueFd socket);

} // namespace Q7::Sim
