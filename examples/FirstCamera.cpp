// A first program with the C++ classes: opens the camera at an IPv4 address,
// prints its properties, captures an image and saves it in this folder.
#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Listener.h>
#include <TavrinCpp/Sdk.h>

#include <filesystem>
#include <fstream>
#include <iostream>

using namespace Q7::Tavrin;

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: first-camera A.B.C.D\n";
        return 2;
    }
    try
    {
        Camera camera = Camera::OpenIpCamera(argv[1], "first-camera", 5);
        for (const unsigned int id : camera.AllPropertyIds())
        {
            try
            {
                const PropertySpecification spec = camera.PropertySpec(id);
                std::cout << spec.name << ": " << spec.value.StringValue() << "\n";
            }
            catch (const SdkException& e) // a value this library cannot present
            {
                std::cout << "property " << id << ": " << e.what() << "\n";
            }
        }
        // Captured images arrive as events once the camera sends them.
        Listener ready(camera, EventType::CameraImageReady);
        camera.Subscriptions()->FullImageSubscription()->Enable();
        camera.TriggerCapture();
        const auto event = ready.WaitForNotification(10000);
        if (!event)
        {
            std::cerr << "no image within 10 s\n";
            return 1;
        }
        const auto image = event->FullImage();
        const auto name = std::filesystem::path(image->FileName()).filename();
        std::ofstream(name, std::ios::binary)
            .write(reinterpret_cast<const char*>(image->Data().get()), static_cast<std::streamsize>(image->Size()));
        std::cout << "Saved " << name.string() << ", " << image->Size() << " bytes\n";
        return 0;
    }
    catch (const SdkException& e)
    {
        std::cerr << "error " << e.Code() << ": " << e.what() << "\n";
        return 1;
    }
}
