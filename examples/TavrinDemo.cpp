// tavrin-demo: the whole library through its public C++ interface. Lists the
// cameras, opens one, lists its stored images, reads every property's
// specification and sets one, captures an image and saves it, runs live view,
// downloads the camera's diagnostics log, and closes.
//
//   tavrin-demo [--address A.B.C.D] [--out DIR] [--frames N]
//
// Without --address the demo starts the camera simulator in this process, on
// the first free loopback address 127.0.0.N:7381 from N = 2, and talks to it;
// with it, the camera at that IPv4 address (port 7381). The captured image is
// saved in DIR (default: tavrin-demo in the system's temporary folder); live
// view runs for N frames (default 30).
//
// Exit code 0 on success; 1, with one line on standard error, when the camera
// cannot be reached or fails; 2 for a wrong command line.

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/ImageObjects.h>
#include <TavrinCpp/Listener.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/PropertyValue.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/StoredImageHandle.h>
#include <TavrinCpp/Subscriptions.h>

#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimImageStore.h"
#include "SimProgrammingHandler.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace
{

using namespace Q7::Tavrin;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kCameraPort = 7381;
constexpr unsigned int kCaptureWaitMs = 10000;
constexpr unsigned int kFrameWaitMs = 10000;

const char kUsage[] = "usage: tavrin-demo [--address A.B.C.D] [--out DIR] [--frames N]\n"
                      "  --address A.B.C.D  the camera's IPv4 address (port 7381); default: a camera\n"
                      "                     simulator started in this process on 127.0.0.N:7381\n"
                      "  --out DIR          where the captured image is saved (default: tavrin-demo in\n"
                      "                     the temporary folder)\n"
                      "  --frames N         live-view frames to receive (default 30)\n";

/// A wrong command line: exit code 2.
struct UsageError
{
    std::string message;
};

/// A step that failed: exit code 1 with its one line.
struct DemoFailure
{
    std::string message;
};

struct Options
{
    std::string address; ///< empty: start the simulator
    std::filesystem::path out = std::filesystem::temp_directory_path() / "tavrin-demo";
    unsigned int frames = 30;
    bool help = false;
};

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i)
    {
        const std::string option = argv[i];
        if (option == "--help")
        {
            options.help = true;
            return options;
        }
        if (i + 1 >= argc)
        {
            throw UsageError{"'" + option + "' is not an option with its value"};
        }
        const std::string value = argv[++i];
        if (option == "--address")
        {
            // OpenIpCamera always uses port 7381: a dotted IPv4 address alone.
            in_addr parsed{};
            if (::inet_pton(AF_INET, value.c_str(), &parsed) != 1)
            {
                throw UsageError{"--address takes an IPv4 address such as 192.168.1.20, not '" + value + "'"};
            }
            options.address = value;
        }
        else if (option == "--out")
        {
            if (value.empty())
            {
                throw UsageError{"--out takes a folder"};
            }
            options.out = value;
        }
        else if (option == "--frames")
        {
            std::size_t used = 0;
            unsigned long frames = 0;
            try
            {
                frames = std::stoul(value, &used, 10);
            }
            catch (const std::exception&)
            {
                used = 0;
            }
            if (used != value.size() || value.empty() || value[0] == '-' || frames > 100000)
            {
                throw UsageError{"--frames takes a number from 0 to 100000, not '" + value + "'"};
            }
            options.frames = static_cast<unsigned int>(frames);
        }
        else
        {
            throw UsageError{"unknown option '" + option + "'"};
        }
    }
    return options;
}

/// The camera simulator of this process: a camera with the default
/// properties, four stored images, a shutter that captures and a diagnostics
/// log, on the first free 127.0.0.N:7381 from N = 2.
class Simulator
{
public:
    Simulator()
        : m_model(
              std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties()))
    {
        m_camera.SetLogSink({});
        m_camera.SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(m_model));
        m_camera.Images().AddGenerated(4);
        m_model->SetShutterReleaseHook([this] { m_camera.Images().Capture(); });
        const std::string log = "Simulated camera: diagnostics log\n";
        m_programming->SetLog(104 /* the diagnostics log */,
                              std::vector<std::uint8_t>(log.begin(), log.end()), true);
        m_camera.SetChannelHandler({1, 0}, Q7::Sim::ProgrammingHandler::Factory(m_programming));
        for (int n = 2; n < 255; ++n)
        {
            const std::string address = "127.0.0." + std::to_string(n);
            try
            {
                m_camera.Start(address, kCameraPort);
                m_address = address;
                return;
            }
            catch (const std::system_error&)
            {
                // Taken by another program: the next one.
            }
        }
        throw DemoFailure{"no free loopback address for the camera simulator"};
    }
    ~Simulator() { m_camera.Stop(); }

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& Address() const { return m_address; }

