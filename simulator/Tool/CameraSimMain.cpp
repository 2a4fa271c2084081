// tavrin-camera-sim: serves one simulated camera on a loopback address until
// interrupted (SIGINT or SIGTERM): every channel the library uses, so that an
// application's own tests can run against it as against a camera.
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimProgrammingHandler.h"
#include "SimStreamHandler.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <memory>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

const char kUsage[] =
    "usage: tavrin-camera-sim [options]\n"
    "Serves one simulated KPX camera over TCP on a loopback address until interrupted\n"
    "(SIGINT or SIGTERM). It serves every channel the library uses:\n"
    "  0.0        device information and the list of channels\n"
    "  1.0        programming: receives files and firmware, serves the diagnostics log\n"
    "  2.0        device control: a default set of properties; a shutter release captures\n"
    "  3.0        stored images: the list, basic information, metadata, previews, tiles\n"
    "  4.1, 4.2   image transfer: each capture is sent to the host\n"
    "  5.1, 5.2   live view: JPEG or RGB24 frames while the host asks for them\n"
    "  255.0      development messages, echoed\n"
    "Options:\n"
    "  --address A            loopback address to listen on (default 127.0.0.1); give each\n"
    "                         simulator an address of its own (127.0.0.2, ...)\n"
    "  --port N               for the simulator's own tests only: TCP port (default 7381,\n"
    "                         the only port the library connects to; 0 lets the system choose)\n"
    "  --older                act as an older camera (enumeration majors 1 to 1)\n"
    "  --model TEXT           model name\n"
    "  --serial TEXT          serial number\n"
    "  --manufacturer TEXT    manufacturer name\n"
    "  --firmware M.N.B       firmware version (major, minor, build)\n"
    "  --firmware-text TEXT   firmware version text (empty: the host formats the number)\n"
    "  --enum-majors LO-HI    enumeration major-version range of the device information\n"
    "  --channel C.S=V,...    serve channel C.S with message versions V (e.g. 2.0=1.0,1.1,2.0);\n"
    "                         repeatable; replaces the default channels (0.0 is always served)\n"
    "  --auth TEXT            require this authentication code on channels other than 0.0 and 255.0\n"
    "  --images N             store N images (ids 1 to N) on the camera (default 0)\n"
    "  --echo C.S             channel C.S echoes what it receives\n"
    "  --sink C.S             channel C.S swallows what it receives\n"
    "  --source C.S:BYTES     channel C.S sends BYTES pattern bytes after each open\n"
    "  --verbose | --quiet    log every packet | log errors only\n"
    "  --help                 this text\n";

// The log the library downloads as the camera's diagnostics log, and its text.
constexpr std::uint32_t kDiagnosticsLogId = 104;
const char kDiagnosticsLog[] = "Simulated camera: diagnostics log\n";

[[noreturn]] void Fail(const std::string& message)
{
    std::cerr << "tavrin-camera-sim: " << message << "\n";
    std::exit(2);
}

unsigned long ParseNumber(const std::string& text, unsigned long max, const char* what)
{
    try
    {
        std::size_t used = 0;
        const unsigned long v = std::stoul(text, &used, 10);
        if (used != text.size() || v > max)
        {
            throw std::out_of_range(text);
        }
        return v;
    }
    catch (const std::exception&)
    {
        Fail(std::string("invalid ") + what + ": '" + text + "'");
    }
}

// "a.b" -> two numbers up to 255.
std::pair<std::uint8_t, std::uint8_t> ParsePair(const std::string& text, const char* what)
{
    const auto dot = text.find('.');
    if (dot == std::string::npos)
    {
        Fail(std::string("invalid ") + what + ": '" + text + "'");
    }
    return {static_cast<std::uint8_t>(ParseNumber(text.substr(0, dot), 255, what)),
            static_cast<std::uint8_t>(ParseNumber(text.substr(dot + 1), 255, what))};
}

Q7::Sim::ChannelId ParseChannel(const std::string& text)
{
    const auto [c, s] = ParsePair(text, "channel");
    return {c, s};
}

