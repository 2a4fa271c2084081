// tavrin-demo: finds a camera through the device manager and opens it as a KPX
// camera object, which reads what the camera tells about itself on channel
// 0.0 (its device information and the channels it offers) and builds the
// agents of those channels; starts device control, prints the device
// information and the camera's properties, captures an image (a shutter
// release with image receiving started) and saves it under the name the
// camera gives it in the current folder, and closes.
//
//   tavrin-demo                 starts the camera simulator in this process on
//                               a loopback address and talks to it
//   tavrin-demo HOST[:PORT]     talks to the camera at HOST (port 7381 when
//                               none is given)
//
// The address becomes an entry of the manager's static address list; the demo
// prints the cameras the manager lists (USB cameras too) and opens the first.
//
// Exit code 0 on success; 1, with one line on standard error, when no camera
// is found or the camera cannot be reached or answers wrongly; 2 for a wrong
// command line.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdlib.h>
#include <string>
#include <vector>

#include "Agents/KPXEnumeration.h"
#include "Camera/KPXCamera.h"
#include "Q7PlatformSocket.h"
#include "Q7UniversalError.h"
#include "Q7UniversalString.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "Transport/KPXDeviceManager.h"
#include "Wire/KPXValue.h"

namespace
{

using namespace Q7::KPX;
using namespace Q7::KPX::Enumeration;

// A failure that ends the demo with its one-line message.
struct DemoFailure
{
    std::string message;
};

std::string Narrow(const Q7::Universal::UniversalString& text)
{
    return Q7::Universal::ToNarrow(text.c_str()).c_str();
}

std::string ErrorText(const Q7::Universal::UniversalError& error)
{
    return Narrow(Q7::Universal::FormatErrorText(error, nullptr));
}

const char* PipeResultText(std::uint32_t result)
{
    switch (result)
    {
    case Transport::kPipeResult_Timeout:
        return "the connection timed out";
    case Transport::kPipeResult_Closed:
        return "the connection is closed";
    case Transport::kPipeResult_Disconnected:
        return "the connection was refused or lost";
    default:
        return "the connection failed";
    }
}

// A camera's text as it can be shown on a terminal: control characters
// become '?'.
std::string Printable(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = '?';
    }
    return shown;
}

struct Address
{
    std::string host;
    std::uint16_t port = Transport::kDefaultTcpPort;
};

// "HOST" or "HOST:PORT".
Address ParseAddress(const std::string& text)
{
    Address address;
    const std::size_t colon = text.rfind(':');
    address.host = text.substr(0, colon);
    if (colon != std::string::npos)
    {
        const std::string port = text.substr(colon + 1);
        char* end = nullptr;
        const unsigned long value = std::strtoul(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value == 0 || value > 65535)
            throw DemoFailure{"invalid port '" + port + "' (expected 1 to 65535)"};
        address.port = static_cast<std::uint16_t>(value);
    }
    if (address.host.empty())
        throw DemoFailure{"no host name in '" + text + "'"};
    if (address.host.find_first_of("\r\n") != std::string::npos)
        throw DemoFailure{"invalid host name '" + address.host + "'"};
    return address;
}

std::string AddressText(std::uint32_t ipv4, std::uint16_t port)
{
    return std::to_string(ipv4 >> 24) + "." + std::to_string((ipv4 >> 16) & 0xFF) + "." +
           std::to_string((ipv4 >> 8) & 0xFF) + "." + std::to_string(ipv4 & 0xFF) + ":" +
           std::to_string(port);
}

// Where a camera is: "127.0.0.1:7381" or "USB 1-4@5:0".
std::string CameraPlace(const Transport::DeviceMoniker& camera)
{
    if (camera.type == Transport::kMonikerType_Usb)
        return std::string("USB ") + camera.usb.devicePath.c_str();
    return AddressText(camera.tcp.address, camera.tcp.port);
}

// One line of the static address list naming the camera at host and port:
// bars and backslashes in the texts are escaped.
std::string StaticEntry(const std::string& name, const std::string& host, std::uint16_t port)
{
    const auto escaped = [](const std::string& text)
    {
        std::string result;
        for (const char c : text)
        {
            if (c == '|' || c == '\\')
                result += '\\';
            result += c;
        }
        return result;
    };
    return escaped(name) + "|" + escaped(host) + "|" + std::to_string(port);
}