private:
    std::shared_ptr<Q7::Sim::DeviceControlModel> m_model;
    std::shared_ptr<Q7::Sim::ProgrammingStore> m_programming = std::make_shared<Q7::Sim::ProgrammingStore>();
    Q7::Sim::Camera m_camera;
    std::string m_address;
};

void PrintCameras(const char* title)
{
    const std::vector<CameraListElement> cameras = Camera::AvailableCameras();
    std::cout << title << " (" << cameras.size() << ")\n";
    for (const CameraListElement& camera : cameras)
    {
        std::cout << "  " << camera << "\n";
    }
}

void PrintImages(const Camera& camera)
{
    const auto images = camera.AllImages();
    std::cout << "\nStored images (" << images.size() << ")\n";
    for (const auto& image : images)
    {
        std::cout << "  " << std::setw(6) << image->Id() << "  " << std::left << std::setw(14)
                  << image->FileName() << std::right << " on " << image->DeviceNames() << "\n";
    }
}

/// Another value the property allows than its current one, if it has one.
std::optional<PropertyValue> OtherAllowedValue(const PropertySpecification& specification)
{
    for (const PropertyValue& candidate : specification.valueList)
    {
        try
        {
            if (candidate != specification.value)
            {
                return candidate;
            }
        }
        catch (const std::logic_error&)
        {
            // A type without a comparison: not a candidate.
        }
    }
    return std::nullopt;
}

void ShowProperties(Camera& camera)
{
    const std::vector<unsigned int> ids = camera.AllPropertyIds();
    std::cout << "\nProperties (" << ids.size() << ")\n";
    std::optional<PropertySpecification> writable;
    for (const unsigned int id : ids)
    {
        std::cout << "  0x" << std::hex << std::setw(5) << std::setfill('0') << id << std::dec
                  << std::setfill(' ') << "  ";
        PropertySpecification specification;
        try
        {
            specification = camera.PropertySpec(id);
        }
        catch (const SdkException& e)
        {
            // A value the library cannot present (a type it does not convert):
            // the other properties still count.
            std::cout << "(not readable: " << e.what() << ")\n";
            continue;
        }
        std::cout << std::left << std::setw(28) << specification.name << std::right << " "
                  << specification.value.StringValue();
        if (!specification.unit.empty())
        {
            std::cout << " (" << specification.unit << ")";
        }
        if (specification.readOnly)
        {
            std::cout << "  read-only";
        }
        if (specification.range.valid)
        {
            std::cout << "  range " << specification.range.ToString();
        }
        if (!specification.valueList.empty())
        {
            std::cout << "  " << specification.valueList.size() << " choices";
        }
        std::cout << "\n";
        if (!writable && !specification.readOnly && specification.enabled && OtherAllowedValue(specification))
        {
            writable = specification;
        }
    }
    if (!writable)
    {
        std::cout << "  (no writable property with a choice of values)\n";
        return;
    }
    const PropertyValue value = *OtherAllowedValue(*writable);
    // The camera reports the change, then the library's cache holds it.
    Listener changes(camera, writable->id, false);
    camera.SetProperty(writable->id, value);
    if (!changes.WaitForNotification(kCaptureWaitMs))
    {
        throw DemoFailure{"the camera did not report the change of " + writable->name};
    }
    const PropertyValue back = camera.Property(writable->id);
    std::cout << "Set " << writable->name << " from " << writable->value.StringValue() << " to "
              << value.StringValue() << "; the camera now reports " << back.StringValue() << "\n";
    if (back != value)
    {
        throw DemoFailure{"the camera reports " + back.StringValue() + " for " + writable->name +
                          " after it was set to " + value.StringValue()};
    }
}

/// The camera's file name, kept to its last component; an empty name, "." or
/// ".." becomes "capture.bin".
std::filesystem::path SafeFileName(const std::string& cameraName)
{
    const std::filesystem::path name = std::filesystem::path(cameraName).filename();
    if (name.empty() || name == "." || name == "..")
    {
        return "capture.bin";
    }
    return name;
}

/// Waits for the preview of the capture, which the camera sends as the
/// preview subscription asks, and prints it.
void ShowPreview(Listener& previews)
{
    const auto event = previews.WaitForNotification(kCaptureWaitMs);
    if (!event)
    {
        throw DemoFailure{"no preview arrived within 10 s of the capture"};
    }
    // Any image of an event is an IImageBuffer; its own kind is found again
    // by a cast across the library boundary.
    const std::shared_ptr<const IImageBuffer> buffer = event->Preview();
    const auto preview = std::dynamic_pointer_cast<const IPreview>(buffer);
    if (!preview)
    {
        throw DemoFailure{"a preview's image is not an IPreview"};
    }
    std::cout << "\nPreview of image " << preview->ImageId() << ": " << preview->Width() << " x "
              << preview->Height() << " " << preview->FormatName() << ", " << preview->Size() << " bytes\n";
}

