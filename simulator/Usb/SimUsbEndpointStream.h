#pragma once

// The camera's end of one bulk endpoint pair as a simulator ByteStream, over
// any endpoint that receives into a buffer, sends gathered pieces and can be
// woken (the virtual bus's function endpoint, the usbfs harness's). Shared so
// that both USB attachments report a vanished bus and a dropped pipe the same way.

#include "SimCamera.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

namespace Q7::Sim
{

// Owner::Unplug takes the device off its bus; Endpoint is the function side
// of the pipe.
template <class Owner, class Endpoint>
class UsbEndpointStream final : public ByteStream
{
public:
    UsbEndpointStream(std::shared_ptr<Owner> owner, std::shared_ptr<Endpoint> endpoint, std::uint8_t number)
        : m_owner(std::move(owner)), m_endpoint(std::move(endpoint)), m_number(number)
    {
    }

    Received Receive(std::span<std::uint8_t> buffer) override
    {
        const std::size_t n = m_endpoint->Receive(buffer);
        if (n == 0)
        {
            return {0, m_woken ? std::string() : "the camera is off the bus"};
        }
        return {n, {}};
    }

    bool Send(std::span<const std::span<const std::uint8_t>> pieces, std::string& failure) override
    {
        if (m_endpoint->Send(pieces))
        {
            return true;
        }
        if (!m_woken)
        {
            failure = "the camera is off the bus";
        }
        return false;
    }

    void Wake() override
    {
        m_woken = true;
        m_endpoint->Wake();
    }

    // A camera that drops a pipe resets: it leaves the bus (whatever the mode).
    void Close(DropMode) override { m_owner->Unplug(); }

    std::uint8_t TransportType() const override { return kTransportUsb; }
    std::uint16_t LocalPort() const override { return 0; }
    std::optional<std::uint8_t> UsbEndpoint() const override { return m_number; }

private:
    const std::shared_ptr<Owner> m_owner;
    const std::shared_ptr<Endpoint> m_endpoint;
    const std::uint8_t m_number;
    std::atomic<bool> m_woken{false};
};

} // namespace Q7::Sim
