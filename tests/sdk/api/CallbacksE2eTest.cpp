// The application's callbacks run on the library's own threads, against a
// simulated camera over TCP and the virtual USB bus: a close asked from a
// subscription callback, the log handler, the message printer or a
// notification filter, a log handler that takes the application's lock while
// other threads call the SDK, and filters that throw or call the SDK. Each
// case runs in a process of its own (the SDK opens once per process).

#include "CallbackTestSupport.h"
#include "SdkLogCapture.h"

#include <TavrinCpp/EventTypes.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

namespace
{

using namespace CallbackTest;
using namespace Q7::Tavrin;
namespace C = Q7::TavrinC;
using BridgeTest::InOwnProcess;
using BridgeTest::kText21Property;
using BridgeTest::kU8Property;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- closes from callbacks

// Where the application's code runs.
enum class Where
{
    SubscriptionCallback,
    LogHandler,
    MessagePrinter,
    Filter,
};

// What it asks for there.
enum class What
{
    CloseCamera,      // the flat CloseCamera
    CloseSdk,         // the flat CloseSdk
    CameraClose,      // Camera::Close
    CameraDestructor, // the Camera's destruction
};

struct CloseRow
{
    const char* name;
    Where where;
    What what;
    int address; // 127.0.0.<address> for TCP
};

void PrintTo(const CloseRow& row, std::ostream* out)
{
    *out << row.name;
}

struct Outcome
{
    ErrorCode code = Success;
    Clock::duration took{};
    std::string thread;
};

// The close the application's code asks for, once, on the first thread of a
// camera it runs on.
struct Armed
{
    std::atomic<bool> armed{false};
    What what = What::CloseCamera;
    int id = 0;
    std::optional<Camera> camera;
    std::promise<Outcome> done;