void CaptureAndSave(Camera& camera, const std::filesystem::path& out)
{
    const auto subscriptions = camera.Subscriptions();
    const auto fullImage = subscriptions->FullImageSubscription();
    const auto preview = subscriptions->PreviewSubscription();
    if (!fullImage || !preview)
    {
        throw DemoFailure{"the camera's subscriptions are not available"};
    }
    Listener ready(camera, EventType::CameraImageReady);
    Listener previews(camera, EventType::CameraPreviewReady);
    fullImage->Enable();
    if (!fullImage->IsEnabled())
    {
        throw DemoFailure{"the camera did not switch image receiving on"};
    }
    if (preview->IsSupported())
    {
        // The subscription is on once the camera confirmed it, which it
        // reports on a thread of the library.
        preview->Enable(ImageFormat::JPEG);
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kCaptureWaitMs);
        while (!preview->IsEnabled() && Clock::now() < deadline)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!preview->IsEnabled())
        {
            throw DemoFailure{"the camera did not confirm the preview subscription"};
        }
    }
    camera.TriggerCapture();
    const auto event = ready.WaitForNotification(kCaptureWaitMs);
    fullImage->Disable();
    if (!event)
    {
        throw DemoFailure{"no image arrived within 10 s of the capture"};
    }
    if (preview->IsSupported())
    {
        ShowPreview(previews);
        preview->Disable();
    }
    const auto image = event->FullImage();
    std::filesystem::create_directories(out);
    const std::filesystem::path file = out / SafeFileName(image->FileName());
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(image->Data().get()),
                 static_cast<std::streamsize>(image->Size()));
    stream.close();
    if (!stream)
    {
        throw DemoFailure{"cannot write " + file.string()};
    }
    std::cout << "\nCaptured " << image->FileName() << " (" << image->Size() << " bytes, "
              << image->FormatName() << "), saved as " << file.string() << "\n";
}

void RunLiveView(Camera& camera, unsigned int frames)
{
    const auto liveView = camera.Subscriptions()->LiveViewSubscription();
    if (!liveView || !liveView->IsSupported())
    {
        std::cout << "\nLive view: not offered by this camera\n";
        return;
    }
    if (frames == 0)
    {
        return;
    }
    Listener images(camera, EventType::CameraNewLiveViewImage);
    liveView->Enable();
    std::cout << "\n" << liveView->ToString() << "\n";
    const Clock::time_point start = Clock::now();
    std::shared_ptr<const ILiveView> last;
    for (unsigned int i = 0; i < frames; ++i)
    {
        const auto event = images.WaitForNotification(kFrameWaitMs);
        if (!event)
        {
            liveView->Disable();
            throw DemoFailure{"live view stopped after " + std::to_string(i) + " frames"};
        }
        last = event->LiveView();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    liveView->Disable();
    std::cout << "Live view: " << frames << " frames in " << std::fixed << std::setprecision(2) << seconds
              << " s, " << std::setprecision(1) << (seconds > 0 ? frames / seconds : 0.0)
              << " frames/s, last frame " << last->Width() << " x " << last->Height() << " "
              << last->FormatName() << ", " << last->Size() << " bytes\n"
              << std::defaultfloat;
}

int Run(const Options& options)
{
    if (options.help)
    {
        std::cout << kUsage;
        return 0;
    }
    std::unique_ptr<Simulator> simulator;
    std::string address = options.address;
    if (address.empty())
    {
        simulator = std::make_unique<Simulator>();
        address = simulator->Address();
        std::cout << "Started the camera simulator on " << address << ":" << kCameraPort << "\n";
    }
    EnsureOpen();
    try
    {
        PrintCameras("Cameras found");
        Camera camera = Camera::OpenIpCamera(address, "tavrin-demo", 5);
        std::cout << "\nOpened the camera at " << address << " (camera id " << camera.Id() << ")\n\n";
        PrintCameras("Cameras");
        PrintImages(camera);
        ShowProperties(camera);
        CaptureAndSave(camera, options.out);
        RunLiveView(camera, options.frames);
        const std::vector<unsigned char> log = camera.DiagnosticsLog();
        std::cout << "\nDiagnostics log: " << log.size() << " bytes\n";
        camera.Close();
        std::cout << "Closed the camera\n";
    }
    catch (...)
    {
        // The camera closes first, then the SDK, and only then may the
        // simulator stop.
        EnsureClosed();
        throw;
    }
    EnsureClosed();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        return Run(ParseOptions(argc, argv));
    }
    catch (const UsageError& e)
    {
        if (!e.message.empty())
        {
            std::cerr << "tavrin-demo: " << e.message << "\n";
        }
        std::cerr << kUsage;
        return 2;
    }
    catch (const DemoFailure& e)
    {
        std::cerr << "tavrin-demo: " << e.message << "\n";
    }
    catch (const SdkException& e)
    {
        std::cerr << "tavrin-demo: " << e.what() << " (error " << e.Code() << ")\n";
    }
    catch (const std::exception& e)
    {
        std::cerr << "tavrin-demo: " << e.what() << "\n";
    }
    return 1;
}
