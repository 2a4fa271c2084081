// The device-control agent of the library against the simulated camera's
// channel 2.0: a fixture that serves a property model, reaches the camera over
// the suite's transport and runs the agent on it, with recorders of the
// agent's notifications and errors.
//
// Suites are parametrised by transport: the fixture gets its device from
// OpenSimulatedDevice alone, so another transport joins by adding an
// E2eTransport value and its case there.
#pragma once

#include "Agents/DeviceControl/KPXDeviceControl.h"
#include "Channel/KPXChannelTransport.h"
#include "E2eTransport.h"
#include "LogCapture.h"
#include "Q7UniversalError.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "Transport/KPXTransport.h"
#include "Wire/KPXValue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace E2e
{

using namespace std::chrono_literals;

// The notifications an agent delivered, in order. Thread-safe.
class NotificationRecorder
{
public:
    using Kind = Q7::KPX::DeviceControlAgent::EnumPropertyNotify;
    struct Entry
    {
        Kind kind;
        std::vector<unsigned int> ids;
    };

    void OnNotify(Kind kind, const std::vector<unsigned int>& ids)
    {
        {
            std::lock_guard lock(m_mutex);
            m_entries.push_back({kind, ids});
        }
        m_changed.notify_all();
    }

    Q7::KPX::DeviceControlAgent::NotifyReceiver Receiver()
    {
        return Q7::KPX::DeviceControlAgent::NotifyReceiver(this, &NotificationRecorder::OnNotify);
    }

    std::vector<Entry> Entries() const
    {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }

    // Number of notifications of `kind` naming `id`.
    std::size_t Count(Kind kind, unsigned int id) const
    {
        std::lock_guard lock(m_mutex);
        return CountLocked(kind, id);
    }

    // Number of notifications of `kind`.
    std::size_t Count(Kind kind) const
    {
        std::lock_guard lock(m_mutex);
        std::size_t n = 0;
        for (const Entry& entry : m_entries)
            n += entry.kind == kind;
        return n;
    }

    // Waits until at least `count` notifications of `kind` name `id`.
    bool WaitFor(Kind kind, unsigned int id, std::size_t count = 1,
                 std::chrono::milliseconds timeout = 10s) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return CountLocked(kind, id) >= count; });
    }

    // Waits until at least `count` notifications arrived.
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = 10s) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_entries.size() >= count; });
    }

    void Clear()
    {
        std::lock_guard lock(m_mutex);
        m_entries.clear();
    }

private:
    std::size_t CountLocked(Kind kind, unsigned int id) const
    {
        std::size_t n = 0;
        for (const Entry& entry : m_entries)
        {
            if (entry.kind != kind)
                continue;
            for (const unsigned int named : entry.ids)
                n += named == id;
        }
        return n;
    }

    mutable std::mutex m_mutex; // guards m_entries
    mutable std::condition_variable m_changed;
    std::vector<Entry> m_entries;
};

// The module errors an agent dispatched, in order. Thread-safe.
class ErrorRecorder
{
public:
    struct Entry
    {
        std::uint32_t code = 0;
        std::wstring context;
    };

    std::function<void(const Q7::Universal::UniversalError&)> Callback()
    {
        return [this](const Q7::Universal::UniversalError& error)
        {
            Entry entry;
            if (const auto* module = dynamic_cast<const Q7::Universal::ModuleError*>(&error))
                entry.code = module->GetFullCode();
            entry.context = error.GetContext().c_str();
            {
                std::lock_guard lock(m_mutex);
                m_entries.push_back(std::move(entry));
            }
            m_changed.notify_all();
        };
    }

    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = 10s) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_entries.size() >= count; });
    }

    std::vector<Entry> Entries() const
    {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }

    // Waits until an error of `code` with `context` came (others may come
    // before it, from the camera's other agents).
    bool WaitFor(std::uint32_t code, const std::wstring& context,
                 std::chrono::milliseconds timeout = 10s) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout,
                                  [&]
                                  {
                                      return std::any_of(m_entries.begin(), m_entries.end(),
                                                         [&](const Entry& entry) {
                                                             return entry.code == code &&
                                                                    entry.context == context;
                                                         });
                                  });
    }

private:
    mutable std::mutex m_mutex; // guards m_entries
    mutable std::condition_variable m_changed;
    std::vector<Entry> m_entries;
};

// A KPX value holding `bytes` of a simulated value.
inline Q7::KPX::Value ToKpxValue(const Q7::Sim::SimValue& value)
{
    return Q7::KPX::Value(value.type, value.bytes.data(), value.bytes.size());
}

// The id of the property that every test model ends with; Settle changes it.
inline constexpr std::uint32_t kSentinelId = 0x7FFF0001;

// A camera serving `properties` (plus the sentinel) on channel 2.0, reached
// over the suite's transport, with a device-control agent on it. Suites derive
// from it with their parameter and say which transport it names.
class DeviceControlE2eFixture : public ::testing::Test
{
protected:
    // The transport of the running test.
    virtual E2eTransport Transport() const = 0;

