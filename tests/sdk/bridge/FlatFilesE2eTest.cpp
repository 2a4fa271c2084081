// Files, firmware, the diagnostics log and the camera list through the flat
// interface, end to end against simulated cameras: bytes and KPX types on the
// camera's side, the transfer events, downloads into memory and files, the
// camera list over TCP and the virtual USB bus, and a close during an upload.

#include "BridgeTestSupport.h"

#include "SimProgrammingHandler.h"
#include "TempFolder.h"

#include <TavrinCpp/ObjectFactory.h>

#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <numeric>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using Q7::Sim::ProgrammingFault;
using Q7::Sim::ProgrammingFaultKind;
namespace C = Q7::TavrinC;

constexpr std::uint32_t kLogId = 104; // what the diagnostics log and DownloadFileId::Log ask for

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

std::vector<std::uint8_t> ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A simulated camera with channel 1.0 on 127.0.0.<address>, opened through the
// flat interface; the default factory registered.
struct FileRig
{
    explicit FileRig(int address)
    {
        camera.sim->SetChannelHandler({1, 0}, Q7::Sim::ProgrammingHandler::Factory(store));
        camera.Listen(Loopback(address));
        EXPECT_EQ(C::RegisterDefaultFactory(), Success);
        EXPECT_EQ(C::OpenIpCamera(id, Loopback(address).c_str(), nullptr, 5), Success)
            << C::GetErrorMessage();
        EXPECT_NE(listener.WaitFor(SdkEventType::SdkCameraOpened, id), nullptr);
    }

    // The transfer events of the camera that came so far, by name.
    std::vector<std::string> TransferEvents()
    {
        std::vector<std::string> names;
        for (const Event& event : listener.Rest(200ms))
        {
            if (event->Type().category == BaseEventType::TransferCategory && event->CameraId() == id)
            {
                names.push_back(event->Type().name);
            }
        }
        return names;
    }

    Listener listener;
    std::shared_ptr<Q7::Sim::ProgrammingStore> store = std::make_shared<Q7::Sim::ProgrammingStore>();
    SimulatedCamera camera;
    int id = 0;
};

// Begin first, then only Progress, then the end event, which is last.
void ExpectTransferSequence(const std::vector<std::string>& names, const std::string& begin,
                            const std::string& progress, const std::string& end)
{
    ASSERT_GE(names.size(), 2U);
    EXPECT_EQ(names.front(), begin);
    EXPECT_EQ(names.back(), end);
    for (std::size_t i = 1; i + 1 < names.size(); ++i)
    {
        EXPECT_EQ(names[i], progress) << "event " << i;
    }
}

struct UploadCase
{
    const char* name;
    UploadFileId fileId;
    const char* fileName;
    bool expert;
    ErrorCode code;
    std::uint32_t kpxType; // 0: nothing reaches the camera
    int address;           // the simulator's 127.0.0.<address>
};

void PrintTo(const UploadCase& c, std::ostream* out)
{
    *out << c.name;
}

class FlatUploadE2eTest : public ::testing::TestWithParam<UploadCase>
{
};

// Catches: the wrong KPX type for a file id or suffix, a case-insensitive
// suffix test, an id outside expert mode reaching the camera, bytes changed on
// the way, and missing or misordered Begin/Progress/Done (or Error) events.
TEST_P(FlatUploadE2eTest, ArrivesByteForByteWithItsTypeAndEvents)
{
    const UploadCase c = GetParam();
    InOwnProcess(
        [&]
        {
            FileRig rig(c.address);
            if (c.expert)
            {
                ASSERT_EQ(
                    C::SetPropertyValue(rig.id, KpxLibTransport::kExpertModeProperty, PropertyValue(1U)),
                    Success);
            }
            const std::vector<std::uint8_t> bytes = Pattern(300 * 1024 + 17, 3);
            EXPECT_EQ(C::UploadFile(rig.id, c.fileId, bytes.data(), bytes.size(), c.fileName), c.code)
                << C::GetErrorMessage();
            EXPECT_EQ(C::GetErrorCode(), c.code);
            const std::vector<Q7::Sim::Upload> uploads = rig.store->Uploads();
            if (c.kpxType == 0)
            {
                EXPECT_TRUE(uploads.empty());
                EXPECT_EQ(rig.TransferEvents(), std::vector<std::string>{"FileTransferError"});
                return;
            }
            ASSERT_EQ(uploads.size(), 1U);
            EXPECT_EQ(uploads[0].dataType, c.kpxType);
            EXPECT_EQ(uploads[0].name, c.fileName);
            EXPECT_TRUE(uploads[0].completed);
            EXPECT_TRUE(uploads[0].bytes == bytes);
            ExpectTransferSequence(rig.TransferEvents(), "FileTransferBegin", "FileTransferProgress",
                                   "FileTransferDone");
        });
}

