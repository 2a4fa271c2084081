// A small scripted camera for the agent tests: it runs on the camera end of an
// in-memory pipe, answers the channel handshake (OpenRequest, CloseRequest),
// collects the Data bytes the host writes per channel, and hands every
// complete message to a handler that may answer with messages of its own.
#pragma once

#include "Channel/KPXChannelTransport.h"
#include "ChannelTestSupport.h"
#include "MemoryPipePair.h"
#include "Wire/KPXPacket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace KpxTest
{

using Bytes = std::vector<std::uint8_t>;

class ScriptedCamera
{
public:
    // Answers to one message of the host: byte strings the camera writes back
    // on the same channel as Data (each split into packets of at most 1000
    // bytes).
    using MessageHandler = std::function<std::vector<Bytes>(const Bytes& message)>;

    explicit ScriptedCamera(const std::shared_ptr<MemoryLink>& link) : m_end(link)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedCamera()
    {
        m_stop = true;
        m_thread.join();
    }
    ScriptedCamera(const ScriptedCamera&) = delete;
    ScriptedCamera& operator=(const ScriptedCamera&) = delete;

    // The version the OpenReply names, and the other fields of the reply.
    void SetOpenReply(const OpenReplyFields& fields)
    {
        std::lock_guard lock(m_mutex);
        m_openReply = fields;
    }
    void SetMessageHandler(MessageHandler handler)
    {
        std::lock_guard lock(m_mutex);
        m_handler = std::move(handler);
    }

    // The Data bytes received on a channel since the start.
    Bytes Received(std::uint8_t channel, std::uint8_t subChannel)
    {
        std::lock_guard lock(m_mutex);
        return m_streams[{channel, subChannel}].all;
    }
    // Waits until at least count Data bytes arrived on the channel.
    bool WaitReceived(std::uint8_t channel, std::uint8_t subChannel, std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout,
                                  [&] {
                                      return m_streams[{channel, subChannel}].all.size() >= count;
                                  });
    }
    // The number of complete messages received on the channel.
    std::size_t MessageCount(std::uint8_t channel, std::uint8_t subChannel)
    {
        std::lock_guard lock(m_mutex);
        return m_streams[{channel, subChannel}].messages;
    }
    // Writes bytes as Data packets of the channel.
    void SendData(std::uint8_t channel, std::uint8_t subChannel, const Bytes& bytes)
    {
        for (std::size_t offset = 0; offset < bytes.size(); offset += 1000)
        {
            const std::size_t n = std::min<std::size_t>(1000, bytes.size() - offset);
            const Bytes packet =
                MakeData(channel, subChannel, Bytes(bytes.begin() + offset, bytes.begin() + offset + n));
            m_end.WriteBytes(packet);
        }
    }
    CameraEnd& End() { return m_end; }

private:
    struct Stream
    {
        Bytes all;     // every byte received
        Bytes pending; // bytes of the message not yet complete
        std::size_t messages = 0;
    };

    void Run()
    {
        while (!m_stop)
        {
            const std::optional<Bytes> packet = m_end.ReadPacket(std::chrono::milliseconds(20));
            if (!packet)
                continue;
            const std::uint8_t channel = (*packet)[6];
            const std::uint8_t subChannel = (*packet)[7];
            switch (TypeOf(*packet))
            {
            case 0x00:
            { // OpenRequest
                OpenReplyFields fields;
                {
                    std::lock_guard lock(m_mutex);
                    fields = m_openReply;
                }
                m_end.WriteBytes(MakeOpenReply(channel, subChannel, fields));
                break;
            }
            case 0x01: // CloseRequest
                m_end.WriteBytes(MakeControl(0x81, channel, subChannel));
                break;
            case 0x02:
                OnData(channel, subChannel, *packet);
                break;
            default:
                break;
            }
        }
    }

    void OnData(std::uint8_t channel, std::uint8_t subChannel, const Bytes& packet)
    {
        const std::size_t payloadLength = GetU16(packet, 8);
        const std::size_t headerLength = packet[5];
        std::vector<Bytes> answers;
        {
            std::lock_guard lock(m_mutex);
            Stream& stream = m_streams[{channel, subChannel}];
            stream.all.insert(stream.all.end(), packet.begin() + headerLength,
                              packet.begin() + headerLength + payloadLength);
            stream.pending.insert(stream.pending.end(), packet.begin() + headerLength,
                                  packet.begin() + headerLength + payloadLength);
            while (stream.pending.size() >= 16 && stream.pending.size() >= GetU32(stream.pending, 8))
            {
                const std::size_t size = std::max<std::size_t>(16, GetU32(stream.pending, 8));
                Bytes message(stream.pending.begin(), stream.pending.begin() + size);
                stream.pending.erase(stream.pending.begin(), stream.pending.begin() + size);
                ++stream.messages;
                if (m_handler)
                {
                    for (Bytes& answer : m_handler(message))
                        answers.push_back(std::move(answer));
                }
            }
        }
        m_changed.notify_all();
        for (const Bytes& answer : answers)
            SendData(channel, subChannel, answer);
    }

    CameraEnd m_end;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex; // guards the fields below
    std::condition_variable m_changed;
    OpenReplyFields m_openReply;
    MessageHandler m_handler;
    std::map<std::pair<std::uint8_t, std::uint8_t>, Stream> m_streams;
    std::thread m_thread;
};

} // namespace KpxTest
