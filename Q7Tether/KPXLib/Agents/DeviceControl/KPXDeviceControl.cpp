#include "Agents/DeviceControl/KPXDeviceControl.h"

#include <array>
#include <exception>
#include <string>
#include <utility>

#include "Agents/DeviceControl/KPXDeviceControlMessages.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXValue.h"

namespace Q7::KPX
{
namespace
{

using namespace DeviceControl;
using Platform::ScopedLock;
using Universal::LogDebug;
using Universal::LogErrorText;
using Universal::StdExceptionError;
using Universal::UniversalError;

constexpr std::uint32_t kThreadStopWaitMs = 10000;
// State requests written and not yet answered: what the application asks for
// beyond them waits in the send queue, where a close drops it, rather than at
// the camera, which a close would have to wait for.
constexpr std::uint32_t kStateRequestWindow = 256;
constexpr std::uint32_t kStateRequestStallMs = 2000;
// The CommonError id that answers a message this side does not know.
constexpr std::uint32_t kErrorIdUnknownMessage = 0x01000001;
// Incomplete ids listed after a descriptor wait that ran out: the text stops
// after the id that makes it longer than this.
constexpr std::size_t kMissingIdsTextLength = 40;
const wchar_t* const kLogPrefix = L"KPX ch2 ";

// Runs a reply handler's body; a standard exception in it (an allocation
// failure) is reported as an internal error and thrown on.
template <typename Body>
bool ReportingStdExceptions(Body&& body)
{
    try
    {
        return body();
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

} // namespace

DeviceControlAgent::DeviceControlAgent(ChannelTransport& transport, const ChannelTimings& timings,
                                       std::uint32_t descriptorWaitMs)
    : BaseAgent(2, 0, transport, timings), m_descriptorWaitMs(descriptorWaitMs)
{
    m_channel.AddClientMajorVersion({1, 0});
    m_channel.AddClientMajorVersion({1, 1});
    m_channel.AddClientMajorVersion({2, 0});
    m_channel.Start();
    m_channelClosed.Set();
    m_sendQueue.SetAnswerWindow(kStateRequestWindow, kStateRequestStallMs);
}

DeviceControlAgent::~DeviceControlAgent()
{
    Stop();
}

// ---------------------------------------------------------------------------
// Start and stop.

void DeviceControlAgent::Start()
{
    ScopedLock lock(m_agentLock);
    if (IsStarted())
        return;
    try
    {
        Stop();
        // The send thread opens the channel itself; this only finds out
        // whether the camera lets it open.
        if (m_channel.Open() != 0)
            return;
        m_channel.Close();

        m_cache.SetCollectAddedIds(true);
        // The three start, then all three are waited for: their start-ups
        // overlap. Each waits for the others through events, not for being
        // started first.
        m_notifyThread.Start(Platform::ThreadFunctor(this, &DeviceControlAgent::NotifyThread), nullptr, 0);
        m_sendThread.Start(Platform::ThreadFunctor(this, &DeviceControlAgent::SendThread), nullptr, 0);
        m_recvThread.Start(Platform::ThreadFunctor(this, &DeviceControlAgent::RecvThread), nullptr, 0);
        Platform::WaitForThreadsReady({&m_notifyThread, &m_sendThread, &m_recvThread});
        if (!IsStarted())
        {
            // No cache can come without the threads: no wait for it.
            Stop();
            m_cache.SetCollectAddedIds(false);
            return;
        }
        if (!Platform::WaitForObject(&m_cache.GetAllDescriptorsEvent(), m_descriptorWaitMs))
        {
            LogErrorText(L"KPX ch2 timeout (5s) waiting for all property descriptors.");
            LogIncompleteProperties();
        }
        m_cache.SetCollectAddedIds(false);
    }
    catch (...)
    {
        Stop();
        m_cache.SetCollectAddedIds(false);
        throw;
    }
}

void DeviceControlAgent::Stop()
{
    ScopedLock lock(m_agentLock);
    // The threads are told first: a send thread that saw the channel close
    // before it was told would open it again, and a new run's "added"
    // notifications would reach the receiver while the agent stops.
    m_sendThread.GetStopEvent().Set();
    m_recvThread.GetStopEvent().Set();
    m_notifyThread.GetStopEvent().Set();
    try
    {
        CloseChannel(true);
    }
    catch (const UniversalError&)
    {
        // Logged by the channel; the threads stop all the same.
    }
    StopThread(m_sendThread);
    StopThread(m_recvThread);
    StopThread(m_notifyThread);
    m_sendThread.Close();
    m_recvThread.Close();
    m_notifyThread.Close();
    // What the receiver was not given belongs to this run: delivered after the
    // next Start, it would come ahead of that run's "added" batch and name
    // properties of a cache that no longer exists.
    m_cache.DropNotifications();
}

bool DeviceControlAgent::IsStarted() const
{
    return m_notifyThread.IsRunning() && m_sendThread.IsRunning() && m_recvThread.IsRunning();
}

void DeviceControlAgent::StopThread(Platform::Thread_Posix& thread)
{
    while (!thread.Stop(kThreadStopWaitMs))
        LogErrorText(L"Thread '%ls' taking an unexpectedly long time to stop.", thread.GetName());
}

void DeviceControlAgent::LogIncompleteProperties()
{
    std::vector<std::uint32_t> ids;
    if (!m_cache.FindIncompleteProperties(&ids))
        return;
    std::wstring text;
    for (std::size_t index = 0; index < ids.size(); ++index)
    {
        if (index > 0)
            text += L",";
        text += std::to_wstring(ids[index]);
        if (text.size() > kMissingIdsTextLength)
        {
            if (index + 1 < ids.size())
                text += L",...";
            break;
        }
    }
    LogErrorText(L"KPX ch2 Missing %u prop descs for: %ls", static_cast<unsigned>(ids.size()), text.c_str());
}

void DeviceControlAgent::SetNotifyReceiver(const NotifyReceiver& receiver)
{
    ScopedLock agentLock(m_agentLock);
    ScopedLock receiverLock(m_receiverLock);
    m_receiver.Reset();
    if (!receiver.IsNull())
        m_receiver = receiver;
}

void DeviceControlAgent::SetErrorCallback(const Universal::ErrorCallback& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

void DeviceControlAgent::SetErrorCallback(
    const std::function<void(const Universal::UniversalError&)>& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

// ---------------------------------------------------------------------------
// The channel's open and closed state.

void DeviceControlAgent::CloseChannel(bool wakeUp)
{
    CloseMessageChannel(m_channel, m_channelOpen, m_channelClosed, wakeUp, m_sendThread, m_recvThread,
                        [&] { ResetChannelState(); });
}

void DeviceControlAgent::ResetChannelState()
{
    m_sendQueue.Clear();
    m_cache.Reset();
}

bool DeviceControlAgent::OpenStep(Platform::BaseEventCondition& stop)
{
    return OpenMessageChannel(
        m_channel, stop, m_openRequest, m_channelOpen, m_channelClosed,
        [&](bool wakeUp) { CloseChannel(wakeUp); }, [&] { ResetChannelState(); }, [] {});
}

// ---------------------------------------------------------------------------
// Threads.

void DeviceControlAgent::NotifyThread(Platform::Thread_Posix& thread, void*)
{
    const WaitObjectList waitList{&thread.GetStopEvent()};
    thread.GetReadyEvent().Set();
    while (!thread.IsStopRequested())
    {
        PropertyNotification notification;
        try
        {
            if (!m_cache.PopPropertyNotify(notification, waitList))
                continue;
        }
        catch (const std::exception& exception)
        {
            Q7_REPORT_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
            continue;
        }
        ScopedLock lock(m_receiverLock);
        if (m_receiver.IsNull())
            continue;
        LogDebug(L"KPX ch2 calling notify receiver.");
        try
        {
            m_receiver(notification.kind, notification.ids);
        }
        catch (...)
        {
            Universal::LogError(Universal::ModuleError(Universal::kError_UnexpectedException,
                                                       L"Ignoring exception thrown from notify receiver."));
        }
        LogDebug(L"KPX ch2 notify receiver returned.");
    }
}

void DeviceControlAgent::SendThread(Platform::Thread_Posix& thread, void*)
{
    const WaitObjectList waitList{&thread.GetStopEvent(), &m_channelClosed};
    thread.GetReadyEvent().Set();
    DispatchingErrors(*this, [&] { SendLoop(thread, waitList); });
    DispatchingErrors(*this, [&] { CloseChannel(true); });
}

void DeviceControlAgent::SendLoop(Platform::Thread_Posix& thread, const WaitObjectList& waitList)
{
    while (!thread.IsStopRequested())
    {
        if (!OpenStep(thread.GetStopEvent()))
            return;
        QueueEnableEvents(1);
        QueueGetPropList();
        // SendNext ends when a write fails or the channel closes.
        DispatchingErrors(*this, [&] { SendNext(m_sendQueue, m_channel, waitList, kLogPrefix); });
        CloseChannel(false);
    }
}

void DeviceControlAgent::RecvThread(Platform::Thread_Posix& thread, void*)
{
    RunReceiveThread(
        *this, thread, m_sendThread, m_openRequest, m_channelOpen, m_channelClosed, m_channel,
        L"KPX ch2 message header size too small.", L"KPX ch2 message size too small.",
        [&](const CommonMessageHeader& header, const WaitObjectList& waitList)
        {
            ChannelMessageSource source(m_channel, &waitList);
            return DispatchMessage(header, source);
        },
        [&](bool final) { CloseChannel(final); });
}

// ---------------------------------------------------------------------------
// Received messages.

bool DeviceControlAgent::DispatchMessage(const CommonMessageHeader& header, MessageSource& source)
{
    if (header.messageClass == kMessageClass_Common && header.messageType == kCommonMessage_Error)
        return HandleCommonError(header, source);
    if (header.messageClass == kMessageClass_DeviceControl)
    {
        switch (header.messageType)
        {
        case kDeviceControlMessage_PropListReply:
            return HandlePropListReply(header, source);
        case kDeviceControlMessage_PropDescReply:
            return HandlePropDescReply(header, source);
        case kDeviceControlMessage_PropStateReply:
            return HandlePropStateReply(header, source);
        default:
            break;
        }
    }
    return HandleUnknownMessage(header, source);
}

bool DeviceControlAgent::HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source)
{
    LogErrorText(L"KPX ch2 Received unknown message: class = %u type = 0x%02X", unsigned{header.messageClass},
                 unsigned{header.messageType});
    QueueCommonError(kErrorIdUnknownMessage, header);
    return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
}

bool DeviceControlAgent::HandleCommonError(const CommonMessageHeader& header, MessageSource& source)
{
    return ReportingStdExceptions(
        [&]
        {
            ReceivedCommonError error;
            if (ReadCommonErrorMessage(header, source, RequestVersion(), L"KPX ch2 common error message.",
                                       error) != 0)
                return false;
            LogErrorText(L"KPX ch2 error: errorId = 0x%08x", error.message.errorId);
            LogErrorText(L"KPX ch2 error: source class = %u type = 0x%02X",
                         unsigned{error.message.sourceClass}, unsigned{error.message.sourceType});
            LogErrorText(L"KPX ch2 error: string = \"%ls\"", WideLogText(error.text).c_str());
            return true;
        });
}

bool DeviceControlAgent::HandlePropListReply(const CommonMessageHeader& header, MessageSource& source)
{
    return ReportingStdExceptions(
        [&]
        {
            std::vector<std::uint32_t> ids;
            if (ReadPropertyListReply(header, source, RequestVersion(), ids) != 0)
                return false;
            Universal::LogInfo(L"KPX ch2 prop list msg (count=%u)", static_cast<unsigned>(ids.size()));
            for (const std::uint32_t id : m_cache.MergePropertyList(std::move(ids)))
            {
                QueueGetPropDesc(id);
                QueueGetPropState(id);
            }
            return true;
        });
}

bool DeviceControlAgent::HandlePropDescReply(const CommonMessageHeader& header, MessageSource& source)
{
    return ReportingStdExceptions(
        [&]
        {
            bool nameCached = false;
            const auto logHeader = [&](const PropertyDescriptorMessageHeader& fixed)
            {
                const std::string name = m_cache.GetPropertyName(fixed.propertyId);
                nameCached = !name.empty();
                if (nameCached)
                    LogDebug(L"KPX ch2 prop desc msg (id=%u, #attr=%u) [%ls]", fixed.propertyId,
                             unsigned{fixed.attributeCount}, WideLogText(name).c_str());
                else
                    LogDebug(L"KPX ch2 prop desc msg (id=%u, #attr=%u)", fixed.propertyId,
                             unsigned{fixed.attributeCount});
            };
            PropertyDescriptor descriptor;
            if (ReadPropertyDescriptorReply(header, source, RequestVersion(), descriptor, logHeader) != 0)
                return false;
            if (!nameCached)
                LogDebug(L"KPX ch2 prop id = %u -> [%ls]", descriptor.id,
                         WideLogText(descriptor.name).c_str());
            m_cache.MergePropertyDescriptor(std::move(descriptor));
            return true;
        });
}

bool DeviceControlAgent::HandlePropStateReply(const CommonMessageHeader& header, MessageSource& source)
{
    return ReportingStdExceptions(
        [&]
        {
            const auto logHeader = [&](const PropertyStateMessageHeader& fixed)
            {
                LogDebug(L"KPX ch2 prop state msg (id=%u) [%ls]", fixed.propertyId,
                         WideLogText(m_cache.GetPropertyName(fixed.propertyId)).c_str());
            };
            PropertyState state;
            if (ReadPropertyStateReply(header, source, RequestVersion(), state, logHeader) != 0)
                return false;
            m_sendQueue.Answered();
            m_cache.MergePropertyState(std::move(state));
            return true;
        });
}

// ---------------------------------------------------------------------------
// Getters.

bool DeviceControlAgent::GetProperty(std::uint32_t id, Property& property) const
{
    return m_cache.GetProperty(id, property);
}

bool DeviceControlAgent::GetPropertyDescriptor(std::uint32_t id, PropertyDescriptor& descriptor) const
{
    return m_cache.GetPropertyDescriptor(id, descriptor);
}

bool DeviceControlAgent::GetPropertyState(std::uint32_t id, PropertyState& state) const
{
    return m_cache.GetPropertyState(id, state);
}

std::vector<unsigned int> DeviceControlAgent::GetPropertyIds() const
{
    return m_cache.GetPropertyIds();
}

std::list<DeviceControlAgent::Property> DeviceControlAgent::GetPropertyList() const
{
    return m_cache.GetPropertyList();
}

std::uint32_t DeviceControlAgent::GetPropertyType(std::uint32_t id) const
{
    return m_cache.GetPropertyType(id);
}

bool DeviceControlAgent::HasProperty(std::uint32_t id) const
{
    return m_cache.HasProperty(id);
}

// ---------------------------------------------------------------------------
// Requests.

bool DeviceControlAgent::SetPropertyValue(std::uint32_t id, const Value& value)
{
    if (GetValueFlagByte(value) != 0 || value.GetType() == 0)
        return false;
    const std::uint64_t typeSize = Value::SizeOfType(value.GetType());
    if (typeSize != 0 && value.GetSize() != typeSize)
        throw Universal::ModuleError(Universal::kError_InvalidSize, L"KPX device control set property.");
    // The two requests are made under the cache lock, right after the
    // property was marked, and sent once it is released: the receive thread,
    // which merges the camera's answer under that lock, is not held up by the
    // writes, and the answer finds the mark either way.
    std::unique_ptr<SendMessageCommand> set;
    std::unique_ptr<SendMessageCommand> get;
    if (!m_cache.PrepareSet(id, value.GetType(),
                            [&]
                            {
                                set = MakeSetPropValue(id, value);
                                get = MakeGetPropState(id);
                            }))
        return false;
    SendRequest(std::move(set));
    SendRequest(std::move(get));
    return true;
}

bool DeviceControlAgent::RefreshProperty(std::uint32_t id)
{
    if (id != kPropertyId_All && !m_cache.HasProperty(id))
        return false;
    QueueRefreshProp(id);
    return true;
}

bool DeviceControlAgent::RestorePropertyValue(std::uint32_t id)
{
    if (id != kPropertyId_All && !m_cache.HasProperty(id))
        return false;
    QueueRestorePropValue(id);
    return true;
}

void DeviceControlAgent::ExecuteCommand2(std::uint32_t parameter)
{
    QueueExecuteCmd(kCommand_Two, 0, parameter);
}

void DeviceControlAgent::ShutterRelease()
{
    QueueExecuteCmd(kCommand_ShutterRelease, 0, 0);
}

bool DeviceControlAgent::IsSending() const
{
    return m_sendThread.IsRunning();
}

ProtocolVersion DeviceControlAgent::RequestVersion() const
{
    // Requests are made while the channel may be reopening; those queued
    // meanwhile are discarded with the queue when it opens.
    return m_channel.GetNegotiatedVersion();
}

template <typename Make, typename... Args>
std::unique_ptr<SendMessageCommand> DeviceControlAgent::MakeRequest(Make&& make, const wchar_t* description,
                                                                    Args... args)
{
    if (!IsSending())
        return nullptr;
    return std::make_unique<SendMessageCommand>(make(RequestVersion()), kSendNoTimeout, description, args...);
}

void DeviceControlAgent::SendRequest(std::unique_ptr<SendMessageCommand> command)
{
    if (!command)
        return;
    if (m_channelOpen.IsSet())
        WriteOrPush(m_sendQueue, std::move(command), m_channel, m_directAborts, kLogPrefix);
    else
        m_sendQueue.Push(std::move(command));
}

template <typename Make, typename... Args>
void DeviceControlAgent::QueueRequest(Make&& make, const wchar_t* description, Args... args)
{
    SendRequest(MakeRequest(std::forward<Make>(make), description, args...));
}

void DeviceControlAgent::QueueGetPropList()
{
    if (IsSending())
        m_cache.SetListPending();
    QueueRequest([](ProtocolVersion v) { return MakeGetPropListMessage(v); }, L"GetPropList");
}

void DeviceControlAgent::QueueGetPropDesc(std::uint32_t id)
{
    QueueRequest([id](ProtocolVersion v) { return MakeGetPropDescMessage(v, id); }, L"GetPropDesc (%u)", id);
}

std::unique_ptr<SendMessageCommand> DeviceControlAgent::MakeGetPropState(std::uint32_t id)
{
    std::unique_ptr<SendMessageCommand> command = MakeRequest(
        [id](ProtocolVersion v) { return MakeGetPropStateMessage(v, id); }, L"GetPropState (%u)", id);
    // Every property set is followed by one: the window bounds the sets the
    // camera has yet to work through.
    if (command)
        command->SetExpectsAnswer();
    return command;
}

void DeviceControlAgent::QueueGetPropState(std::uint32_t id)
{
    SendRequest(MakeGetPropState(id));
}

std::unique_ptr<SendMessageCommand> DeviceControlAgent::MakeSetPropValue(std::uint32_t id, const Value& value)
{
    return MakeRequest([&](ProtocolVersion v) { return MakeSetPropValueMessage(v, id, value); },
                       L"SetPropValue (%u, type=%u, size=%u)", id, value.GetType(),
                       static_cast<unsigned>(value.GetSize()));
}

void DeviceControlAgent::QueueRestorePropValue(std::uint32_t id)
{
    QueueRequest([id](ProtocolVersion v) { return MakeRestorePropValueMessage(v, id); },
                 L"RestorePropValue (%u)", id);
}

void DeviceControlAgent::QueueRefreshProp(std::uint32_t id)
{
    QueueRequest([id](ProtocolVersion v) { return MakeRefreshPropMessage(v, id); }, L"RefreshProp (%u)", id);
}

void DeviceControlAgent::QueueExecuteCmd(std::uint32_t command, std::uint32_t subCommand,
                                         std::uint32_t parameter)
{
    QueueRequest([&](ProtocolVersion v) { return MakeExecuteCmdMessage(v, command, subCommand, parameter); },
                 L"ExecuteCmd (%u:%u,0x%x)", command, subCommand, parameter);
}

void DeviceControlAgent::QueueEnableEvents(std::uint8_t enable)
{
    if (IsSending())
        EnableEvents(m_sendQueue, RequestVersion(), enable);
}

void DeviceControlAgent::QueueCommonError(std::uint32_t errorId, const CommonMessageHeader& offending)
{
    if (IsSending())
        CommonError(m_sendQueue, errorId, offending, RequestVersion());
}

} // namespace Q7::KPX