INSTANTIATE_TEST_SUITE_P(
    Ids, FlatUploadE2eTest,
    ::testing::Values(
        UploadCase{"FirmwareFwr", UploadFileId::Firmware, "update.fwr", false, Success, 102, 190},
        UploadCase{"FirmwareFwp", UploadFileId::Firmware, "update.fwp", false, Success, 106, 191},
        UploadCase{"FirmwareUpperCase", UploadFileId::Firmware, "update.FWR", false, FileAccessDenied, 0,
                   192},
        UploadCase{"FirmwareNoSuffix", UploadFileId::Firmware, "update", false, FileAccessDenied, 0, 193},
        UploadCase{"Data", UploadFileId::Data, "notes \xc3\xa9t\xc3\xa9.bin", false, Success, 201, 194},
        UploadCase{"OtherWithoutExpert", static_cast<UploadFileId>(5), "x.bin", false, FileAccessDenied, 0,
                   195},
        UploadCase{"OtherInExpertMode", static_cast<UploadFileId>(5), "x.bin", true, Success, 5, 196},
        UploadCase{"NameNotUtf8", UploadFileId::Data, "bad\xff.bin", false, GeneralError, 0, 197}),
    [](const ::testing::TestParamInfo<UploadCase>& param) { return std::string(param.param.name); });

// Catches: firmware sent under another type, altered bytes, and missing
// firmware events.
TEST(FlatFilesE2eTest, FirmwareArrivesByteForByteWithItsEvents)
{
    InOwnProcess(
        [&]
        {
            FileRig rig(225);
            const std::vector<std::uint8_t> bytes = Pattern(2 * 1024 * 1024 + 5, 11);
            EXPECT_EQ(C::UpdateCameraFirmware(rig.id, bytes.data(), bytes.size()), Success)
                << C::GetErrorMessage();
            const std::vector<Q7::Sim::Upload> uploads = rig.store->Uploads();
            ASSERT_EQ(uploads.size(), 1U);
            EXPECT_EQ(uploads[0].dataType, 102U);
            EXPECT_TRUE(uploads[0].bytes == bytes);
            ExpectTransferSequence(rig.TransferEvents(), "FirmwareTransferBegin", "FirmwareTransferProgress",
                                   "FirmwareTransferDone");
        });
}

// Catches: a refused upload reported as success, its FileTransferError missing
// or posted only after the function returned, and a refused firmware update
// without its error event.
TEST(FlatFilesE2eTest, RefusedTransfersPostTheirErrorEventBeforeReturning)
{
    InOwnProcess(
        [&]
        {
            FileRig rig(226);
            rig.listener.Rest(100ms);
            const std::vector<std::uint8_t> bytes = Pattern(1000, 1);
            rig.store->AddFault(ProgrammingFault{.kind = ProgrammingFaultKind::RefuseUpload});
            EXPECT_EQ(C::UploadFile(rig.id, UploadFileId::Data, bytes.data(), bytes.size(), "a.bin"),
                      GeneralError);
            // Posted before the call returned: waiting no time finds it.
            Event event;
            while ((event = rig.listener.Next(1ms)) && &event->Type() != &EventType::FileTransferError)
            {
            }
            ASSERT_NE(event, nullptr);
            EXPECT_EQ(event->TransferProgress(), 0U);

            rig.store->AddFault(ProgrammingFault{.kind = ProgrammingFaultKind::ErrorOnUploadBegin});
            EXPECT_EQ(C::UpdateCameraFirmware(rig.id, bytes.data(), bytes.size()), GeneralError);
            const std::vector<std::string> names = rig.TransferEvents();
            ASSERT_FALSE(names.empty());
            EXPECT_EQ(names.back(), "FirmwareTransferError");
        });
}

