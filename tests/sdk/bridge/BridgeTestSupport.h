// Helpers of the camera bridge's end-to-end tests: each case runs in a process
// of its own (the SDK opens once per process), simulated cameras listen on
// 127.0.0.N:7381 (one address per camera, so cases run in parallel) or sit on
// the process's virtual USB bus, and a listener collects the SDK's events.
#pragma once

#include "KpxLibTransport.h"
#include "ProcessResources.h"
#include "PropertyValueTestSupport.h"
#include "Q7PlatformUsbVirtualBus.h"
#include "Sdk.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimUsbAttachment.h"
#include "TempFolder.h"

#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace BridgeTest
{

using namespace std::chrono_literals;
using Event = std::shared_ptr<const Q7::Tavrin::INotificationEvent>;
using Q7::TavrinC::KpxLibTransport;

/// Runs body, the whole of one case, and ends the process: exit status 0
/// when no expectation failed, else 1 after printing the failures on
/// standard error (where the parent shows them).
[[noreturn]] inline void RunCaseAndExit(const std::function<void()>& body)
{
    ::testing::TestPartResultArray results;
    {
        const ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
        body();
    }
    bool failed = false;
    for (int i = 0; i < results.size(); ++i)
    {
        const ::testing::TestPartResult& result = results.GetTestPartResult(i);
        if (result.failed())
        {
            failed = true;
            std::fprintf(stderr, "%s:%d: Failure\n%s\n",
                         result.file_name() != nullptr ? result.file_name() : "?", result.line_number(),
                         result.message());
        }
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(failed ? 1 : 0);
}

/// Runs body in a child process of its own (the SDK opens once per process)
/// and expects it to end without a failed expectation.
inline void InOwnProcess(const std::function<void()>& body)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunCaseAndExit(body), ::testing::ExitedWithCode(0), "");
}

/// The open SDK's bridge (opens the SDK when needed). Its cameras open under
/// the process's own initialisation lock folder, never the machine's: parallel
/// cases neither wait for nor exclude each other or other test runs.
inline KpxLibTransport& Bridge()
{
    static const TestSupport::TempFolder locks;
    Q7::TavrinC::OpenSdk();
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        throw std::logic_error("no SDK instance");
    }
    sdk->Transport().SetInitializationLockFolder(locks.Root());
    return sdk->Transport();
}

/// "127.0.0.<n>".
inline std::string Loopback(int n)
{
    return "127.0.0." + std::to_string(n);
}

// ---------------------------------------------------------------- simulated cameras

/// Ids of the properties the tests' camera adds to the default model.
inline constexpr std::uint32_t kU8Property = 0x1020;      // code 2
inline constexpr std::uint32_t kText21Property = 0x1021;  // code 21, writable
inline constexpr std::uint32_t kExpertProperty = 0x1022;  // code 6, user level 20, writable
inline constexpr std::uint32_t kSwitchOnCamera = 0x5B2E7; // the SDK's switch, also offered by the camera

/// The default model and the properties above.
inline std::vector<Q7::Sim::SimProperty> BridgeModel()
{
    using Q7::Sim::SimProperty;
    using Q7::Sim::SimValue;
    std::vector<SimProperty> properties = Q7::Sim::DeviceControlModel::DefaultProperties();
    SimProperty u8;
    u8.id = kU8Property;
    u8.valueType = 2;
    u8.descriptor.name = "Drive mode";
    u8.value = SimValue::U8(3);
    properties.push_back(u8);
    SimProperty text21;
    text21.id = kText21Property;
    text21.valueType = 21;
    text21.descriptor.name = "Artist";
    text21.value = SimValue::Text(21, "nobody");
    properties.push_back(text21);
    SimProperty expert;
    expert.id = kExpertProperty;
    expert.valueType = 6;
    expert.descriptor.name = "Expert knob";
    expert.descriptor.userLevel = 20;
    expert.value = SimValue::U32(17);
    properties.push_back(expert);
    SimProperty shadow;
    shadow.id = kSwitchOnCamera;
    shadow.valueType = 6;
    shadow.descriptor.name = "Camera's own 0x5B2E7";
    shadow.value = SimValue::U32(99);
    properties.push_back(shadow);
    return properties;
}

/// A simulated camera serving channel 2.0 from a model. Over TCP it listens on
/// address:7381 once Listen ran; on USB it is plugged into a bus.
struct SimulatedCamera
{
    explicit SimulatedCamera(const std::string& serial = "SIM0000001",
                             const std::function<void(Q7::Sim::CameraDescription&)>& adjust = {})
        : model(std::make_shared<Q7::Sim::DeviceControlModel>(BridgeModel()))
    {
        Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
        description.serialNumber = serial;
        if (adjust)
        {
            adjust(description);
        }
        sim = std::make_unique<Q7::Sim::Camera>(std::move(description));
        sim->SetLogSink({});
        sim->SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
    }
    ~SimulatedCamera()
    {
        usb.reset();
        sim->Stop();
    }

    /// Listens on address:7381.
    void Listen(const std::string& address) { sim->Start(address, KpxLibTransport::kCameraPort); }

    /// Plugs the camera into the bus at the port.
    void Plug(Q7::Platform::Usb::VirtualUsbBus& bus, std::uint8_t port)
    {
        usb = std::make_unique<Q7::Sim::UsbAttachment>(*sim, bus,
                                                       Q7::Sim::UsbAttachmentOptions{.ports = {port}});
        usb->Plug();
    }

