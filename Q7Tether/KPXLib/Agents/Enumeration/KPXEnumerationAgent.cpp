#include "Agents/Enumeration/KPXEnumerationAgent.h"

#include <algorithm>
#include <array>
#include <utility>

#include "Channel/KPXChannel.h"
#include "Channel/KPXMessageReader.h"
#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXMessageProtocolInfo.h"

namespace Q7::KPX
{
namespace
{

using namespace Enumeration;
using Universal::ModuleError;

// Records a major-version range the camera announced for a channel in the
// protocol registry, one version m.0 per major.
void RecordCameraMajors(std::uint8_t channel, std::uint8_t subChannel, std::uint8_t lowest,
                        std::uint8_t highest)
{
    for (unsigned major = lowest; major <= highest; ++major)
        KPXProtocolRegistry::AddCameraVersion(channel, subChannel, {static_cast<std::uint8_t>(major), 0});
}

void LogTimeout(const wchar_t* text)
{
    Universal::LogError(ModuleError(Universal::kError_Timeout, text));
}

} // namespace

EnumerationAgent::EnumerationAgent(ChannelTransport& transport, std::uint32_t replyTimeoutMs)
    : BaseAgent(0, 0, transport), m_replyTimeoutMs(replyTimeoutMs)
{
    m_channel.AddClientMajorVersion({1, 0});
    m_channel.AddClientMajorVersion({2, 0});
    m_channel.AddClientMajorVersion({2, 1});
    m_channel.SetClientMajorVersions({1, 2});
    m_channel.Start();
}

EnumerationAgent::~EnumerationAgent() = default;

void EnumerationAgent::SetErrorCallback(const Universal::ErrorCallback& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

void EnumerationAgent::SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

bool EnumerationAgent::Open()
{
    Platform::ScopedLock lock(m_agentLock);
    if (m_channel.IsOpen())
        return true;
    m_channel.Close();
    try
    {
        return m_channel.Open() == 0;
    }
    catch (...)
    {
        try
        {
            m_channel.Close();
        }
        catch (...)
        {
            // The open's error is the one the caller needs.
        }
        throw;
    }
}

void EnumerationAgent::Close()
{
    Platform::ScopedLock lock(m_agentLock);
    m_channel.Close();
}

bool EnumerationAgent::IsOpen() const
{
    return m_channel.IsOpen();
}

std::uint32_t EnumerationAgent::GetMode()
{
    Platform::ScopedLock lock(m_agentLock);
    return m_mode;
}

bool EnumerationAgent::Request(const MessageBytes& request, const wchar_t* requestName,
                               const wchar_t* timeoutText, std::uint64_t& deadlineMs,
                               CommonMessageHeader& header)
{
    Universal::LogInfo(L"KPX ch0 sending msg: %ls", requestName);
    if (m_channel.Write(request.data(), static_cast<std::uint32_t>(request.size()), nullptr, nullptr,
                        Platform::kInfinite) != 0)
    {
        Close();
        return false;
    }

    deadlineMs = Platform::GetTickCountMs() + m_replyTimeoutMs;
    std::array<std::uint8_t, kCommonMessageHeaderSize> bytes{};
    std::uint32_t bytesRead = 0;
    const std::int32_t result = m_channel.Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                               nullptr, &bytesRead, m_replyTimeoutMs);
    if (result != 0)
    {
        if (result == 2)
            LogTimeout(timeoutText);
        Close();
        return false;
    }
    Q7_ASSERT(bytesRead == sizeof(bytes));
    header = *DecodeMessageHeader(bytes);
    CheckReplyHeader(header);
    return true;
}

bool EnumerationAgent::GetDeviceInfo(DeviceInfo& info)
{
    info = DeviceInfo{};
    if (!m_channel.IsOpen())
        return false;

    const wchar_t* const timeoutText = L"KPX ch0 reading device info.";
    std::uint64_t deadlineMs = 0;
    CommonMessageHeader header;
    if (!Request(MakeGetDeviceInfoMessage(m_channel.GetProtocolVersion()), L"GetDeviceInfo", timeoutText,
                 deadlineMs, header))
        return false;

    ChannelMessageSource source(m_channel, nullptr, deadlineMs);
    if (!IsEnumerationMessage(header, kEnumerationMessage_DeviceInfoReply))
    {
        // Read the whole unexpected message away, so that the stream stays in
        // step with the camera's messages.
        if (const std::uint32_t result =
                source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize);
            result != 0)
        {
            if (result == 2)
                LogTimeout(timeoutText);
            Close();
        }
        ThrowNotDeviceInfo();
    }

    DeviceInfo received;
    if (const std::uint32_t result = ReadDeviceInfoReply(header, source, received); result != 0)
    {
        if (result == 2)
            LogTimeout(timeoutText);
        Close();
        return false;
    }
    info = std::move(received);
    RecordCameraMajors(0, 0, info.enumerationMajorLowest, info.enumerationMajorHighest);
    LogDeviceInfo(info);

    Platform::ScopedLock lock(m_agentLock);
    m_mode = info.enumerationMajorHighest < 2 ? kMode_DefaultList : kMode_AskDevice;
    return true;
}

bool EnumerationAgent::GetChannelList(ChannelList& list)
{
    list.clear();
    std::uint32_t mode = GetMode();
    if (mode == kMode_Unknown)
    {
        DeviceInfo scratch;
        if (!GetDeviceInfo(scratch))
            return false;
        mode = GetMode();
    }

    if (mode == kMode_AskDevice)
    {
        if (!ReadDeviceChannelList(list))
            return false;
    }
    else
    {
        Universal::LogInfo(L"KPX ch0 using default channel list");
        list = MakeDefaultChannelList();
    }
    LogChannelList(list);
    return true;
}

bool EnumerationAgent::ReadDeviceChannelList(ChannelList& list)
{
    if (!m_channel.IsOpen())
        return false;

    const wchar_t* const timeoutText = L"KPX ch0 reading channel list.";
    std::uint64_t deadlineMs = 0;
    CommonMessageHeader header;
    if (!Request(MakeGetChannelListMessage(m_channel.GetProtocolVersion()), L"GetChannelList", timeoutText,
                 deadlineMs, header))
        return false;
    if (!IsEnumerationMessage(header, kEnumerationMessage_ChannelListReply))
        ThrowNotChannelList();

    ChannelMessageSource source(m_channel, nullptr, deadlineMs);
    ChannelList received;
    if (const std::uint32_t result = ReadChannelListReply(header, source, received); result != 0)
    {
        if (result == 2)
            LogTimeout(timeoutText);
        Close();
        return false;
    }
    for (const auto& descriptor : received)
    {
        const auto [lowest, highest] = AnnouncedMajorRange(*descriptor);
        RecordCameraMajors(descriptor->channelNumber, descriptor->subChannelNumber, lowest, highest);
    }
    list = std::move(received);
    return true;
}

} // namespace Q7::KPX