void PrintCameras(const std::vector<Transport::DeviceMoniker>& cameras)
{
    std::printf("Cameras found (%zu)\n", cameras.size());
    for (std::size_t i = 0; i < cameras.size(); ++i)
    {
        const Transport::DeviceMoniker& camera = cameras[i];
        if (camera.type == Transport::kMonikerType_Usb)
            std::printf("  %zu. %-20s USB camera, serial %s, at %s\n", i + 1,
                        Printable(camera.usb.friendlyName.c_str()).c_str(),
                        Printable(camera.usb.identity.c_str()).c_str(), CameraPlace(camera).c_str());
        else
            std::printf("  %zu. %-20s TCP camera%s at %s\n", i + 1,
                        Printable(camera.tcp.name.c_str()).c_str(),
                        camera.tcp.isStatic != 0 ? " (static address)" : "", CameraPlace(camera).c_str());
    }
    std::printf("\n");
}

void PrintCamera(const DeviceInfo& info)
{
    std::printf("Device information\n");
    std::printf("  Model          %s (model id 0x%X)\n", Printable(info.modelName).c_str(), info.modelId);
    std::printf("  Manufacturer   %s (id %u)\n", Printable(info.manufacturerName).c_str(),
                info.manufacturerId);
    std::printf("  Serial number  %s\n", Printable(info.serialNumber).c_str());
    std::printf("  Firmware       %s (%u.%02u.%u)\n", Printable(info.firmwareVersion.text).c_str(),
                info.firmwareVersion.Major(), info.firmwareVersion.Minor(), info.firmwareVersion.Build());
    if (!info.mountInterfaceName.empty())
        std::printf("  Mount          %s\n", Printable(info.mountInterfaceName).c_str());
    if (!info.additionalDescription.empty())
        std::printf("  Description    %s\n", Printable(info.additionalDescription).c_str());
    std::printf("  Enumeration    major versions %u to %u\n", unsigned{info.enumerationMajorLowest},
                unsigned{info.enumerationMajorHighest});
}

// A value as it can be shown: the camera's text for it, else the number or
// text it holds, else its type and size.
std::string ValueText(const Q7::KPX::DeviceControl::ValueWithText& value)
{
    if (!value.text.empty())
        return Printable(value.text);
    const Value& v = value.value;
    switch (v.GetType())
    {
    case 1:
    case 3:
    case 5:
    case 7:
        return std::to_string(v.GetInt64());
    case 2:
    case 4:
    case 6:
    case 8:
        return std::to_string(v.GetUInt64());
    case 9:
    case 10:
    {
        char number[32];
        std::snprintf(number, sizeof number, "%g", v.GetDouble());
        return number;
    }
    case 20:
    case 21:
    case 22:
    case 23:
    {
        const auto bytes = v.GetBytes();
        const std::string text(bytes.begin(), bytes.end());
        return "\"" + Printable(text.substr(0, text.find('\0'))) + "\"";
    }
    default:
        return "(type " + std::to_string(v.GetType()) + ", " + std::to_string(v.GetSize()) + " bytes)";
    }
}

// The camera's properties as the device-control agent holds them: name,
// current value and unit.
void PrintProperties(const std::list<Camera::Property>& properties)
{
    std::printf("\nProperties (%zu)\n", properties.size());
    for (const Camera::Property& property : properties)
    {
        std::string value = ValueText(property.state.value);
        if (!property.descriptor.unit.empty())
            value += " (" + Printable(property.descriptor.unit) + ")";
        std::printf("  %-28s %s\n", Printable(property.descriptor.name).c_str(), value.c_str());
    }
}