    std::shared_ptr<Q7::Sim::DeviceControlModel> model;
    std::unique_ptr<Q7::Sim::Camera> sim;
    std::unique_ptr<Q7::Sim::UsbAttachment> usb;
};

/// A camera description without the image channels (3 and up).
inline void WithoutImageChannels(Q7::Sim::CameraDescription& description)
{
    std::erase_if(description.channels, [](const Q7::Sim::ChannelConfig& c) { return c.id.channel > 2; });
}

/// The process's USB host backend: a virtual bus, installed before the SDK
/// opens (the device manager and every USB device then use it).
inline Q7::Platform::Usb::VirtualUsbBus& InstallVirtualBus()
{
    static Q7::Platform::Usb::VirtualUsbBus* const bus = []
    {
        auto installed = std::make_unique<Q7::Platform::Usb::VirtualUsbBus>();
        Q7::Platform::Usb::VirtualUsbBus* const raw = installed.get();
        Q7::Platform::Usb::InstallHostBackend(std::move(installed));
        return raw;
    }();
    return *bus;
}

// ---------------------------------------------------------------- events

/// A listener with a catch-all registration; the test thread takes its events.
class Listener
{
public:
    Listener()
    {
        EXPECT_EQ(Q7::TavrinC::RegisterListener(m_id), Q7::Tavrin::Success);
        EXPECT_EQ(Q7::TavrinC::EnableCatchAllNotifications(m_id), Q7::Tavrin::Success);
    }
    std::uint32_t Id() const { return m_id; }

    /// The next event, or null after the time-out.
    Event Next(std::chrono::milliseconds timeout = 10s)
    {
        Q7::Tavrin::ErrorCode code = Q7::Tavrin::Success;
        Event event =
            Q7::TavrinC::WaitForNotification(m_id, code, static_cast<std::uint32_t>(timeout.count()));
        return code == Q7::Tavrin::Success ? event : nullptr;
    }

    /// Takes events until one of type for the camera comes (and gives it), or
    /// null after the time-out; the others are kept in Skipped().
    Event WaitFor(const Q7::Tavrin::BaseEventType& type, std::int32_t cameraId, std::uint32_t id = 0,
                  std::chrono::milliseconds timeout = 10s)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end)
        {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            Event event = Next(std::max(left, 1ms));
            if (!event)
            {
                break;
            }
            if (&event->Type() == &type && event->CameraId() == cameraId && event->Id() == id)
            {
                return event;
            }
            m_skipped.push_back(event);
        }
        return nullptr;
    }

    /// Every event until none comes for quiet.
    std::vector<Event> Drain(std::chrono::milliseconds quiet = 300ms)
    {
        std::vector<Event> events;
        while (Event event = Next(quiet))
        {
            events.push_back(event);
        }
        return events;
    }

    const std::vector<Event>& Skipped() const { return m_skipped; }
    void ClearSkipped() { m_skipped.clear(); }

    /// The events skipped so far and every one that comes until none does for
    /// quiet; the skipped list is emptied.
    std::vector<Event> Rest(std::chrono::milliseconds quiet = 300ms)
    {
        std::vector<Event> events = std::move(m_skipped);
        m_skipped.clear();
        for (Event& event : Drain(quiet))
        {
            events.push_back(std::move(event));
        }
        return events;
    }

private:
    std::uint32_t m_id = 0;
    std::vector<Event> m_skipped;
};

/// "Type(camera,id)" of each event, for comparing sequences.
inline std::string Name(const Event& event)
{
    std::ostringstream text;
    text << event->Type().name << "(" << event->CameraId() << "," << event->Id() << ")";
    return text.str();
}

inline std::vector<std::string> Names(const std::vector<Event>& events)
{
    std::vector<std::string> names;
    for (const Event& event : events)
    {
        names.push_back(Name(event));
    }
    return names;
}

/// The events of the list whose name is one of names, in order.
inline std::vector<std::string> Only(const std::vector<Event>& events, const std::vector<std::string>& types)
{
    std::vector<std::string> names;
    for (const Event& event : events)
    {
        if (std::find(types.begin(), types.end(), event->Type().name) != types.end())
        {
            names.push_back(Name(event));
        }
    }
    return names;
}

/// A simulated camera listening on 127.0.0.<address>:7381 (prepare adjusts it
/// before), opened through the bridge; the listener took its SdkCameraOpened.
struct OpenedCamera
{
    explicit OpenedCamera(int address, const std::function<void(SimulatedCamera&)>& prepare = {},
                          const std::function<void(Q7::Sim::CameraDescription&)>& describe = {})
        : camera("SIM0000001", describe)
    {
        if (prepare)
        {
            prepare(camera);
        }
        camera.Listen(Loopback(address));
        EXPECT_EQ(Bridge().OpenIpCamera(id, Loopback(address).c_str(), nullptr, 5), Q7::Tavrin::Success)
            << Q7::TavrinC::GetErrorMessage();
        EXPECT_NE(listener.WaitFor(Q7::Tavrin::SdkEventType::SdkCameraOpened, id), nullptr);
    }

    SimulatedCamera camera;
    Listener listener;
    int id = 0;
};

// ---------------------------------------------------------------- values

using TestSupport::Describe;
using TestSupport::Record;
using TestSupport::Typed;

// ---------------------------------------------------------------- the process

using TestSupport::ProcessResources;
using TestSupport::ThreadNames;

} // namespace BridgeTest
