// What the application holds when a camera or the SDK ends, against a
// simulated camera over TCP and the virtual USB bus: stored-image waits that
// the end interrupts, subscriptions kept beyond the close, and property calls
// racing another thread's close. Each case runs in a process of its own.

#include "CallbackTestSupport.h"

#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/Listener.h>
#include <TavrinCpp/StoredImageHandle.h>
#include <TavrinCpp/Subscriptions.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <set>
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

// ---------------------------------------------------------------- stored-image waits

enum class Answer
{
    Preview,
    Tile,
    BasicInfo,
};

enum class End
{
    SdkCloses,
    CameraCloses,
};

struct WaitRow
{
    const char* name;
    Answer answer;
    End end;
    int address;
};

void PrintTo(const WaitRow& row, std::ostream* out)
{
    *out << row.name;
}

class StoredImageWaitE2eTest : public ::testing::TestWithParam<std::tuple<WaitRow, Link>>
{
};

// Returns once a thread waits on one of the SDK's listeners (the handle's
// own: the case registers none), or false after bound. Asks the SDK's
// listener table, yielding between the looks.
bool UntilAListenerIsWaitedOn(std::chrono::milliseconds bound)
{
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end)
    {
        {
            const std::lock_guard<std::recursive_mutex> lock(sdk->Mutex());
            for (const auto& [listenerId, queue] : sdk->Listeners())
            {
                if (queue != nullptr && queue->Waiting())
                {
                    return true;
                }
            }
        }
        std::this_thread::yield();
    }
    return false;
}

struct WaitResult
{
    bool empty = false;
    std::string thrown; // the text of an exception, if one came
};

// Catches a wait for a stored image's answer that takes the SDK's wake-up
// event as the camera's answer (SdkException -47 "This event type does not
// contain Preview" while CloseSdk runs, and so at process exit), and a wait
// that sits out its whole time-out after its camera closed.
TEST_P(StoredImageWaitE2eTest, TheEndGivesTheEmptyResultAtOnce)
{
    const auto& [row, link] = GetParam();
    InOwnProcess(
        [row, link]
        {
            Rig rig(link, row.address);
            Q7::Sim::ImageEnumerationControl& channel = rig.camera.sim->ImageEnumeration();
            // The camera takes the request and does not answer.
            std::uint8_t request = Q7::Sim::kIeGetImageBuffer;
            if (row.answer == Answer::BasicInfo)
            {
                request = Q7::Sim::kIeBasicImageInfo;
                channel.AddFault(
                    {.kind = Q7::Sim::ImageEnumerationFaultKind::Silence, .requestType = request});
            }
            else
            {
                channel.HoldImageBufferReplies(true);
            }
            Camera camera = rig.Open();
            const std::vector<std::shared_ptr<IStoredImageHandle>> images = camera.AllImages();
            ASSERT_FALSE(images.empty());
            const std::shared_ptr<IStoredImageHandle> handle = images.front();
            const std::size_t before = channel.Counters().Requests(request);

            constexpr std::uint32_t kLongerThanTheCase = 600000;
            auto waiting = std::async(
                std::launch::async,
                [&]
                {
                    WaitResult result;
                    try
                    {
                        switch (row.answer)
                        {
                        case Answer::Preview:
                            result.empty =
                                handle->GetPreview(ImageFormat::JPEG, kLongerThanTheCase) == nullptr;
                            break;
                        case Answer::Tile:
                            result.empty = handle->GetTile(TileRequest{0, 0, 64, 64, 1.0F, ImageFormat::JPEG},
                                                           kLongerThanTheCase) == nullptr;
                            break;
                        case Answer::BasicInfo:
                            result.empty = handle->GetBasicInfo(kLongerThanTheCase) == nullptr;
                            break;
                        }
                    }
                    catch (const std::exception& error)
                    {
                        result.thrown = error.what();
                    }
                    return result;
                });
            ASSERT_TRUE(channel.WaitUntil([&](const Q7::Sim::ImageEnumerationCounters& counters)
                                          { return counters.Requests(request) > before; },
                                          20s))
                << "the request did not reach the camera";
            ASSERT_TRUE(UntilAListenerIsWaitedOn(20s)) << "the handle does not wait";
            if (row.end == End::SdkCloses)
            {
                EXPECT_EQ(C::CloseSdk(false), Success);
            }
            else
            {
                camera.Close();
            }
            const WaitResult result = Within(waiting, 20s, std::string("the wait after the end"));
            EXPECT_TRUE(result.thrown.empty()) << result.thrown;
            EXPECT_TRUE(result.empty);
            channel.HoldImageBufferReplies(false);
        });
}