// A folder of its own for the lock file of the initialisation mutex, removed
// at the end: the simulator in this process is opened by no other program, so
// its open need not wait for the machine's other camera opens.
class PrivateLockFolder
{
public:
    PrivateLockFolder()
    {
        char pattern[] = "/tmp/tavrin-demo-XXXXXX";
        if (::mkdtemp(pattern) != nullptr)
            m_path = pattern;
    }
    ~PrivateLockFolder()
    {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    PrivateLockFolder(const PrivateLockFolder&) = delete;
    PrivateLockFolder& operator=(const PrivateLockFolder&) = delete;
    // The folder; the machine's when none could be made.
    const char* Path() const
    {
        return m_path.empty() ? Q7::Platform::NamedMutex_Posix::kDefaultFolder : m_path.c_str();
    }

private:
    std::string m_path;
};

// The images stored on the camera, as channel 3.0 lists them.
void PrintStoredImages(Camera& camera)
{
    std::vector<Q7::KPX::ImageEnumeration::ImageListItem> items;
    camera.RequestImageList([&items](const Q7::KPX::ImageEnumeration::ImageList& list)
                            { items.assign(list.begin(), list.end()); });
    std::printf("\nStored images (%zu)\n", items.size());
    for (const auto& item : items)
    {
        const std::string name(reinterpret_cast<const char*>(item.name.data()));
        std::printf("  %6u  %-14s rating %u\n", item.imageId, Printable(name).c_str(), item.attribute);
    }
}

// An image handed over on channel 4: its name and bytes.
struct CapturedImage
{
    std::string name;
    std::vector<std::uint8_t> bytes;
};

// A camera's file name as a name in the current folder: no folders, nothing
// hidden, only printable characters.
std::string SafeFileName(const std::string& name)
{
    std::string safe = Printable(name);
    std::replace(safe.begin(), safe.end(), '/', '_');
    std::replace(safe.begin(), safe.end(), '\\', '_');
    if (safe.empty() || safe.front() == '.')
        safe.insert(0, "image");
    return safe;
}

// Starts image receiving, releases the shutter and waits (at most 30 s) for
// the image the camera sends; saves it in the current folder.
void CaptureImage(Camera& camera)
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<CapturedImage> image;
    // Runs on the agent's delivery thread; the buffer goes back to the pool
    // when the callback returns, so the bytes are copied out.
    camera.SetImageReceiveCallback(
        [&](ImageReceivePackage& package)
        {
            const std::uint8_t* const data = package.buffer.GetData();
            std::lock_guard lock(mutex);
            if (!image)
                image = CapturedImage{package.fileName, std::vector<std::uint8_t>(data, data + package.size)};
            arrived.notify_all();
        });
    camera.StartTransfer();
    camera.ShutterRelease();
    bool received = false;
    {
        std::unique_lock lock(mutex);
        received = arrived.wait_for(lock, std::chrono::seconds(30), [&] { return image.has_value(); });
    }
    camera.StopTransfer();
    if (!received)
        throw DemoFailure{"the camera sent no image within 30 s of the shutter release"};
    const std::string fileName = SafeFileName(image->name);
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image->bytes.data()),
               static_cast<std::streamsize>(image->bytes.size()));
    file.close();
    if (!file)
        throw DemoFailure{"cannot write the captured image to '" + fileName + "'"};
    std::printf("\nCaptured image\n  %s, %zu bytes, saved as %s\n", Printable(image->name).c_str(),
                image->bytes.size(), fileName.c_str());
}

// Opens the camera as a KPX camera object on the device the manager makes for
// it (device information and channel list over channel 0.0, then the agents
// of the channels it offers), starts device control and image enumeration,
// prints what it learnt, and closes again. lockFolder holds the
// initialisation mutex's lock file.
void Run(const Transport::DeviceMoniker& moniker, const char* lockFolder)
{
    const std::string where = CameraPlace(moniker);
    Camera camera(Transport::DeviceManager::CreateDevice(moniker), {}, lockFolder);
    // A TCP camera keeps its control connection; a USB camera is reopened.
    if (const std::uint32_t result = camera.Initialize(moniker.type == Transport::kMonikerType_Tcp);
        result != 0)
        throw DemoFailure{"cannot open the camera at " + where + ": " + PipeResultText(result)};
    if (const std::uint32_t result = camera.InitializeAgents(nullptr); result != 0)
        throw DemoFailure{"cannot connect to the channels of the camera at " + where + ": " +
                          PipeResultText(result)};
    camera.StartDeviceControl();
    camera.StartImageEnumeration();

    std::printf("Camera at %s\n\n", where.c_str());
    PrintCamera(camera.GetDeviceInfo());
    std::printf("\nChannels in use\n");
    std::printf("  1.0      programming        %s\n", camera.HasProgramming() ? "offered" : "not offered");
    std::printf("  2.0      device control     %s\n", camera.IsDeviceControlStarted() ? "started"
                                                      : camera.HasDeviceControl()     ? "offered"
                                                                                      : "not offered");
    std::printf("  3.0      image enumeration  %s\n", camera.IsImageEnumerationRunning() ? "started"
                                                      : camera.HasImageEnumeration()     ? "offered"
                                                                                         : "not offered");
    std::printf("  4.1/4.2  image transfer     %s\n", camera.HasImageTransfer() ? "offered" : "not offered");
    PrintProperties(camera.GetPropertyList());
    if (camera.IsImageEnumerationRunning())
        PrintStoredImages(camera);
    if (camera.HasImageTransfer() && camera.IsDeviceControlStarted())
        CaptureImage(camera);
    camera.Close();
}