Q7::Sim::ChannelConfig ParseChannelSpec(const std::string& text)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos)
    {
        Fail("invalid channel '" + text + "' (expected C.S=V,...)");
    }
    Q7::Sim::ChannelConfig c;
    c.id = ParseChannel(text.substr(0, eq));
    c.versions.clear();
    std::string rest = text.substr(eq + 1);
    while (!rest.empty())
    {
        const auto comma = rest.find(',');
        const auto [major, minor] = ParsePair(rest.substr(0, comma), "version");
        c.versions.push_back({major, minor});
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    if (c.versions.empty())
    {
        Fail("channel '" + text + "' lists no version");
    }
    return c;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string address = "127.0.0.1";
    std::uint16_t port = 7381;
    bool older = false;
    unsigned long images = 0;
    std::optional<std::string> model, serial, manufacturer, firmwareText, auth;
    std::optional<std::tuple<std::uint8_t, std::uint8_t, std::uint16_t>> firmware;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> enumMajors;
    std::vector<Q7::Sim::ChannelConfig> channels;
    struct Stream
    {
        Q7::Sim::ChannelId id;
        Q7::Sim::StreamHandler::Options options;
    };
    std::vector<Stream> streams;
    Q7::Sim::LogLevel level = Q7::Sim::LogLevel::Info;

    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string& a = args[i];
        auto value = [&]() -> std::string
        {
            if (i + 1 >= args.size())
            {
                Fail("option " + a + " needs a value");
            }
            return args[++i];
        };
        if (a == "--help" || a == "-h")
        {
            std::cout << kUsage;
            return 0;
        }
        else if (a == "--address")
            address = value();
        else if (a == "--port")
            port = static_cast<std::uint16_t>(ParseNumber(value(), 65535, "port"));
        else if (a == "--older")
            older = true;
        else if (a == "--model")
            model = value();
        else if (a == "--serial")
            serial = value();
        else if (a == "--manufacturer")
            manufacturer = value();
        else if (a == "--firmware-text")
            firmwareText = value();
        else if (a == "--auth")
            auth = value();
        else if (a == "--images")
            images = ParseNumber(value(), 100000, "image count");
        else if (a == "--firmware")
        {
            const std::string v = value();
            const auto d1 = v.find('.');
            const auto d2 = d1 == std::string::npos ? d1 : v.find('.', d1 + 1);
            if (d2 == std::string::npos)
            {
                Fail("invalid firmware version '" + v + "' (expected M.N.B)");
            }
            firmware = {
                static_cast<std::uint8_t>(ParseNumber(v.substr(0, d1), 255, "firmware major")),
                static_cast<std::uint8_t>(ParseNumber(v.substr(d1 + 1, d2 - d1 - 1), 255, "firmware minor")),
                static_cast<std::uint16_t>(ParseNumber(v.substr(d2 + 1), 65535, "firmware build"))};
        }
        else if (a == "--enum-majors")
        {
            const std::string v = value();
            const auto dash = v.find('-');
            if (dash == std::string::npos)
            {
                Fail("invalid enumeration majors '" + v + "' (expected LO-HI)");
            }
            enumMajors = {static_cast<std::uint8_t>(ParseNumber(v.substr(0, dash), 255, "major")),
                          static_cast<std::uint8_t>(ParseNumber(v.substr(dash + 1), 255, "major"))};
        }
        else if (a == "--channel")
            channels.push_back(ParseChannelSpec(value()));
        else if (a == "--echo" || a == "--sink")
        {
            Stream s;
            s.id = ParseChannel(value());
            s.options.echo = a == "--echo";
            streams.push_back(s);
        }
        else if (a == "--source")
        {
            const std::string v = value();
            const auto colon = v.find(':');
            if (colon == std::string::npos)
            {
                Fail("invalid source '" + v + "' (expected C.S:BYTES)");
            }
            Stream s;
            s.id = ParseChannel(v.substr(0, colon));
            s.options.sourceBytes = ParseNumber(v.substr(colon + 1), ~0ul, "byte count");
            streams.push_back(s);
        }
        else if (a == "--verbose")
            level = Q7::Sim::LogLevel::Debug;
        else if (a == "--quiet")
            level = Q7::Sim::LogLevel::Error;
        else
            Fail("unknown option '" + a + "' (see --help)");
    }

    auto description = older ? Q7::Sim::CameraDescription::Older() : Q7::Sim::CameraDescription::Default();
    if (!channels.empty())
    {
        description.channels = channels;
    }
    for (const auto& s : streams)
    {
        if (description.FindChannel(s.id) == nullptr)
        {
            Q7::Sim::ChannelConfig c;
            c.id = s.id;
            description.channels.push_back(c);
        }
    }
    if (model)
        description.modelName = *model;
    if (serial)
        description.serialNumber = *serial;
    if (manufacturer)
        description.manufacturerName = *manufacturer;
    if (firmwareText)
        description.firmwareText = *firmwareText;
    if (firmware)
    {
        std::tie(description.firmwareMajor, description.firmwareMinor, description.firmwareBuild) = *firmware;
        if (!firmwareText)
        {
            description.firmwareText.clear();
        }
    }
    if (enumMajors)
    {
        std::tie(description.enumerationMajorLowest, description.enumerationMajorHighest) = *enumMajors;
    }
    if (auth)
        description.authenticationCode = *auth;

    // Block the stop signals before any thread starts, so that only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Q7::Sim::Camera camera(description);
    camera.SetLogSink(Q7::Sim::Logger::StandardError(), level);
    camera.Images().AddGenerated(images);
    if (description.FindChannel({2, 0}) != nullptr)
    {
        auto properties =
            std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
        properties->SetShutterReleaseHook([store = camera.SharedImages()] { store->Capture(); });
        camera.SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(properties));
    }
    if (description.FindChannel({1, 0}) != nullptr)
    {
        // A camera keeps its logs scrambled; the library unscrambles them.
        auto programming = std::make_shared<Q7::Sim::ProgrammingStore>();
        programming->SetLog(kDiagnosticsLogId,
                            std::vector<std::uint8_t>(std::begin(kDiagnosticsLog), std::end(kDiagnosticsLog) - 1),
                            true);
        camera.SetChannelHandler({1, 0}, Q7::Sim::ProgrammingHandler::Factory(programming));
    }
    for (const auto& s : streams)
    {
        camera.SetChannelHandler(
            s.id, Q7::Sim::StreamHandler::Factory(s.options, std::make_shared<Q7::Sim::StreamStats>()));
    }
    try
    {
        camera.Start(address, port);
    }
    catch (const std::exception& e)
    {
        Fail(std::string("cannot serve on ") + address + ":" + std::to_string(port) + ": " + e.what());
    }
    std::cout << "Simulated camera \"" << description.modelName << "\" (serial " << description.serialNumber
              << ") listening on " << address << ":" << camera.Port() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    camera.Stop();
    const auto seen = camera.Snapshot();
    std::cout << "Stopped after " << seen.connectionsAccepted << " connection(s); " << seen.violations.size()
              << " protocol violation(s) by hosts." << std::endl;
    return seen.violations.empty() ? 0 : 1;
}
