// tavrin-list-cameras: prints the cameras the library finds (USB cameras and
// open cameras), one a line, and exits 0; 1 with one line when the library
// fails.

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Sdk.h>

#include <exception>
#include <iostream>

int main()
{
    try
    {
        const auto cameras = Q7::Tavrin::Camera::AvailableCameras();
        std::cout << "Cameras found (" << cameras.size() << ")\n";
        for (const Q7::Tavrin::CameraListElement& camera : cameras)
        {
            std::cout << "  " << camera << "\n";
        }
        Q7::Tavrin::EnsureClosed();
        return 0;
    }
    catch (const std::exception& e)
    {
        std::cerr << "tavrin-list-cameras: " << e.what() << "\n";
        return 1;
    }
}