const WaitRow kWaitRows[] = {
    {"PreviewWhileTheSdkCloses", Answer::Preview, End::SdkCloses, 244},
    {"TileWhileTheSdkCloses", Answer::Tile, End::SdkCloses, 245},
    {"BasicInfoWhileTheSdkCloses", Answer::BasicInfo, End::SdkCloses, 246},
    {"PreviewWhileTheCameraCloses", Answer::Preview, End::CameraCloses, 247},
    {"TileWhileTheCameraCloses", Answer::Tile, End::CameraCloses, 248},
    {"BasicInfoWhileTheCameraCloses", Answer::BasicInfo, End::CameraCloses, 249},
};

INSTANTIATE_TEST_SUITE_P(Waits, StoredImageWaitE2eTest,
                         ::testing::Combine(::testing::ValuesIn(kWaitRows),
                                            ::testing::Values(Link::Tcp, Link::Usb)),
                         RowLinkCaseName<WaitRow>);

// ---------------------------------------------------------------- subscriptions kept beyond the close

class KeptSubscriptionE2eTest : public ::testing::TestWithParam<Link>
{
};

// Catches a subscription that the application kept from before Close and
// that still answers IsEnabled() true afterwards.
TEST_P(KeptSubscriptionE2eTest, AnswersNotEnabledAfterClose)
{
    const Link link = GetParam();
    InOwnProcess(
        [link]
        {
            Rig rig(link, 213);
            Camera camera = rig.Open();
            const std::shared_ptr<ISubscriptionManager> manager = camera.Subscriptions();
            ASSERT_NE(manager, nullptr);
            const std::shared_ptr<IFullImageSubscription> fullImage = manager->FullImageSubscription();
            const std::shared_ptr<ILiveViewSubscription> liveView = manager->LiveViewSubscription();
            ASSERT_NE(fullImage, nullptr);
            ASSERT_NE(liveView, nullptr);
            fullImage->Enable();
            EXPECT_TRUE(fullImage->IsEnabled());
            {
                // The camera's live-view state reaches the subscription before
                // the event is posted, on the same thread.
                Listener started(camera, EventType::CameraLiveViewStarted);
                liveView->Enable();
                ASSERT_NE(started.WaitForNotification(20000), nullptr);
            }
            EXPECT_TRUE(liveView->IsEnabled());
            camera.Close();
            EXPECT_FALSE(fullImage->IsEnabled());
            EXPECT_FALSE(liveView->IsEnabled());
        });
}

INSTANTIATE_TEST_SUITE_P(Links, KeptSubscriptionE2eTest, ::testing::Values(Link::Tcp, Link::Usb),
                         LinkCaseName);

// ---------------------------------------------------------------- property calls racing a close

class PropertyCloseRaceE2eTest : public ::testing::TestWithParam<Link>
{
};

