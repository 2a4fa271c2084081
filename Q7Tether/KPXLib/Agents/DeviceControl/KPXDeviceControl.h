// The device-control agent of channel 2.0: it keeps a cache of the camera's
// properties (list, descriptors, states) current from what the camera sends,
// so that every property read is answered without touching the wire, and it
// sends the requests that change the camera (set, restore, refresh, execute).
//
// Threads: "KPX ch2 ntfy" hands property notifications to the receiver,
// "KPX ch2 send" opens the channel (when the receive thread asks for it) and
// writes the queued requests, "KPX ch2 recv" reads and dispatches the
// camera's messages. Whenever the channel closes (a failed read or write, a
// malformed reply, the camera closing it) the cache and the send queue are
// emptied, the channel is opened again and the cache rebuilt from the replies.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <vector>

#include "Agents/DeviceControl/KPXDeviceControlCache.h"
#include "Agents/DeviceControl/KPXDeviceControlRecords.h"
#include "Channel/KPXAgent.h"
#include "Channel/KPXChannel.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Q7UniversalFunPtr_Template.h"

namespace Q7::KPX
{

class ChannelTransport;
class MessageSource;
class Value;

/// The agent of channel 2.0.
///
/// Life cycle: constructed (channel started, not open) -> Start (threads run,
/// cache built) -> Stop (channel closed, cache emptied, threads ended) ->
/// Start again as often as wanted -> destroyed (stops first).
///
/// Threads: every public member may be called from any application thread
/// (thread-safe). Start, Stop and SetNotifyReceiver are serialised by the
/// agent lock. The getters read the cache under its lock and never touch the
/// wire. The notification receiver runs on "KPX ch2 ntfy" under the receiver
/// lock and outside every other lock: it may call the getters, not
/// SetNotifyReceiver. Errors met on the agent's threads go to the error
/// callback (this object's dispatcher), which runs on those threads. Start,
/// Stop and the destructor wait for the agent's threads, so neither the
/// receiver nor the error callback may call them.
class DeviceControlAgent : public Universal::ErrorDispatcher, public BaseAgent
{
public:
    using ValueWithText = DeviceControl::ValueWithText;
    using PropertyState = DeviceControl::PropertyState;
    using PropertyAttribute = DeviceControl::PropertyAttribute;
    using PropertyDescriptor = DeviceControl::PropertyDescriptor;
    using Property = DeviceControl::Property;
    using EnumPropertyNotify = DeviceControl::EnumPropertyNotify;
    using enum DeviceControl::EnumPropertyNotify;

    /// The receiver of property notifications: the kind and the ids it is about.
    using NotifyReceiver =
        Universal::FunctionPointer2<void, EnumPropertyNotify, const std::vector<unsigned int>&>;

    /// How long Start waits for every descriptor and state by default.
    static constexpr std::uint32_t kDescriptorWaitMs = 5000;

    /// Builds channel 2.0 on the transport (which must outlive the agent) with
    /// the handshake `timings`, declares the message protocol versions 1.0,
    /// 1.1 and 2.0 and starts the channel. `descriptorWaitMs` is Start's wait
    /// for a complete cache (tests of silent cameras shorten it). Raises what
    /// starting the channel raises.
    explicit DeviceControlAgent(ChannelTransport& transport, const ChannelTimings& timings = {},
                                std::uint32_t descriptorWaitMs = kDescriptorWaitMs);
    /// Stops the agent.
    ~DeviceControlAgent() override;

    /// Starts the agent, unless its three threads already run: stops what is
    /// left of an earlier run, checks that the channel opens (opening and
    /// closing it once; a non-zero result returns without starting anything),
    /// starts the notify, send and receive threads and waits up to the
    /// descriptor wait for a complete cache. A wait that runs out logs the
    /// error "KPX ch2 timeout (5s) waiting for all property descriptors." and
    /// "KPX ch2 Missing %u prop descs for: %ls" with the incomplete ids; the
    /// agent stays started. The properties completed meanwhile are notified as
    /// one "added" notification when Start returns. Raises (after stopping
    /// again) what the channel's Open raises (see Channel::Open) and what
    /// starting a thread raises. Blocks: returns as soon as the cache is
    /// complete.
    void Start();

    /// Closes the channel, empties the cache and the send queue, stops and
    /// releases the three threads (logging the error "Thread '%ls' taking an
    /// unexpectedly long time to stop." after every 10 s that a thread takes)
    /// and drops the notifications the receiver has not been given: none of
    /// them is delivered later.
    /// Raises nothing. Blocks.
    void Stop();

    /// True while the notify, send and receive threads all run.
    [[nodiscard]] bool IsStarted() const;

    /// Replaces the notification receiver (a clone of `receiver`; an empty or
    /// unbound one removes it). Waits while the receiver runs: once it
    /// returns, the old receiver is not called any more. Notifications that
    /// come while no receiver is set are dropped.
    void SetNotifyReceiver(const NotifyReceiver& receiver);

    /// Sets the error callback on the agent and on its channel. Blocks while a
    /// dispatch of either runs.
    void SetErrorCallback(const Universal::ErrorCallback& callback) override;
    /// As above, for a callback given as a function.
    void SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback) override;

    // Getters: copies from the cache; a property whose descriptor and state
    // have not both arrived with one value type counts as absent.
    bool GetProperty(std::uint32_t id, Property& property) const;
    bool GetPropertyDescriptor(std::uint32_t id, PropertyDescriptor& descriptor) const;
    bool GetPropertyState(std::uint32_t id, PropertyState& state) const;
    /// Ids of the complete properties in the camera's list order.
    [[nodiscard]] std::vector<unsigned int> GetPropertyIds() const;
    /// Copies of the complete properties in the camera's list order.
    [[nodiscard]] std::list<Property> GetPropertyList() const;
    /// The value type code of a complete property; 0 when unknown.
    [[nodiscard]] std::uint32_t GetPropertyType(std::uint32_t id) const;
    /// The id is cached and complete.
    [[nodiscard]] bool HasProperty(std::uint32_t id) const;

