// An application of the installed TavrinCpp: prints the SDK version and checks
// that what the library throws, prints and logs works across the library
// boundary, event-type constants compared by identity included. Prints
// "3.1.8" alone and exits 0 when all holds; otherwise explains
// on standard error and exits 1.

#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/PropertyValue.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace
{

int Fail(const std::string& why)
{
    std::cerr << why << "\n";
    return 1;
}

} // namespace

int main()
{
    namespace Tavrin = Q7::Tavrin;

    std::cout << Tavrin::GetSdkVersion() << "\n";

    // Thrown inside the library, caught here by the application's own view of
    // the type.
    try
    {
        Tavrin::ThrowOnErrorCode(Tavrin::CameraNotOpen);
        return Fail("ThrowOnErrorCode(-10) threw nothing");
    }
    catch (const Tavrin::CameraNotOpenExc& e)
    {
        if (e.Code() != Tavrin::CameraNotOpen)
        {
            return Fail("CameraNotOpenExc carries " + std::to_string(e.Code()));
        }
    }
    catch (...)
    {
        return Fail("ThrowOnErrorCode(-10) threw another type");
    }

    // A handler made here runs inside the library.
    std::mutex mutex;
    std::vector<std::string> lines; // guarded by mutex
    Tavrin::SetSdkLoggingHandler(
        [&](const char* line, Tavrin::LogMessageLevel)
        {
            const std::lock_guard<std::mutex> lock(mutex);
            lines.emplace_back(line);
        });
    Tavrin::EnsureOpen();
    const bool open = Q7::TavrinC::IsSdkOpen();
    Tavrin::ClearSdkLoggingHandler();
    if (!open)
    {
        return Fail("the SDK is not open after EnsureOpen");
    }
    if (lines.empty() || lines.front() != "Sdk: Opening SDK & register default factory\n")
    {
        return Fail("the logging handler did not receive the opening line");
    }

    // Event types are one object each, whichever side of the library boundary
    // names them: the library's own references (its payload checks, its
    // descriptions, the wake-up event it builds) must be this program's.
    if (Tavrin::BuildNotificationEvent(Tavrin::EventType::CameraDisconnected, 3, 0)->Type() !=
        Tavrin::EventType::CameraDisconnected)
    {
        return Fail("an event's type is not this program's EventType::CameraDisconnected");
    }
    Tavrin::CameraInfo camera;
    camera.name = "Studio";
    const auto found = Tavrin::BuildNotificationEvent(Tavrin::SdkEventType::SdkCameraFound, camera, -1);
    try
    {
        if (found->GetCameraInfo().name != "Studio")
        {
            return Fail("SdkCameraFound carries another camera");
        }
    }
    catch (const Tavrin::SdkException& e)
    {
        return Fail(std::string("the library does not know this program's SdkCameraFound: ") + e.what());
    }
    if (Tavrin::BuildNotificationEvent(Tavrin::EventType::CameraImageReady, 1, 0)->Description() !=
        "Notification CameraImageReady, CamId: 1, ")
    {
        return Fail("the library does not know this program's CameraImageReady");
    }
    std::uint32_t listener = 0;
    if (Q7::TavrinC::RegisterListener(listener) != Tavrin::Success)
    {
        return Fail("RegisterListener failed");
    }
    auto waiter = std::async(std::launch::async,
                             [listener]
                             {
                                 Tavrin::ErrorCode code = Tavrin::GeneralError;
                                 return Q7::TavrinC::WaitForNotification(listener, code, 0);
                             });
    // A wake-up before the thread waits is lost; one lands once it waits.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do
    {
        Q7::TavrinC::WakeUpWaitingThread(listener);
    } while (waiter.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready &&
             std::chrono::steady_clock::now() < deadline);
    if (waiter.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    {
        return Fail("WakeUpWaitingThread did not wake the waiting thread");
    }
    const auto wakeUp = waiter.get();
    if (wakeUp == nullptr || wakeUp->Type() != Tavrin::SdkEventType::SdkWakeUp)
    {
        return Fail("the wake-up event is not this program's SdkEventType::SdkWakeUp");
    }
    Q7::TavrinC::DeregisterListener(listener);

    std::ostringstream text;
    text << Tavrin::PropertyValue(42) << "|" << static_cast<int>(Tavrin::CameraInfo::Invalid.valid);
    if (text.str() != "(Int32) 42|0")
    {
        return Fail("printed '" + text.str() + "'");
    }
    return 0;
}