// Run under tsan: catches a property call racing another thread's close that
// answers what the emptied cache, the stopped agent or the erased camera says
// (-24 "Could not find property with provided id", -25 "Property was not set
// ...", -20, or a property list without the hidden properties that expert
// mode shows) instead of -10 "The camera is not open". In each round four
// threads read, write, list and describe the camera's properties without
// pause while the main thread closes it: every answer is 0 or -10, a list
// read is whole, and every call made once the close has returned is -10. The
// camera has a few hundred hidden properties, so that a list read spans the
// close.
TEST_P(PropertyCloseRaceE2eTest, EveryCallAnswersSuccessOrNotOpen)
{
    const Link link = GetParam();
    InOwnProcess(
        [link]
        {
            Rig rig(link, 212);
            constexpr std::uint32_t kHidden = 300;
            for (std::uint32_t i = 0; i < kHidden; ++i)
            {
                Q7::Sim::SimProperty hidden;
                hidden.id = 0x3000 + i;
                hidden.valueType = 6;
                hidden.descriptor.name = "Hidden " + std::to_string(i);
                hidden.descriptor.userLevel = 20;
                hidden.value = Q7::Sim::SimValue::U32(i);
                rig.camera.model->AddProperty(hidden);
            }
            constexpr int kRounds = 6;
            constexpr int kCallers = 4;
            std::mutex codesLock;
            std::set<std::string> unexpected; // what, code and message
            for (int round = 0; round < kRounds; ++round)
            {
                const int id = rig.OpenFlat();
                ASSERT_NE(id, 0);
                PropertyValue u8;
                ASSERT_EQ(C::GetPropertyValue(id, kU8Property, u8), Success);
                PropertyValue expert;
                expert.type = PropertyType::UInt32;
                expert.intValue = 1;
                ASSERT_EQ(C::SetPropertyValue(id, BridgeTest::kSwitchOnCamera, expert), Success);
                std::vector<unsigned int> allIds;
                ASSERT_EQ(C::GetPropertyIds(id, allIds), Success);
                ASSERT_GT(allIds.size(), kHidden);
                std::atomic<bool> closed{false};
                std::latch started(kCallers);
                const auto calls = [&](int kind)
                {
                    bool first = true;
                    for (bool last = false; !last;)
                    {
                        last = closed.load();
                        ErrorCode code = Success;
                        const char* what = "";
                        switch (kind)
                        {
                        case 0:
                        {
                            what = "GetPropertyValue";
                            PropertyValue value;
                            code = C::GetPropertyValue(id, 0x3000 + kHidden / 2, value);
                            break;
                        }
                        case 1:
                            what = "SetPropertyValue";
                            code = C::SetPropertyValue(id, kU8Property, u8);
                            break;
                        case 2:
                        {
                            what = "GetPropertyIds";
                            std::vector<unsigned int> ids;
                            code = C::GetPropertyIds(id, ids);
                            if (code == Success && ids != allIds)
                            {
                                what = "GetPropertyIds (a part of the list)";
                                code = GeneralError;
                            }
                            break;
                        }
                        default:
                        {
                            what = "GetPropertySpecification";
                            PropertySpecification specification;
                            code = C::GetPropertySpecification(id, kText21Property, specification);
                            break;
                        }
                        }
                        if (first)
                        {
                            started.count_down();
                            first = false;
                        }
                        if (code != CameraNotOpen && (last || code != Success))
                        {
                            const std::lock_guard<std::mutex> lock(codesLock);
                            unexpected.insert(std::string(what) + (last ? " after the close: " : ": ") +
                                              std::to_string(code) + " \"" + C::GetErrorMessage() + "\"");
                        }
                    }
                };
                std::vector<std::future<void>> callers;
                for (int kind = 0; kind < kCallers; ++kind)
                {
                    callers.push_back(std::async(std::launch::async, calls, kind));
                }
                started.wait();
                EXPECT_EQ(C::CloseCamera(id), Success);
                closed = true;
                for (std::future<void>& caller : callers)
                {
                    Within(caller, 30s, std::string("a caller"));
                }
            }
            std::string all;
            for (const std::string& code : unexpected)
            {
                all += code + "; ";
            }
            EXPECT_TRUE(unexpected.empty()) << all;
        });
}

INSTANTIATE_TEST_SUITE_P(Links, PropertyCloseRaceE2eTest, ::testing::Values(Link::Tcp, Link::Usb),
                         LinkCaseName);

} // namespace