int Main(int argc, char** argv)
{
    if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)))
    {
        std::fprintf(argc > 2 ? stderr : stdout,
                     "usage: tavrin-demo [HOST[:PORT]]\n"
                     "  Lists the cameras the device manager finds (the address, port %u when none\n"
                     "  is given, and USB cameras), then opens the first one and prints its device\n"
                     "  information, properties and stored images; captures an image and saves it\n"
                     "  in the current folder under the camera's name for it. Without an address it\n"
                     "  starts the camera simulator in this process on 127.0.0.1 and lists that.\n",
                     unsigned{Transport::kDefaultTcpPort});
        return argc > 2 ? 2 : 0;
    }

    std::unique_ptr<Q7::Sim::Camera> simulator;
    Address address;
    std::string name;
    if (argc == 2)
    {
        address = ParseAddress(argv[1]);
        name = argv[1];
    }
    else
    {
        simulator = std::make_unique<Q7::Sim::Camera>(Q7::Sim::CameraDescription::Default());
        auto model =
            std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
        // The simulated shutter release stores a new image, which the camera
        // then sends on channel 4.
        model->SetShutterReleaseHook([store = simulator->SharedImages()] { store->Capture(); });
        simulator->SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
        simulator->Images().AddGenerated(4);
        simulator->Start("127.0.0.1", 0);
        address.host = "127.0.0.1";
        address.port = simulator->Port();
        name = "simulator";
        std::printf("Started the camera simulator on 127.0.0.1:%u\n", unsigned{address.port});
    }

    // The address becomes the manager's static list; the manager lists it with
    // the USB cameras it finds.
    Q7::Platform::StartSocketSubsystem();
    Transport::DeviceManager manager(Transport::kTransportSelection_UsbAndTcp);
    manager.SetStaticIpConfiguration(StaticEntry(name, address.host, address.port).c_str());
    std::vector<Transport::DeviceMoniker> cameras;
    manager.EnumerateDevices(cameras);
    PrintCameras(cameras);
    const bool addressListed =
        std::any_of(cameras.begin(), cameras.end(),
                    [](const Transport::DeviceMoniker& camera)
                    { return camera.type == Transport::kMonikerType_Tcp && camera.tcp.isStatic != 0; });
    if (!addressListed)
        throw DemoFailure{"cannot resolve the host name '" + address.host + "'"};

    // A real camera is opened under the machine-wide mutex; the simulator of
    // this process under a private one.
    const bool ownSimulator = simulator && cameras.front().type == Transport::kMonikerType_Tcp &&
                              cameras.front().tcp.port == address.port;
    std::unique_ptr<PrivateLockFolder> privateLocks;
    if (ownSimulator)
        privateLocks = std::make_unique<PrivateLockFolder>();
    Run(cameras.front(),
        privateLocks ? privateLocks->Path() : Q7::Platform::NamedMutex_Posix::kDefaultFolder);
    if (simulator)
        simulator->Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        return Main(argc, argv);
    }
    catch (const DemoFailure& failure)
    {
        std::fprintf(stderr, "tavrin-demo: %s\n", failure.message.c_str());
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        std::fprintf(stderr, "tavrin-demo: error talking to the camera: %s\n", ErrorText(error).c_str());
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "tavrin-demo: %s\n", error.what());
    }
    return 1;
}