struct RecordStep
{
    const char* name;
    std::function<ErrorCode(FileRig&)> call;
    ErrorCode returned;
    ErrorCode recorded; // the thread's last-error code afterwards
    const char* message;
};

// Catches failures that re-report the message an earlier call of the thread
// recorded with the same code ("a zero-byte upload fails with the live view's
// text"), -110 and the camera's refusals recorded without a record of their
// own, and successes that leave the previous failure in place. Each step's
// call follows a failure with a message of its own.
TEST(FlatFilesE2eTest, EveryTransferRecordsItsOwnOutcome)
{
    InOwnProcess(
        [&]
        {
            FileRig rig(245);
            rig.store->SetLog(kLogId, Pattern(1000, 4), true);
            TestSupport::TempFolder folder;
            const std::vector<std::uint8_t> bytes = Pattern(1000, 1);
            const auto upload = [&](UploadFileId id, std::size_t size, const char* name)
            { return C::UploadFile(rig.id, id, bytes.data(), size, name); };
            const auto saveLog = [&](int camera, bool saved)
            {
                const auto [code, written] = C::SaveDiagnosticsLog(camera, folder.Path("log"));
                return written == saved ? code : static_cast<ErrorCode>(-99999);
            };
            const RecordStep steps[] = {
                {"failed: the live-view format",
                 [&](FileRig& r) { return C::SetLiveViewFormat(r.id, ImageFormat::RVF); }, GeneralError,
                 GeneralError, "Subsystem cannot support the chosen LiveView format"},
                {"a zero-byte upload", [&](FileRig&) { return upload(UploadFileId::Data, 0, "empty.bin"); },
                 Success, Success, ""},
                {"failed: the name not UTF-8",
                 [&](FileRig&) { return upload(UploadFileId::Data, 10, "b\xff"); }, GeneralError,
                 GeneralError, "The file name is not UTF-8 text"},
                {"an upload the camera refuses",
                 [&](FileRig& r)
                 {
                     r.store->AddFault(ProgrammingFault{.kind = ProgrammingFaultKind::RefuseUpload});
                     return upload(UploadFileId::Data, bytes.size(), "a.bin");
                 },
                 GeneralError, GeneralError, ""},
                {"failed: firmware of null bytes",
                 [&](FileRig& r) { return C::UpdateCameraFirmware(r.id, nullptr, 5); }, GeneralError,
                 GeneralError, "The firmware data is null but its size is not 0"},
                {"firmware of no bytes",
                 [&](FileRig& r) { return C::UpdateCameraFirmware(r.id, nullptr, 0); }, Success, Success, ""},
                {"failed: firmware of null bytes",
                 [&](FileRig& r) { return C::UpdateCameraFirmware(r.id, nullptr, 5); }, GeneralError,
                 GeneralError, "The firmware data is null but its size is not 0"},
                {"firmware the camera refuses",
                 [&](FileRig& r)
                 {
                     r.store->AddFault(ProgrammingFault{.kind = ProgrammingFaultKind::RefuseUpload});
                     return C::UpdateCameraFirmware(r.id, bytes.data(), bytes.size());
                 },
                 GeneralError, GeneralError, ""},
                {"failed: a download outside expert mode",
                 [&](FileRig& r)
                 { return C::DownloadFile(r.id, static_cast<DownloadFileId>(7), folder.Path("x")); },
                 FileAccessDenied, FileAccessDenied, "No such file id"},
                {"an upload outside expert mode",
                 [&](FileRig&) { return upload(static_cast<UploadFileId>(5), bytes.size(), "x.bin"); },
                 FileAccessDenied, FileAccessDenied, ""},
                {"failed: a download outside expert mode",
                 [&](FileRig& r)
                 { return C::DownloadFile(r.id, static_cast<DownloadFileId>(7), folder.Path("x")); },
                 FileAccessDenied, FileAccessDenied, "No such file id"},
                {"firmware named neither .fwr nor .fwp",
                 [&](FileRig&) { return upload(UploadFileId::Firmware, bytes.size(), "update.bin"); },
                 FileAccessDenied, FileAccessDenied, ""},
                {"the log saved", [&](FileRig& r) { return saveLog(r.id, true); }, Success, Success, ""},
                {"failed: a download outside expert mode",
                 [&](FileRig& r)
                 { return C::DownloadFile(r.id, static_cast<DownloadFileId>(7), folder.Path("x")); },
                 FileAccessDenied, FileAccessDenied, "No such file id"},
                {"the log into memory", [&](FileRig& r) { return C::GetDiagnosticsLog(r.id).first; }, Success,
                 Success, ""},
                {"failed: a download outside expert mode",
                 [&](FileRig& r)
                 { return C::DownloadFile(r.id, static_cast<DownloadFileId>(7), folder.Path("x")); },
                 FileAccessDenied, FileAccessDenied, "No such file id"},
                // 0 with the log not written: the reason is this call's.
                {"the log of a camera not open", [&](FileRig&) { return saveLog(99, false); }, Success,
                 CameraNotOpen, "The camera is not open"},
            };
            for (const RecordStep& step : steps)
            {
                EXPECT_EQ(step.call(rig), step.returned) << step.name;
                EXPECT_EQ(C::GetErrorCode(), step.recorded) << step.name;
                EXPECT_STREQ(C::GetErrorMessage(), step.message) << step.name;
            }
        });
}