    /// Asks the camera to set a property's value: queues SetPropValue and then
    /// GetPropState, and marks the property so that the camera's next state
    /// is notified even when unchanged; the cache changes only through the
    /// camera's answer. Answers false, sending nothing, for a value carrying
    /// the flag byte or of type 0, an unknown or incomplete property, a
    /// disabled or read-only one (with the warnings "KPX ch2 Ignoring attempt
    /// to set disabled property (id=%u)" / "... read-only property (id=%u)").
    /// Raises ModuleError 0x650005 "KPX device control set property." for a
    /// value of a fixed-size type whose byte size is not that size, 0x650002
    /// with the same text for a value of another type than the property's, and
    /// (while the send thread runs) 0x650005 "KPX value is too large." for a
    /// value of more than 65535 bytes; all plain. Never blocks on the wire.
    bool SetPropertyValue(std::uint32_t id, const Value& value);

    /// Asks the camera to report the property's state again (RefreshProp);
    /// for 0xFFFFFFFF at once, otherwise only for a complete property (false
    /// when it is not). Does not wait for the answer.
    bool RefreshProperty(std::uint32_t id);

    /// Asks the camera to restore the property's value (RestorePropValue), as
    /// RefreshProperty.
    bool RestorePropertyValue(std::uint32_t id);

    /// Queues ExecuteCmd with command 2, sub-command 0 and the parameter.
    void ExecuteCommand2(std::uint32_t parameter);

    /// Queues ExecuteCmd with command 1 (shutter release), 0, 0.
    void ShutterRelease();

private:
    // Thread bodies.
    void NotifyThread(Platform::Thread_Posix& thread, void* parameter);
    void SendThread(Platform::Thread_Posix& thread, void* parameter);
    void RecvThread(Platform::Thread_Posix& thread, void* parameter);
    void SendLoop(Platform::Thread_Posix& thread, const WaitObjectList& waitList);

    // The channel's open/closed bookkeeping.
    void CloseChannel(bool wakeUp);
    void ResetChannelState();
    bool OpenStep(Platform::BaseEventCondition& stop);

    // Dispatch of one received message whose common header was read; false
    // when a read failed or was aborted (the channel is then reopened).
    bool DispatchMessage(const CommonMessageHeader& header, MessageSource& source);
    bool HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source);
    bool HandleCommonError(const CommonMessageHeader& header, MessageSource& source);
    bool HandlePropListReply(const CommonMessageHeader& header, MessageSource& source);
    bool HandlePropDescReply(const CommonMessageHeader& header, MessageSource& source);
    bool HandlePropStateReply(const CommonMessageHeader& header, MessageSource& source);

    // Request writers: each queues its message when the send thread runs.
    bool IsSending() const;
    ProtocolVersion RequestVersion() const;
    // Queues make(version) with the formatted description, when the send
    // thread runs (the message is not built otherwise). While the channel is
    // open and nothing waits in the queue, the calling thread writes the
    // message itself when the pipe takes it at once: a request then leaves
    // without waking the send thread.
    template <typename Make, typename... Args>
    void QueueRequest(Make&& make, const wchar_t* description, Args... args);
    // The two steps of QueueRequest: the command (null when the send thread
    // does not run), then its sending (nothing for null).
    template <typename Make, typename... Args>
    std::unique_ptr<SendMessageCommand> MakeRequest(Make&& make, const wchar_t* description, Args... args);
    void SendRequest(std::unique_ptr<SendMessageCommand> command);
    std::unique_ptr<SendMessageCommand> MakeGetPropState(std::uint32_t id);
    std::unique_ptr<SendMessageCommand> MakeSetPropValue(std::uint32_t id, const Value& value);
    void QueueGetPropList();
    void QueueGetPropDesc(std::uint32_t id);
    void QueueGetPropState(std::uint32_t id);
    void QueueRestorePropValue(std::uint32_t id);
    void QueueRefreshProp(std::uint32_t id);
    void QueueExecuteCmd(std::uint32_t command, std::uint32_t subCommand, std::uint32_t parameter);
    void QueueEnableEvents(std::uint8_t enable);
    void QueueCommonError(std::uint32_t errorId, const CommonMessageHeader& offending);

    void LogIncompleteProperties();
    void StopThread(Platform::Thread_Posix& thread);

    const std::uint32_t m_descriptorWaitMs;

    Platform::Mutex_Posix m_receiverLock; // guards m_receiver; held while it is called
    NotifyReceiver m_receiver;            // empty until SetNotifyReceiver

    Platform::Thread_Posix m_notifyThread{L"KPX ch2 ntfy"};
    Platform::Thread_Posix m_sendThread{L"KPX ch2 send"};
    Platform::Thread_Posix m_recvThread{L"KPX ch2 recv"};

    // The channel's state between the send and receive threads (no lock):
    Platform::EventCondition_Posix m_channelOpen;   // set while the channel is open
    Platform::EventCondition_Posix m_channelClosed; // set while closed; aborts reads and the send loop
    Platform::EventCondition_Posix m_openRequest;   // the receive thread wants the channel open

    SendMessageQueue m_sendQueue;
    DeviceControl::PropertyCache m_cache;
    // What ends a request written by its caller, as it ends the send thread's writes.
    const WaitObjectList m_directAborts{&m_sendThread.GetStopEvent(), &m_channelClosed};
};

} // namespace Q7::KPX
