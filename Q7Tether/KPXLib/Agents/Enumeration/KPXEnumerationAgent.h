// The agent of channel 0.0, the first channel a camera opens: it reads the
// camera's device information and its channel list.
#pragma once

#include <cstdint>
#include <functional>

#include "Agents/Enumeration/KPXEnumeration.h"
#include "Channel/KPXAgent.h"
#include "Q7UniversalErrorDispatcher.h"

namespace Q7::KPX
{

class ChannelTransport;

/// The enumeration agent. It has no threads and no send queue: each request
/// writes its message and reads the reply on the caller's thread, one request
/// at a time.
///
/// Threads: Open, Close and the enumeration mode are serialised by the agent
/// lock (thread-safe); GetDeviceInfo and GetChannelList must not run on two
/// threads at once (the KPX camera calls them under its channel 0.0 slot lock).
class EnumerationAgent : public Universal::ErrorDispatcher, public BaseAgent
{
public:
    /// Time limit of an enumeration reply, from its request to its last byte.
    static constexpr std::uint32_t kReplyTimeoutMs = 10000;

    /// Builds channel 0.0 on the transport (which must outlive the agent),
    /// declares the message protocol versions 1.0, 2.0 and 2.1 with the major
    /// range 1 to 2, and starts the channel. `replyTimeoutMs` is the time limit
    /// of a reply (tests shorten it). Raises what starting the channel raises.
    explicit EnumerationAgent(ChannelTransport& transport, std::uint32_t replyTimeoutMs = kReplyTimeoutMs);
    ~EnumerationAgent() override;

    /// Sets the error callback on the agent and on its channel. Blocks while a
    /// dispatch of either runs. Thread-safe.
    void SetErrorCallback(const Universal::ErrorCallback& callback) override;
    /// As above, for a callback given as a function.
    void SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback) override;

    /// Opens channel 0.0: true at once when it is open; otherwise closes it,
    /// opens it and answers whether it opened. An error raised by the open
    /// (see Channel::Open) closes the channel and passes on. Blocks.
    /// Thread-safe.
    bool Open();
    /// Closes channel 0.0. Blocks. Thread-safe.
    void Close();
    /// Whether channel 0.0 is open. Thread-safe.
    [[nodiscard]] bool IsOpen() const;

    /// Asks the camera for its device information and fills `info` (reset to
    /// the defaults first). Answers false, after closing the channel, when the
    /// channel is not open or a write or read fails or the reply does not come
    /// within the reply time limit (logged as ModuleError 0x6500CF "KPX ch0 reading
    /// device info."). Raises ModuleError 0x650003 "KPX ch0 message header size
    /// too small." / "KPX ch0 message size too small." for a malformed reply
    /// header and 0x6500CC "KPX ch0 did not receive device info message." for
    /// another message. Logs the record. Sets the enumeration mode: the default
    /// channel list for a camera whose highest enumeration major is below 2.
    /// Blocks.
    bool GetDeviceInfo(Enumeration::DeviceInfo& info);

    /// Fills `list` (cleared first) with the camera's channel list: asked from
    /// the camera, or the default list for an older camera (known from the
    /// device information, which is read first when it was not yet). Answers
    /// false, after closing the channel, when a request fails as in
    /// GetDeviceInfo ("KPX ch0 reading channel list." for a time-out). Raises
    /// the header errors of GetDeviceInfo, ModuleError 0x6500CC "KPX ch0 did
    /// not receive channel list message." for another message, and the entry
    /// errors of Enumeration::ReadChannelListReply. Logs the list. Blocks.
    bool GetChannelList(Enumeration::ChannelList& list);

private:
    // Enumeration modes: what GetChannelList does.
    enum EnumMode : std::uint32_t
    {
        kMode_Unknown = 0,     // no device information read yet
        kMode_DefaultList = 1, // the camera is too old to be asked
        kMode_AskDevice = 2,
    };

    // Writes a header-only request and reads the reply's common header into
    // `header`, checked. Answers false (channel closed) on a failure; a
    // time-out logs `timeoutText` as ModuleError 0x6500CF.
    bool Request(const MessageBytes& request, const wchar_t* requestName, const wchar_t* timeoutText,
                 std::uint64_t& deadlineMs, CommonMessageHeader& header);
    bool ReadDeviceChannelList(Enumeration::ChannelList& list);
    std::uint32_t GetMode();

    const std::uint32_t m_replyTimeoutMs;
    std::uint32_t m_mode = kMode_Unknown; // guarded by m_agentLock
};

} // namespace Q7::KPX
