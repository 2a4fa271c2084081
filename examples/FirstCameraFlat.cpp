// A first program with the flat functions: every call returns an ErrorCode,
// and the calling thread's last error says why. Opens the camera at an IPv4
// address, prints its properties and the size of its diagnostics log.
#include <TavrinCpp/TavrinC.h>

#include <iostream>
#include <vector>

namespace C = Q7::TavrinC;
using Q7::Tavrin::Success;

// True on success; otherwise prints the thread's last error.
static bool Ok(Q7::Tavrin::ErrorCode code)
{
    if (code != Success)
    {
        std::cerr << "error " << code << ": " << C::GetErrorMessage() << "\n";
    }
    return code == Success;
}

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: first-camera-flat A.B.C.D\n";
        return 2;
    }
    int camera = 0;
    std::vector<unsigned int> ids;
    bool done = Ok(C::OpenSdk()) && Ok(C::RegisterDefaultFactory()) &&
                Ok(C::OpenIpCamera(camera, argv[1], "first-camera-flat", 5)) && Ok(C::GetPropertyIds(camera, ids));
    for (unsigned int i = 0; done && i < ids.size(); ++i)
    {
        Q7::Tavrin::PropertySpecification spec;
        if (C::GetPropertySpecification(camera, ids[i], spec) == Success)
        {
            std::cout << spec.name << ": " << spec.value.StringValue() << "\n";
        }
        else // a value this library cannot present
        {
            std::cout << "property " << ids[i] << ": " << C::GetErrorMessage() << "\n";
        }
    }
    if (done)
    {
        const auto [code, log] = C::GetDiagnosticsLog(camera);
        done = Ok(code);
        if (done)
        {
            std::cout << "Diagnostics log: " << log->size() << " bytes\n";
        }
        C::CloseCamera(camera);
    }
    C::CloseSdk(false);
    return done ? 0 : 1;
}