// Catches: the log not unscrambled, bytes lost between memory and file, the
// wrong log id asked for, and a download of another id outside expert mode.
TEST(FlatFilesE2eTest, TheLogDownloadsByteForByteIntoMemoryAndFiles)
{
    InOwnProcess(
        [&]
        {
            FileRig rig(227);
            const std::vector<std::uint8_t> log = Pattern(1536 * 1024 + 3, 5);
            rig.store->SetLog(kLogId, log, true);
            const std::vector<std::uint8_t> data = Pattern(4096, 9);
            rig.store->SetLog(201, data, false);
            TestSupport::TempFolder folder;

            const auto inMemory = C::GetDiagnosticsLog(rig.id);
            EXPECT_EQ(inMemory.first, Success) << C::GetErrorMessage();
            ASSERT_TRUE(inMemory.second.has_value());
            EXPECT_TRUE(*inMemory.second == log);

            const std::string saved = folder.Path("diagnostics \xe2\x82\xac.log");
            EXPECT_EQ(C::SaveDiagnosticsLog(rig.id, saved), (std::pair<ErrorCode, bool>{Success, true}));
            EXPECT_TRUE(ReadFile(saved) == log);

            const std::string downloaded = folder.Path("camera.log");
            EXPECT_EQ(C::DownloadFile(rig.id, DownloadFileId::Log, downloaded), Success)
                << C::GetErrorMessage();
            EXPECT_TRUE(ReadFile(downloaded) == log);
            const std::string raw = folder.Path("data.bin");
            EXPECT_EQ(C::DownloadFile(rig.id, DownloadFileId::Data, raw), Success) << C::GetErrorMessage();
            EXPECT_TRUE(ReadFile(raw) == data);

            const std::size_t requests = rig.store->Counters().logRequests;
            EXPECT_EQ(C::DownloadFile(rig.id, static_cast<DownloadFileId>(7), folder.Path("x")),
                      FileAccessDenied);
            EXPECT_STREQ(C::GetErrorMessage(), "No such file id");
            EXPECT_EQ(C::DownloadFile(99, DownloadFileId::Log, folder.Path("y")), CameraNotFound);
            EXPECT_STREQ(C::GetErrorMessage(), "No such camera");
            EXPECT_EQ(rig.store->Counters().logRequests, requests)
                << "refused downloads ask the camera nothing";
        });
}

std::vector<C::CameraSpecification> Entries(C::IVector<C::CameraSpecification>& list)
{
    std::vector<C::CameraSpecification> entries;
    for (std::uint32_t i = 0; i < list.Size(); ++i)
    {
        entries.push_back(*list.At(static_cast<int>(i)));
    }
    return entries;
}

std::string Text(const C::IString* text)
{
    return text != nullptr ? text->CStr() : "<null>";
}