    // Long enough never to run out in a passing test: a Start that waits for
    // it shows as a time-out log, not as a slow test.
    static constexpr std::uint32_t kLongDescriptorWaitMs = 30000;

    ~DeviceControlE2eFixture() override
    {
        agent.reset();
        if (transport)
            transport->Stop();
        transport.reset();
        if (device)
            device->Close();
        device.reset();
        if (camera)
            camera->Stop();
    }

    // Starts the camera with the properties and connects to it.
    void StartCamera(
        std::vector<Q7::Sim::SimProperty> properties = Q7::Sim::DeviceControlModel::DefaultProperties())
    {
        Q7::Sim::SimProperty sentinel;
        sentinel.id = kSentinelId;
        sentinel.valueType = 6;
        sentinel.descriptor.name = "Sentinel";
        sentinel.value = Q7::Sim::SimValue::U32(0);
        properties.push_back(sentinel);
        model = std::make_shared<Q7::Sim::DeviceControlModel>(std::move(properties));
        camera = std::make_unique<Q7::Sim::Camera>(Q7::Sim::CameraDescription::Default());
        camera->SetLogSink({});
        camera->SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
        camera->Start("127.0.0.1", 0);
        device = OpenSimulatedDevice(Transport(), *camera);
        transport = std::make_unique<Q7::KPX::ChannelTransport>(*device, Q7::KPX::Transport::kDefaultPipeId);
        ASSERT_EQ(transport->Start(), 0u);
    }

    // Makes the agent (as the camera object would: versions from the channel
    // list, receivers set) without starting it.
    void MakeAgent(std::uint32_t descriptorWaitMs = kLongDescriptorWaitMs)
    {
        agent = std::make_unique<Q7::KPX::DeviceControlAgent>(*transport, Q7::KPX::ChannelTimings{},
                                                              descriptorWaitMs);
        agent->SetClientMajorVersions({1, 2});
        agent->SetNotifyReceiver(notifications.Receiver());
        agent->SetErrorCallback(errors.Callback());
    }

    // Camera, agent, Start.
    void StartAll(std::uint32_t descriptorWaitMs = kLongDescriptorWaitMs)
    {
        StartCamera();
        MakeAgent(descriptorWaitMs);
        agent->Start();
    }

    // Returns once everything the camera sent before, including its answers to
    // every request the agent made before, has been merged and notified: the
    // host asks for the sentinel's state, the camera answers in order, then
    // changes the sentinel, and its notification closes the queue.
    void Settle()
    {
        const std::size_t refreshes = model->Stats().CountHandled(Q7::Sim::kDcRefreshProp, kSentinelId);
        ASSERT_TRUE(agent->RefreshProperty(kSentinelId));
        ASSERT_TRUE(
            model->WaitUntil([&](const Q7::Sim::DeviceControlStats& stats)
                             { return stats.CountHandled(Q7::Sim::kDcRefreshProp, kSentinelId) > refreshes; },
                             10s));
        const std::size_t changes =
            notifications.Count(Q7::KPX::DeviceControlAgent::kPropertyNotify_StateChanged, kSentinelId);
        ASSERT_TRUE(model->ChangeValue(kSentinelId, Q7::Sim::SimValue::U32(++m_sentinelValue)));
        ASSERT_TRUE(notifications.WaitFor(Q7::KPX::DeviceControlAgent::kPropertyNotify_StateChanged,
                                          kSentinelId, changes + 1));
    }

    // The ids of the model, in its order.
    std::vector<unsigned int> ModelIds() const
    {
        std::vector<unsigned int> ids;
        for (const Q7::Sim::SimProperty& property : model->Properties())
            ids.push_back(property.id);
        return ids;
    }

    // The messages the camera received on channel 2.0 of `type` (class 0x66).
    std::vector<Q7::Sim::MessageRecord> CameraMessages(std::uint8_t type) const
    {
        std::vector<Q7::Sim::MessageRecord> found;
        for (const auto& message : camera->Snapshot().messages)
        {
            if (message.channel == Q7::Sim::ChannelId{2, 0} &&
                message.header.messageClass == Q7::Sim::kClassDeviceControl &&
                message.header.messageType == type)
                found.push_back(message);
        }
        return found;
    }

    void ExpectNoViolations() const
    {
        const Q7::Sim::Observations observed = camera->Snapshot();
        EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
    }

    TestSupport::LogCapture log;
    NotificationRecorder notifications;
    ErrorRecorder errors;
    std::shared_ptr<Q7::Sim::DeviceControlModel> model;
    std::unique_ptr<Q7::Sim::Camera> camera;
    std::unique_ptr<Q7::KPX::Transport::DeviceInterface> device;
    std::unique_ptr<Q7::KPX::ChannelTransport> transport;
    std::unique_ptr<Q7::KPX::DeviceControlAgent> agent;

private:
    std::uint32_t m_sentinelValue = 0;
};

} // namespace E2e
