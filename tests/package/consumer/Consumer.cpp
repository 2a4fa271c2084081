// An application of the installed TavrinCpp: prints the SDK version and checks
// that what the library throws, prints and logs works across the library
// boundary. Prints "3.1.8" alone and exits 0 when all holds; otherwise explains
// on standard error and exits 1.

#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/PropertyValue.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

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

    std::ostringstream text;
    text << Tavrin::PropertyValue(42) << "|" << static_cast<int>(Tavrin::CameraInfo::Invalid.valid);
    if (text.str() != "(Int32) 42|0")
    {
        return Fail("printed '" + text.str() + "'");
    }
    return 0;
}