// Catches: an open network camera missing from the list or listed without its
// model, serial or address; USB cameras of the bus missing, listed closed while
// open, or still listed after their removal; and a list that is not emptied
// before it is filled.
TEST(FlatFilesE2eTest, TheCameraListShowsOpenNetworkCamerasAndTheBusCameras)
{
    InOwnProcess(
        [&]
        {
            Q7::Platform::Usb::VirtualUsbBus& bus = InstallVirtualBus();
            SimulatedCamera first("USB0000001");
            SimulatedCamera second("USB0000002");
            first.Plug(bus, 1);
            second.Plug(bus, 2);
            SimulatedCamera network("NET0000001");
            network.Listen(Loopback(229));
            ASSERT_EQ(C::OpenSdk(), Success);

            C::Vector<C::CameraSpecification> list;
            EXPECT_EQ(C::GetCameraList(list), SdkNoFactory);
            EXPECT_STREQ(C::GetErrorMessage(), "No ABIFactory registered");
            ASSERT_EQ(C::RegisterDefaultFactory(), Success);

            int networkId = 0;
            ASSERT_EQ(C::OpenIpCamera(networkId, Loopback(229).c_str(), nullptr, 5), Success);
            int usbId = 0;
            ASSERT_EQ(C::OpenUsbCamera(usbId, "USB0000002", nullptr), Success) << C::GetErrorMessage();

            EXPECT_EQ(C::GetCameraList(list), Success) << C::GetErrorMessage();
            std::vector<std::string> rows;
            for (const C::CameraSpecification& entry : Entries(list))
            {
                rows.push_back(std::to_string(entry.connection) + "|" + Text(entry.name) + "|" +
                               Text(entry.serialNumber) + "|" + Text(entry.address) + "|" +
                               (entry.open ? "open" : "closed"));
            }
            TetherConnection usbConnection = TetherConnection::Unknown;
            ASSERT_EQ(C::ConnectionType(usbId, usbConnection), Success);
            const std::string usbOpen = std::to_string(static_cast<unsigned>(usbConnection));
            EXPECT_EQ(rows, (std::vector<std::string>{
                                "1|TS-1 Simulator|USB0000001||closed",
                                usbOpen + "|TS-1 Simulator|USB0000002||open",
                                "4|TS-1 Simulator|NET0000001|127.0.0.229|open",
                            }));

            // Unplugged and reported removed: the closed camera goes; the open
            // one is kept out too once marked removed.
            Listener listener;
            first.usb.reset();
            second.usb.reset();
            EXPECT_NE(listener.WaitFor(SdkEventType::SdkCameraRemoved, -1), nullptr);
            EXPECT_NE(listener.WaitFor(SdkEventType::SdkCameraRemoved, -1), nullptr);
            EXPECT_EQ(C::GetCameraList(list), Success);
            rows.clear();
            for (const C::CameraSpecification& entry : Entries(list))
            {
                rows.push_back(Text(entry.serialNumber));
            }
            EXPECT_EQ(rows, std::vector<std::string>{"NET0000001"});
        });
}

// Catches: a close that waits for a stalled upload without bound, an upload
// reported as success after the close, and SdkCameraClosed posted twice.
TEST(FlatFilesE2eTest, CloseDuringAStalledUploadEndsBothWithOneClosedEvent)
{
    InOwnProcess(
        [&]
        {
            FileRig rig(228);
            rig.store->AddFault(ProgrammingFault{.kind = ProgrammingFaultKind::StallUpload});
            const std::vector<std::uint8_t> bytes = Pattern(64 * 1024, 2);
            auto upload = std::async(std::launch::async,
                                     [&] {
                                         return C::UploadFile(rig.id, UploadFileId::Data, bytes.data(),
                                                              bytes.size(), "stalled.bin");
                                     });
            ASSERT_TRUE(rig.store->WaitUntil([](const Q7::Sim::ProgrammingCounters& counters)
                                             { return counters.uploadEndsReceived == 1; },
                                             10s));
            auto close = std::async(std::launch::async, [&] { return C::CloseCamera(rig.id); });
            ASSERT_EQ(close.wait_for(20s), std::future_status::ready);
            EXPECT_EQ(close.get(), Success);
            ASSERT_EQ(upload.wait_for(20s), std::future_status::ready);
            EXPECT_EQ(upload.get(), GeneralError);
            int closed = 0;
            for (const Event& event : rig.listener.Rest(300ms))
            {
                closed += &event->Type() == &SdkEventType::SdkCameraClosed;
            }
            EXPECT_EQ(closed, 1);
        });
}

} // namespace