    void Fire()
    {
        if (!OnCameraThread() || !armed.exchange(false))
        {
            return;
        }
        Outcome outcome;
        outcome.thread = ThreadName();
        const auto start = Clock::now();
        switch (what)
        {
        case What::CloseCamera:
            outcome.code = C::CloseCamera(id);
            break;
        case What::CloseSdk:
            outcome.code = C::CloseSdk(false);
            break;
        case What::CameraClose:
            camera->Close();
            break;
        case What::CameraDestructor:
            camera.reset();
            break;
        }
        outcome.took = Clock::now() - start;
        done.set_value(outcome);
    }
};

Armed& TheArmed()
{
    static Armed& armed = *new Armed; // library threads may still log while the process exits
    return armed;
}

void ArmedPrinter(int, const char*, va_list)
{
    TheArmed().Fire();
}

class CloseFromCallbackE2eTest : public ::testing::TestWithParam<std::tuple<CloseRow, Link>>
{
};

// Catches a close asked on a thread of the library (its own camera's threads
// among them) that frees the camera on that thread (asan: a read of freed
// memory in the transport's close, or in an agent), that waits there for the
// thread itself (the message printer's close did not return in 5 s), or that
// never posts SdkCameraClosed; and a CloseSdk there that waits for or frees
// the thread it runs on.
TEST_P(CloseFromCallbackE2eTest, IsHandedToAnotherThreadAndCompletes)
{
    const auto& [row, link] = GetParam();
    InOwnProcess(
        [row, link]
        {
            Rig rig(link, row.address);
            Armed& armed = TheArmed();
            armed.camera.emplace(rig.Open());
            const int id = armed.camera->Id();
            armed.id = id;
            armed.what = row.what;
            std::future<Outcome> done = armed.done.get_future();
            BridgeTest::Listener listener;
            std::uint32_t filtered = 0;
            switch (row.where)
            {
            case Where::SubscriptionCallback:
                // Runs on the image-enumeration agent's notify thread, when the
                // camera answers the subscription.
                ASSERT_EQ(C::SetSubscriptionNotificationCallback(
                              id, [](C::SubscriptionNotifications, C::SubscriptionPayload&&)
                              { TheArmed().Fire(); }),
                          Success);
                armed.armed = true;
                ASSERT_EQ(C::SetImageEnumerationSubscriptions(id, C::kSetSubscriptionFlags_Preview,
                                                              C::kSubscriptionOptions_Jpeg),
                          Success);
                break;
            case Where::LogHandler:
                SetSdkLoggingHandler([](const char*, LogMessageLevel) { TheArmed().Fire(); });
                armed.armed = true;
                ASSERT_EQ(C::EnableLiveView(id), Success);
                break;
            case Where::MessagePrinter:
                C::SetMessagePrinter(&ArmedPrinter);
                armed.armed = true;
                ASSERT_EQ(C::EnableLiveView(id), Success);
                break;
            case Where::Filter:
                ASSERT_EQ(C::RegisterListener(filtered), Success);
                ASSERT_EQ(
                    C::EnableNotification(
                        filtered, std::make_shared<AppFilter>(
                                      BuildNotificationEvent(EventType::CameraNewLiveViewImage, id, 0),
                                      [](const INotificationEvent& prototype, const INotificationEvent& event)
                                      {
                                          TheArmed().Fire();
                                          return prototype == event;
                                      })),
                    Success);
                armed.armed = true;
                ASSERT_EQ(C::EnableLiveView(id), Success);
                break;
            }

            const Outcome outcome = Within(done, 30s, std::string("the close asked in the callback"));
            EXPECT_LT(outcome.took, 2s) << "the close waited on the library's thread " << outcome.thread;
            EXPECT_EQ(outcome.code, Success);
            if (row.what == What::CloseSdk)
            {
                EXPECT_FALSE(C::IsSdkOpen());
                // Returns once the close handed over has ended.
                auto closed = std::async(std::launch::async, [] { return C::CloseSdk(false); });
                EXPECT_EQ(Within(closed, 30s, std::string("CloseSdk after the callback's")), Success);
            }
            else
            {
                EXPECT_NE(listener.WaitFor(SdkEventType::SdkCameraClosed, id, 0, 30s), nullptr);
                bool open = true;
                EXPECT_EQ(C::IsCameraOpen(id, open), Success);
                EXPECT_FALSE(open);
                PropertyValue value;
                EXPECT_EQ(C::GetPropertyValue(id, kU8Property, value), CameraNotOpen);
            }
            ClearSdkLoggingHandler();
            armed.camera.reset();
        });
}

const CloseRow kCloseRows[] = {
    {"SubscriptionCallbackClosesTheCamera", Where::SubscriptionCallback, What::CloseCamera, 200},
    {"SubscriptionCallbackClosesTheSdk", Where::SubscriptionCallback, What::CloseSdk, 201},
    {"LogHandlerClosesTheCamera", Where::LogHandler, What::CameraClose, 202},
    {"LogHandlerDestroysTheCamera", Where::LogHandler, What::CameraDestructor, 203},
    {"MessagePrinterClosesTheCamera", Where::MessagePrinter, What::CloseCamera, 204},
    {"MessagePrinterClosesTheSdk", Where::MessagePrinter, What::CloseSdk, 205},
    {"FilterClosesTheCamera", Where::Filter, What::CloseCamera, 206},
    {"FilterDestroysTheCamera", Where::Filter, What::CameraDestructor, 207},
};

INSTANTIATE_TEST_SUITE_P(Callbacks, CloseFromCallbackE2eTest,
                         ::testing::Combine(::testing::ValuesIn(kCloseRows),
                                            ::testing::Values(Link::Tcp, Link::Usb)),
                         RowLinkCaseName<CloseRow>);

// ---------------------------------------------------------------- a log handler under the application's lock

class LogHandlerLockE2eTest : public ::testing::TestWithParam<Link>
{
};

// Catches the application's log handler called while the library holds a
// lock that an application call needs: a handler that takes the application's
// lock then deadlocks against an application thread that holds it and calls
// the SDK (GetPropertyIds and GetPropertyValue blocked for over 5 s), and a
// handler that calls the SDK on the library's thread gets -1 "Only one lock
// may be held by current thread".
TEST_P(LogHandlerLockE2eTest, NoCallWaitsMoreThanASecondWhileFramesFlow)
{
    const Link link = GetParam();
    InOwnProcess(
        [link]
        {
            Rig rig(link, 208);
            rig.camera.sim->LiveView().SetFrameRate(0); // as fast as the host takes them
            static int id = 0;
            id = rig.OpenFlat();
            ASSERT_NE(id, 0);
            // The camera tells its live-view state while a subscription callback is set.
            ASSERT_EQ(C::SetSubscriptionNotificationCallback(
                          id, [](C::SubscriptionNotifications, C::SubscriptionPayload&&) {}),
                      Success);

            static std::mutex appLock; // the application's own
            static std::atomic<long> handled{0};
            static std::atomic<long> sdkCalls{0};
            static std::mutex failuresLock;
            static std::vector<std::string> failures; // of the handler's SDK calls
            static thread_local bool inHandler = false;
            SetSdkLoggingHandler(
                [](const char*, LogMessageLevel)
                {
                    {
                        const std::lock_guard<std::mutex> lock(appLock);
                        ++handled;
                    }
                    if (inHandler || !OnCameraThread())
                    {
                        return;
                    }
                    inHandler = true;
                    PropertyValue value;
                    const ErrorCode code = C::GetPropertyValue(id, kU8Property, value);
                    ++sdkCalls;
                    if (code != Success)
                    {
                        const std::lock_guard<std::mutex> lock(failuresLock);
                        failures.push_back(std::to_string(code) + " " + C::GetErrorMessage());
                    }
                    inHandler = false;
                });

            BridgeTest::Listener listener;
            std::atomic<bool> stop{false};
            std::atomic<long> frames{0};
            auto drain = std::async(std::launch::async,
                                    [&]
                                    {
                                        while (!stop.load())
                                        {
                                            const BridgeTest::Event event = listener.Next(200ms);
                                            if (event && &event->Type() == &EventType::CameraNewLiveViewImage)
                                            {
                                                ++frames;
                                            }
                                        }
                                    });
            ASSERT_EQ(C::EnableLiveView(id), Success) << C::GetErrorMessage();

            // Each caller holds the application's lock across its calls, until
            // it made 200 rounds and 100 frames have come meanwhile.
            constexpr int kRounds = 200;
            const long framesBefore = frames.load();
            const auto caller = [&]
            {
                Clock::duration longest{};
                for (int round = 0; round < kRounds || frames.load() < framesBefore + 100; ++round)
                {
                    const std::lock_guard<std::mutex> lock(appLock);
                    const auto start = Clock::now();
                    std::vector<unsigned int> ids;
                    EXPECT_EQ(C::GetPropertyIds(id, ids), Success);
                    PropertyValue value;
                    EXPECT_EQ(C::GetPropertyValue(id, kU8Property, value), Success);
                    longest = std::max(longest, Clock::now() - start);
                }
                return longest;
            };
            auto first = std::async(std::launch::async, caller);
            auto second = std::async(std::launch::async, caller);
            const Clock::duration longest =
                std::max(Within(first, 60s, std::string("a caller holding the application's lock")),
                         Within(second, 60s, std::string("a caller holding the application's lock")));
            EXPECT_LT(longest, 1s);
            stop = true;
            Within(drain, 30s, std::string("the listener's thread"));

            EXPECT_GT(handled.load(), 0);
            EXPECT_GT(sdkCalls.load(), 0) << "the handler never ran on a camera's thread";
            {
                const std::lock_guard<std::mutex> lock(failuresLock);
                EXPECT_TRUE(failures.empty())
                    << failures.size() << " failed, the first: " << failures.front();
            }
            ClearSdkLoggingHandler();
            EXPECT_EQ(C::DisableLiveView(id), Success);
            EXPECT_EQ(C::CloseCamera(id), Success);
        });
}

INSTANTIATE_TEST_SUITE_P(Links, LogHandlerLockE2eTest, ::testing::Values(Link::Tcp, Link::Usb), LinkCaseName);

// ---------------------------------------------------------------- filters

enum class FilterKind
{
    ThrowsStandard, // throws a std::exception
    ThrowsOther,    // throws something else
    CallsTheSdk,    // reads a property and whether the camera is open, then compares
};

struct FilterRow
{
    const char* name;
    FilterKind kind;
    int address;
};

void PrintTo(const FilterRow& row, std::ostream* out)
{
    *out << row.name;
}

class FilterE2eTest : public ::testing::TestWithParam<std::tuple<FilterRow, Link>>
{
};

// Catches an application's filter run unguarded on the library's threads: a
// non-standard exception ends the process, a std::exception makes the event
// vanish for every listener registered after the filter; and a filter run
// under the camera lock, whose calls into the SDK fail with -1 "Only one lock
// may be held by current thread".
TEST_P(FilterE2eTest, TheFilterIsCalledSafelyAndTheOtherListenersAreServed)
{
    const auto& [row, link] = GetParam();
    InOwnProcess(
        [row, link]
        {
            Rig rig(link, row.address);
            static int id = 0;
            id = rig.OpenFlat();
            ASSERT_NE(id, 0);
            TestSupport::SdkLogCapture log;
            static FilterKind kind;
            kind = row.kind;
            static std::atomic<long> calls{0};
            static std::atomic<bool> checking{true}; // until the camera closes
            static std::atomic<long> sdkFailures{0};

            std::uint32_t withFilter = 0;
            std::uint32_t after = 0;
            ASSERT_EQ(C::RegisterListener(withFilter), Success);
            ASSERT_EQ(C::RegisterListener(after), Success);
            ASSERT_EQ(
                C::EnableNotification(
                    withFilter,
                    std::make_shared<AppFilter>(
                        BuildNotificationEvent(PropertyEventType::PropertyValueChange, id, kText21Property),
                        [](const INotificationEvent& prototype, const INotificationEvent& event)
                        {
                            ++calls;
                            switch (kind)
                            {
                            case FilterKind::ThrowsStandard:
                                throw std::runtime_error("the application's filter failed");
                            case FilterKind::ThrowsOther:
                                throw 42;
                            case FilterKind::CallsTheSdk:
                            {
                                PropertyValue value;
                                bool open = false;
                                if (checking.load() &&
                                    (C::GetPropertyValue(id, kU8Property, value) != Success ||
                                     C::IsCameraOpen(id, open) != Success || !open))
                                {
                                    ++sdkFailures;
                                }
                                break;
                            }
                            }
                            return prototype == event;
                        })),
                Success);
            ASSERT_EQ(
                C::EnableNotification(after, BuildNotificationEvent(PropertyEventType::PropertyValueChange,
                                                                    id, kText21Property)),
                Success);

            // Three changes the camera reports on its device-control thread.
            constexpr int kChanges = 3;
            for (int change = 0; change < kChanges; ++change)
            {
                PropertyValue text;
                ASSERT_EQ(C::GetPropertyValue(id, kText21Property, text), Success);
                text.textValue = "change " + std::to_string(change);
                ASSERT_EQ(C::SetPropertyValue(id, kText21Property, text), Success) << C::GetErrorMessage();
                ErrorCode code = Success;
                const auto event = C::WaitForNotification(after, code, 10000);
                ASSERT_NE(event, nullptr) << "the listener after the filter lost change " << change;
                EXPECT_EQ(&event->Type(), &PropertyEventType::PropertyValueChange);
            }
            int received = 0;
            for (;;)
            {
                ErrorCode code = Success;
                if (C::WaitForNotification(withFilter, code,
                                           row.kind == FilterKind::CallsTheSdk ? 10000 : 300) == nullptr)
                {
                    break;
                }
                if (++received == kChanges)
                {
                    break;
                }
            }
            EXPECT_GE(calls.load(), kChanges);
            if (row.kind == FilterKind::CallsTheSdk)
            {
                EXPECT_EQ(received, kChanges);
                EXPECT_EQ(sdkFailures.load(), 0);
            }
            else
            {
                EXPECT_EQ(received, 0) << "a filter that throws matched";
                const std::vector<TestSupport::SdkLogLine> lines = log.Lines();
                EXPECT_EQ(std::count_if(
                              lines.begin(), lines.end(),
                              [](const TestSupport::SdkLogLine& line) {
                                  return line.text.rfind(
                                             "NotificationList: the notification filter of listener", 0) == 0;
                              }),
                          1)
                    << "the failure is logged once";
            }
            checking = false;
            EXPECT_EQ(C::CloseCamera(id), Success);
        });
}

const FilterRow kFilterRows[] = {
    {"ThrowsAStandardException", FilterKind::ThrowsStandard, 209},
    {"ThrowsSomethingElse", FilterKind::ThrowsOther, 210},
    {"CallsTheSdk", FilterKind::CallsTheSdk, 211},
};

INSTANTIATE_TEST_SUITE_P(Filters, FilterE2eTest,
                         ::testing::Combine(::testing::ValuesIn(kFilterRows),
                                            ::testing::Values(Link::Tcp, Link::Usb)),
                         RowLinkCaseName<FilterRow>);

} // namespace
