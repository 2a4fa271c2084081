// Every exported flat function misused, as data: one row per (function, state,
// misuse) with the code (and message where it is fixed) it must give. The
// states: before OpenSdk, after CloseSdk, an open SDK without a camera, and a
// simulated camera open. Each state runs in a process of its own; rows that
// create the SDK instance run alone. No row may let an exception out, and a
// function the library exports without rows fails the table's own check.

#include "BridgeTestSupport.h"

#include "SimProgrammingHandler.h"
#include "TempFolder.h"

#include <TavrinCpp/EventTypes.h>

#include <climits>
#include <cstdio>
#include <regex>
#include <set>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
namespace C = Q7::TavrinC;

enum class State
{
    BeforeOpen,
    AfterClose,
    NoCamera,
    CameraOpen,
};

const char* StateName(State state)
{
    switch (state)
    {
    case State::BeforeOpen:
        return "before OpenSdk";
    case State::AfterClose:
        return "after CloseSdk";
    case State::NoCamera:
        return "no camera";
    case State::CameraOpen:
        return "camera open";
    }
    return "?";
}

constexpr std::uint32_t kLongGroupProperty = 0x2005; // a u32 whose group text is 65,535 bytes
constexpr std::uint32_t kUnknownListener = 0xBADBAD;
constexpr std::uint64_t kFourGiB = 0x100000000ULL;
// A code no function gives: a row's call reports with it that a second result
// (a pair's second member, an out value) was wrong.
constexpr ErrorCode kWrongOutput = static_cast<ErrorCode>(-99999);

// What a row's call may use.
struct Context
{
    int camera = 0; // the open camera (CameraOpen)
    int closed = 0; // a camera id that was opened and closed (CameraOpen)
    std::shared_ptr<Q7::Sim::ProgrammingStore> store;
    TestSupport::TempFolder folder;
    std::uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
};

using Call = std::function<ErrorCode(Context&)>;

struct Row
{
    std::string function; // as exported, without namespace and arguments
    State state;
    std::string misuse;
    Call call;
    ErrorCode code;
    const char* message = nullptr; // checked when not null
    const char* event = nullptr;   // an event the call must have posted (CameraOpen, NoCamera)
    bool sends = false;            // reaches the camera's channel 1.0 (CameraOpen)
    bool createsSdk = false;       // runs in a process of its own
};

const char* kNotOpen = "The camera is not open";

// The camera-id misuses: 0, -1, 99 and INT_MIN without a camera, and an id
// that was closed with one.
void CameraIdRows(std::vector<Row>& rows, const std::string& function,
                  const std::function<ErrorCode(int, Context&)>& call, ErrorCode code, const char* message,
                  const char* event = nullptr)
{
    const std::pair<const char*, int> ids[] = {
        {"camera id 0", 0}, {"camera id -1", -1}, {"camera id 99", 99}, {"camera id INT_MIN", INT_MIN}};
    for (const auto& [misuse, id] : ids)
    {
        rows.push_back({function, State::NoCamera, misuse,
                        [call, id = id](Context& c) { return call(id, c); }, code, message, event});
    }
    rows.push_back({function, State::CameraOpen, "closed camera id",
                    [call](Context& c) { return call(c.closed, c); }, code, message, event});
}

// The rows of a function that reports without an SDK instance in form A (the
// recorded reason), B ("Sdk not open") or C (empty): one before OpenSdk, one
// after CloseSdk.
enum class Form
{
    A,
    B,
    C,
};

void NoSdkRows(std::vector<Row>& rows, const std::string& function, Form form, const Call& call)
{
    const char* before = form == Form::C ? "" : "Sdk not open";
    const char* after = form == Form::A ? "SDK not open (closed/deleted)" : before;
    rows.push_back({function, State::BeforeOpen, "no SDK yet", call, SdkNotOpen, before});
    rows.push_back({function, State::AfterClose, "SDK closed", call, SdkNotOpen, after});
}

// The rows of NoSdkRows (with camera 1) and of CameraIdRows for one call.
void CallRows(std::vector<Row>& rows, const std::string& function, Form form,
              const std::function<ErrorCode(int, Context&)>& call, ErrorCode code, const char* message,
              const char* event = nullptr)
{
    NoSdkRows(rows, function, form, [call](Context& c) { return call(1, c); });
    CameraIdRows(rows, function, call, code, message, event);
}

std::shared_ptr<const INotificationEvent> Prototype()
{
    return BuildNotificationEvent(EventType::CameraImageReady, 0, 0);
}

std::vector<Row> Rows()
{
    std::vector<Row> rows;

    // ---- SDK instance
    rows.push_back({"OpenSdk", State::BeforeOpen, "first call creates the instance",
                    [](Context&) { return C::OpenSdk(); }, Success, "", nullptr, false, true});
    rows.push_back({"OpenSdk", State::AfterClose, "reopened", [](Context&) { return C::OpenSdk(); },
                    SdkNotOpen, "SDK not open (closed/deleted)"});
    rows.push_back({"OpenSdk", State::NoCamera, "opened twice", [](Context&) { return C::OpenSdk(); },
                    Success, "SDK is already open"});
    rows.push_back({"CloseSdk", State::BeforeOpen, "reporting, never opened",
                    [](Context&) { return C::CloseSdk(true); }, SdkNotOpen, "Sdk not open"});
    rows.push_back({"CloseSdk", State::BeforeOpen, "silent, never opened",
                    [](Context&) { return C::CloseSdk(false); }, Success, ""});
    rows.push_back({"CloseSdk", State::AfterClose, "closed twice", [](Context&) { return C::CloseSdk(true); },
                    SdkNotOpen, "SDK not open (closed/deleted)"});
    for (State state : {State::BeforeOpen, State::AfterClose})
    {
        rows.push_back({"IsSdkOpen", state, "not open",
                        [](Context&) { return C::IsSdkOpen() ? kWrongOutput : C::GetErrorCode(); },
                        SdkNotOpen});
        rows.push_back({"GetSdkVersion", state, "no SDK needed",
                        [](Context&)
                        {
                            const Version v = C::GetSdkVersion();
                            return v.major == 3 && v.minor == 1 && v.patch == 8 ? Success : kWrongOutput;
                        },
                        Success});
        rows.push_back({"GetSdkBuildCompiler", state, "no SDK needed",
                        [](Context&) { return C::GetSdkBuildCompiler() != nullptr ? Success : kWrongOutput; },
                        Success});
        rows.push_back({"GetSdkBuildDate", state, "no SDK needed",
                        [](Context&) { return C::GetSdkBuildDate() != nullptr ? Success : kWrongOutput; },
                        Success});
        rows.push_back({"GetSdkBuildHash", state, "no SDK needed",
                        [](Context&)
                        { return std::strlen(C::GetSdkBuildHash()) == 8 ? Success : kWrongOutput; },
                        Success});
    }
    rows.push_back({"IsSdkOpen", State::NoCamera, "open",
                    [](Context&) { return C::IsSdkOpen() ? Success : kWrongOutput; }, Success});

    // ---- last error and log: no state needed, misused buffers
    for (State state : {State::BeforeOpen, State::AfterClose, State::NoCamera})
    {
        rows.push_back({"GetErrorCode", state, "after a failure",
                        [](Context&)
                        {
                            bool open = false;
                            C::IsCameraOpen(-1, open);
                            C::HasProperty(-1, 1, open);
                            return C::GetErrorCode();
                        },
                        state == State::NoCamera ? CameraNotOpen : SdkNotOpen});
        rows.push_back({"GetErrorMessage", state, "never null",
                        [](Context&) { return C::GetErrorMessage() != nullptr ? Success : kWrongOutput; },
                        Success});
        const std::pair<const char*, int> sizes[] = {
            {"null buffer", 10}, {"size 0", 0}, {"size -1", -1}, {"size INT_MIN", INT_MIN}};
        for (const auto& [misuse, size] : sizes)
        {
            const bool nullBuffer = std::string(misuse) == "null buffer";
            rows.push_back(
                {"GetLastError", state, misuse,
                 [nullBuffer, size = size](Context&)
                 {
                     char buffer[4] = {'x', 'x', 'x', 'x'};
                     ErrorCode code = Success;
                     const ErrorCode stored = C::GetErrorCode();
                     const ErrorCode returned = C::GetLastError(code, nullBuffer ? nullptr : buffer, size);
                     const bool untouched = buffer[0] == 'x' && buffer[3] == 'x';
                     return returned == stored && code == stored && untouched ? Success : kWrongOutput;
                 },
                 Success});
        }
        rows.push_back({"SetMessagePrinter", state, "null printer",
                        [](Context&)
                        {
                            C::SetMessagePrinter(nullptr);
                            return Success;
                        },
                        Success});
        rows.push_back({"EnablePG13", state, "on and off twice",
                        [](Context&)
                        {
                            C::EnablePG13(true);
                            C::EnablePG13(true);
                            C::EnablePG13(false);
                            C::EnablePG13(false);
                            return Success;
                        },
                        Success});
    }

    // ---- listeners
    rows.push_back({"RegisterListener", State::BeforeOpen, "creates the instance",
                    [](Context&)
                    {
                        std::uint32_t id = 0;
                        const ErrorCode code = C::RegisterListener(id);
                        return code == Success && C::IsSdkOpen() ? Success : kWrongOutput;
                    },
                    Success, nullptr, nullptr, false, true});
    rows.push_back({"RegisterListener", State::AfterClose, "SDK closed",
                    [](Context&)
                    {
                        std::uint32_t id = 0;
                        return C::RegisterListener(id);
                    },
                    SdkNotOpen, "SDK not open (closed/deleted)"});
    NoSdkRows(rows, "DeregisterListener", Form::A, [](Context&) { return C::DeregisterListener(1); });
    rows.push_back({"DeregisterListener", State::NoCamera, "unknown listener",
                    [](Context&) { return C::DeregisterListener(kUnknownListener); }, ListenerNotInitialized,
                    ""});
    NoSdkRows(rows, "EnableNotification", Form::A,
              [](Context&) { return C::EnableNotification(1, Prototype()); });
    rows.push_back({"EnableNotification", State::NoCamera, "empty filter",
                    [](Context&) { return C::EnableNotification(kUnknownListener, nullptr); }, GeneralError,
                    "The notification filter is empty"});
    rows.push_back({"EnableNotification", State::NoCamera, "unknown listener",
                    [](Context&) { return C::EnableNotification(kUnknownListener, Prototype()); },
                    ListenerNotInitialized, "Cannot enable notification on a not-initialized listener"});
    rows.push_back({"EnableNotification", State::NoCamera, "filter for camera 99",
                    [](Context&)
                    {
                        std::uint32_t id = 0;
                        C::RegisterListener(id);
                        return C::EnableNotification(
                            id, BuildNotificationEvent(EventType::CameraImageReady, 99, 0));
                    },
                    CameraNotOpen, "You cannot enable notification on a closed camera"});
    rows.push_back(
        {"EnableNotification", State::CameraOpen, "unknown property id",
         [](Context& c)
         {
             std::uint32_t id = 0;
             C::RegisterListener(id);
             return C::EnableNotification(
                 id, BuildNotificationEvent(PropertyEventType::PropertyValueChange, c.camera, 0xFFFFFFFF));
         },
         PropertyNotFound, "You cannot enable notification for non-existing property id"});
    NoSdkRows(rows, "DisableNotification", Form::A,
              [](Context&) { return C::DisableNotification(1, Prototype()); });
    rows.push_back({"DisableNotification", State::NoCamera, "empty filter",
                    [](Context&) { return C::DisableNotification(kUnknownListener, nullptr); },
                    NotificationNotEnabled, ""});
    rows.push_back({"DisableNotification", State::NoCamera, "unknown listener",
                    [](Context&) { return C::DisableNotification(kUnknownListener, Prototype()); },
                    NotificationNotEnabled, ""});
    NoSdkRows(rows, "EnableCatchAllNotifications", Form::A,
              [](Context&) { return C::EnableCatchAllNotifications(1); });
    rows.push_back({"EnableCatchAllNotifications", State::NoCamera, "unknown listener",
                    [](Context&) { return C::EnableCatchAllNotifications(kUnknownListener); },
                    ListenerNotInitialized,
                    "Cannot enable 'catch all' notification on a not-initialized listener"});
    NoSdkRows(rows, "DisableCatchAllNotifications", Form::A,
              [](Context&) { return C::DisableCatchAllNotifications(1); });
    rows.push_back({"DisableCatchAllNotifications", State::NoCamera, "unknown listener",
                    [](Context&) { return C::DisableCatchAllNotifications(kUnknownListener); },
                    ListenerNotInitialized,
                    "Cannot disable 'catch all' notification on a not-initialized listener"});
    NoSdkRows(rows, "DisableAllNotifications", Form::A,
              [](Context&) { return C::DisableAllNotifications(1); });
    rows.push_back({"DisableAllNotifications", State::NoCamera, "unknown listener",
                    [](Context&) { return C::DisableAllNotifications(kUnknownListener); }, Success});
    const auto wait = [](std::uint32_t listener, std::uint32_t timeout)
    {
        return [listener, timeout](Context&)
        {
            ErrorCode code = Success;
            const auto event = C::WaitForNotification(listener, code, timeout);
            return event == nullptr ? code : kWrongOutput;
        };
    };
    rows.push_back({"WaitForNotification", State::BeforeOpen, "no SDK yet", wait(1, 1), SdkNotOpen});
    rows.push_back({"WaitForNotification", State::AfterClose, "SDK closed", wait(1, 1), SdkNotOpen});
    rows.push_back({"WaitForNotification", State::NoCamera, "unknown listener, no limit",
                    wait(kUnknownListener, 0), ListenerNotFound});
    NoSdkRows(rows, "WakeUpWaitingThread", Form::A, [](Context&) { return C::WakeUpWaitingThread(1); });
    rows.push_back({"WakeUpWaitingThread", State::NoCamera, "unknown listener",
                    [](Context&) { return C::WakeUpWaitingThread(kUnknownListener); }, Success});

    // ---- object factories
    NoSdkRows(rows, "SetFactory", Form::A,
              [](Context&)
              {
                  struct Null final : C::ObjectFactory
                  {
                      C::IString* CreateString() override { return nullptr; }
                      bool DeleteString(C::IString*) override { return false; }
                      C::IVector<C::PropertyValue>* CreateVector() override { return nullptr; }
                      void Terminate() override {}
                  };
                  static Null none;
                  return C::SetFactory(none);
              });
    NoSdkRows(rows, "GetFactory", Form::A,
              [](Context&)
              {
                  C::ObjectFactory* factory = nullptr;
                  const ErrorCode code = C::GetFactory(factory);
                  return factory == nullptr ? code : kWrongOutput;
              });
    rows.push_back({"RegisterDefaultFactory", State::BeforeOpen, "no SDK yet",
                    [](Context&) { return C::RegisterDefaultFactory(); }, SdkNotOpen, "Sdk not open"});
    // Registered once for the process before the close: later calls do nothing.
    rows.push_back({"RegisterDefaultFactory", State::AfterClose, "SDK closed",
                    [](Context&) { return C::RegisterDefaultFactory(); }, Success});
    rows.push_back({"RegisterDefaultFactory", State::NoCamera, "registered twice",
                    [](Context&) { return C::RegisterDefaultFactory(); }, Success});

    // ---- cameras
    NoSdkRows(rows, "OpenUsbCamera", Form::A,
              [](Context&)
              {
                  int id = 0;
                  return C::OpenUsbCamera(id, nullptr, nullptr);
              });
    const std::pair<const char*, const char*> serials[] = {{"null serial, no USB camera", nullptr},
                                                           {"unknown serial", "NOPE0001"},
                                                           {"serial not UTF-8", "\xff\xfe"}};
    for (const auto& [misuse, serial] : serials)
    {
        rows.push_back({"OpenUsbCamera", State::NoCamera, misuse,
                        [serial = serial](Context&)
                        {
                            int id = 0;
                            return C::OpenUsbCamera(id, serial, "\xc3(");
                        },
                        CameraNotFound, "No such camera found"});
    }
    NoSdkRows(rows, "OpenIpCamera", Form::A,
              [](Context&)
              {
                  int id = 0;
                  return C::OpenIpCamera(id, "127.0.0.199", nullptr, 1);
              });
    const std::tuple<const char*, const char*, ErrorCode, const char*> addresses[] = {
        {"null address", nullptr, CameraInvalidAddress, "Empty or null IP addresss"},
        {"empty address", "", CameraInvalidAddress, "Empty or null IP addresss"},
        {"address not IPv4", "camera.local", CameraInvalidAddress, "Provided IP is not a valid IPv4 address"},
        {"address not UTF-8", "127.0.0.\xff", CameraInvalidAddress,
         "Provided IP is not a valid IPv4 address"},
    };
    for (const auto& [misuse, address, code, message] : addresses)
    {
        rows.push_back({"OpenIpCamera", State::NoCamera, misuse,
                        [address = address](Context&)
                        {
                            int id = 0;
                            return C::OpenIpCamera(id, address, nullptr, 1);
                        },
                        code, message});
    }
    for (const int timeout : {0, -1, INT_MIN})
    {
        rows.push_back({"OpenIpCamera", State::NoCamera, "closed port, time-out " + std::to_string(timeout),
                        [timeout](Context&)
                        {
                            int id = 0;
                            return C::OpenIpCamera(id, "127.0.0.199", nullptr, timeout);
                        },
                        CameraConnectionRefused});
    }
    CallRows(
        rows, "CloseCamera", Form::A, [](int id, Context&) { return C::CloseCamera(id); }, CameraNotOpen,
        "The camera is not open");
    // Without an SDK the caller's true (from an earlier answer) must not stay.
    NoSdkRows(rows, "IsCameraOpen", Form::A,
              [](Context&)
              {
                  bool open = true;
                  const ErrorCode code = C::IsCameraOpen(1, open);
                  return open ? kWrongOutput : code;
              });
    CameraIdRows(
        rows, "IsCameraOpen",
        [](int id, Context&)
        {
            bool open = true;
            const ErrorCode code = C::IsCameraOpen(id, open);
            return open ? kWrongOutput : code;
        },
        Success, nullptr);
    CallRows(
        rows, "ConnectionType", Form::A,
        [](int id, Context&)
        {
            TetherConnection connection{};
            return C::ConnectionType(id, connection);
        },
        CameraNotOpen, kNotOpen);
    NoSdkRows(rows, "GetCameraList", Form::A,
              [](Context&)
              {
                  C::Vector<C::CameraSpecification> list;
                  return C::GetCameraList(list);
              });
    rows.push_back({"GetCameraList", State::NoCamera, "a list holding entries",
                    [](Context&)
                    {
                        C::Vector<C::CameraSpecification> list;
                        C::CameraSpecification stale;
                        list.PushBack(stale);
                        const ErrorCode code = C::GetCameraList(list);
                        return list.Size() == 0 ? code : kWrongOutput;
                    },
                    Success});

    // ---- properties
    CallRows(
        rows, "HasProperty", Form::A,
        [](int id, Context&)
        {
            bool has = false;
            return C::HasProperty(id, 0x1001, has);
        },
        CameraNotOpen, kNotOpen);
    for (const std::uint32_t property : {0U, 0xFFFFFFFFU})
    {
        rows.push_back({"HasProperty", State::CameraOpen, "unknown property id " + std::to_string(property),
                        [property](Context& c)
                        {
                            bool has = true;
                            const ErrorCode code = C::HasProperty(c.camera, property, has);
                            return has ? kWrongOutput : code;
                        },
                        Success});
    }
    CallRows(
        rows, "GetPropertyIds", Form::A,
        [](int id, Context&)
        {
            std::vector<unsigned int> ids;
            return C::GetPropertyIds(id, ids);
        },
        CameraNotOpen, kNotOpen);
    CallRows(
        rows, "GetPropertySpecification", Form::A,
        [](int id, Context&)
        {
            PropertySpecification specification;
            return C::GetPropertySpecification(id, 0x1001, specification);
        },
        CameraNotOpen, kNotOpen);
    rows.push_back({"GetPropertySpecification", State::CameraOpen, "unknown property id",
                    [](Context& c)
                    {
                        PropertySpecification specification;
                        return C::GetPropertySpecification(c.camera, 0xFFFFFFFF, specification);
                    },
                    PropertyNotOnCamera, "Could not find property with provided id"});
    rows.push_back({"GetPropertySpecification", State::CameraOpen, "a camera's 65,535-byte group text",
                    [](Context& c)
                    {
                        PropertySpecification specification;
                        const ErrorCode code =
                            C::GetPropertySpecification(c.camera, kLongGroupProperty, specification);
                        return specification.group == std::string(30000, 'A') + "::" + std::string(35528, 'b')
                                   ? code
                                   : kWrongOutput;
                    },
                    Success});
    CallRows(
        rows, "GetPropertyValue", Form::A,
        [](int id, Context&)
        {
            PropertyValue value;
            return C::GetPropertyValue(id, 0x1001, value);
        },
        CameraNotOpen, kNotOpen);
    rows.push_back({"GetPropertyValue", State::CameraOpen, "unknown property id",
                    [](Context& c)
                    {
                        PropertyValue value;
                        return C::GetPropertyValue(c.camera, 0xFFFFFFFF, value);
                    },
                    PropertyNotOnCamera, "Could not find property with provided id"});
    CallRows(
        rows, "SetPropertyValue", Form::A,
        [](int id, Context&) { return C::SetPropertyValue(id, 0x1001, PropertyValue(1U)); }, CameraNotOpen,
        kNotOpen);
    rows.push_back({"SetPropertyValue", State::CameraOpen, "unknown property id",
                    [](Context& c) { return C::SetPropertyValue(c.camera, 0xFFFFFFFF, PropertyValue(1U)); },
                    PropertyNotOnCamera, "Could not find property with provided id"});
    rows.push_back({"SetPropertyValue", State::CameraOpen, "type off its list",
                    [](Context& c)
                    {
                        PropertyValue value(1U);
                        value.type = static_cast<PropertyType>(99);
                        return C::SetPropertyValue(c.camera, kLongGroupProperty, value);
                    },
                    PropertyWrongType, "PropertyValue is not the same Type as the Property"});
    rows.push_back(
        {"SetPropertyValue", State::CameraOpen, "expert mode from a text",
         [](Context& c)
         { return C::SetPropertyValue(c.camera, KpxLibTransport::kExpertModeProperty, PropertyValue("on")); },
         PropertyNotFound, ""});

    // ---- files and firmware
    CallRows(
        rows, "DownloadFile", Form::A,
        [](int id, Context& c) { return C::DownloadFile(id, DownloadFileId::Log, c.folder.Path("log")); },
        CameraNotFound, "No such camera");
    rows.push_back({"DownloadFile", State::CameraOpen, "file id off its list",
                    [](Context& c)
                    { return C::DownloadFile(c.camera, static_cast<DownloadFileId>(7), c.folder.Path("x")); },
                    FileAccessDenied, "No such file id"});
    rows.push_back({"DownloadFile", State::CameraOpen, "path not UTF-8",
                    [](Context& c)
                    { return C::DownloadFile(c.camera, DownloadFileId::Log, c.folder.Path("\xff.log")); },
                    GeneralError, "The path is not UTF-8 text"});
    rows.push_back(
        {"DownloadFile", State::CameraOpen, "path in a missing folder",
         [](Context& c)
         { return C::DownloadFile(c.camera, DownloadFileId::Log, c.folder.Path("missing/camera.log")); },
         GeneralError});
    rows.push_back({"DownloadFile", State::CameraOpen, "empty path",
                    [](Context& c) { return C::DownloadFile(c.camera, DownloadFileId::Log, ""); },
                    GeneralError});

    const auto upload = [](UploadFileId fileId, bool nullData, std::uint64_t size, std::string name)
    {
        return [=](Context& c)
        { return C::UploadFile(c.camera, fileId, nullData ? nullptr : c.bytes, size, name); };
    };
    NoSdkRows(rows, "UploadFile", Form::A, upload(UploadFileId::Data, false, 16, "a.bin"));
    CameraIdRows(
        rows, "UploadFile",
        [](int id, Context& c) { return C::UploadFile(id, UploadFileId::Data, c.bytes, 16, "a.bin"); },
        CameraNotOpen, kNotOpen, "FileTransferError");
    const std::tuple<const char*, Call, ErrorCode, const char*> uploads[] = {
        {"null data, size 16", upload(UploadFileId::Data, true, 16, "a.bin"), GeneralError,
         "The upload data is null but its size is not 0"},
        {"size -1", upload(UploadFileId::Data, false, static_cast<std::uint64_t>(-1), "a.bin"), GeneralError,
         ""},
        {"size INT_MIN",
         upload(UploadFileId::Data, false, static_cast<std::uint64_t>(std::int64_t{INT_MIN}), "a.bin"),
         GeneralError, ""},
        {"4 GiB over 16 bytes", upload(UploadFileId::Data, false, kFourGiB, "a.bin"), GeneralError, ""},
        {"name not UTF-8", upload(UploadFileId::Data, false, 16, "a\xc0\xaf.bin"), GeneralError,
         "The file name is not UTF-8 text"},
        {"name with a NUL", upload(UploadFileId::Data, false, 16, std::string("a\0b", 3)), GeneralError,
         "The file name is not UTF-8 text"},
        {"file id off its list", upload(static_cast<UploadFileId>(5), false, 16, "a.bin"), FileAccessDenied,
         ""},
        {"firmware without suffix", upload(UploadFileId::Firmware, false, 16, "a.bin"), FileAccessDenied, ""},
    };
    for (const auto& [misuse, call, code, message] : uploads)
    {
        rows.push_back({"UploadFile", State::CameraOpen, misuse, call, code, message, "FileTransferError"});
    }
    rows.push_back({"UploadFile", State::CameraOpen, "null data, size 0",
                    upload(UploadFileId::Data, true, 0, "empty.bin"), Success, "", "FileTransferDone", true});

    const auto firmware = [](bool nullData, std::uint64_t size) {
        return [=](Context& c)
        { return C::UpdateCameraFirmware(c.camera, nullData ? nullptr : c.bytes, size); };
    };
    NoSdkRows(rows, "UpdateCameraFirmware", Form::A, firmware(false, 16));
    CameraIdRows(
        rows, "UpdateCameraFirmware",
        [](int id, Context& c) { return C::UpdateCameraFirmware(id, c.bytes, 16); }, CameraNotOpen, kNotOpen,
        "FirmwareTransferError");
    const std::tuple<const char*, Call, const char*> firmwares[] = {
        {"null data, size 16", firmware(true, 16), "The firmware data is null but its size is not 0"},
        {"size -1", firmware(false, static_cast<std::uint64_t>(-1)), ""},
        {"size INT_MIN", firmware(false, static_cast<std::uint64_t>(std::int64_t{INT_MIN})), ""},
        {"4 GiB over 16 bytes", firmware(false, kFourGiB), ""},
    };
    for (const auto& [misuse, call, message] : firmwares)
    {
        rows.push_back({"UpdateCameraFirmware", State::CameraOpen, misuse, call, GeneralError, message,
                        "FirmwareTransferError"});
    }

    const auto diagnostics = [](int id)
    {
        const auto log = C::GetDiagnosticsLog(id);
        return log.second.has_value() ? kWrongOutput : log.first;
    };
    CallRows(
        rows, "GetDiagnosticsLog", Form::A, [diagnostics](int id, Context&) { return diagnostics(id); },
        CameraNotOpen, kNotOpen);
    rows.push_back({"GetDiagnosticsLog", State::CameraOpen, "camera without a log",
                    [diagnostics](Context& c) { return diagnostics(c.camera); }, GeneralError});

    const auto save = [](int id, const std::string& path)
    {
        const auto saved = C::SaveDiagnosticsLog(id, path);
        return saved.second ? kWrongOutput : saved.first;
    };
    rows.push_back({"SaveDiagnosticsLog", State::BeforeOpen, "no SDK yet",
                    [save](Context& c) { return save(1, c.folder.Path("a")); }, SdkNotOpen, "Sdk not open"});
    rows.push_back({"SaveDiagnosticsLog", State::AfterClose, "SDK closed",
                    [save](Context& c) { return save(1, c.folder.Path("a")); }, SdkNotOpen,
                    "SDK not open (closed/deleted)"});
    // Failures come back as {0, false}, the reason in the last error.
    CameraIdRows(
        rows, "SaveDiagnosticsLog",
        [save](int id, Context& c)
        { return save(id, c.folder.Path("log")) == Success ? C::GetErrorCode() : kWrongOutput; },
        CameraNotOpen, kNotOpen);
    rows.push_back({"SaveDiagnosticsLog", State::CameraOpen, "path not UTF-8",
                    [save](Context& c) {
                        return save(c.camera, c.folder.Path("\xfe.log")) == Success ? C::GetErrorCode()
                                                                                    : kWrongOutput;
                    },
                    GeneralError, "The path is not UTF-8 text"});
    rows.push_back({"SaveDiagnosticsLog", State::CameraOpen, "path in a missing folder",
                    [save](Context& c)
                    {
                        c.store->SetLog(104, {1, 2, 3}, true);
                        return save(c.camera, c.folder.Path("missing/x.log")) == Success ? C::GetErrorCode()
                                                                                         : kWrongOutput;
                    },
                    GeneralError});

    // ---- captures and stored images
    CallRows(
        rows, "TriggerCapture", Form::A, [](int id, Context&) { return C::TriggerCapture(id); },
        CameraNotOpen, kNotOpen);
    const auto capabilities = [](int id)
    {
        const auto read = C::GetImageEnumCapabilities(id);
        return read.second.has_value() ? kWrongOutput : read.first;
    };
    CallRows(
        rows, "GetImageEnumCapabilities", Form::C,
        [capabilities](int id, Context&) { return capabilities(id); }, CameraNotOpen, kNotOpen);
    const auto enumeration = [](int id)
    {
        std::vector<std::shared_ptr<IStoredImageHandle>> images(1);
        const ErrorCode code = C::GetImageEnumeration(id, images);
        return images.empty() ? code : kWrongOutput;
    };
    NoSdkRows(rows, "GetImageEnumeration", Form::C,
              [](Context&)
              {
                  std::vector<std::shared_ptr<IStoredImageHandle>> images;
                  return C::GetImageEnumeration(1, images);
              });
    CameraIdRows(
        rows, "GetImageEnumeration", [enumeration](int id, Context&) { return enumeration(id); },
        CameraNotOpen, kNotOpen);
    CallRows(
        rows, "SetImageEnumerationSubscriptions", Form::B,
        [](int id, Context&)
        {
            return C::SetImageEnumerationSubscriptions(id, C::kSetSubscriptionFlags_Preview,
                                                       C::kSubscriptionOptions_Jpeg);
        },
        CameraNotOpen, kNotOpen);
    rows.push_back(
        {"SetImageEnumerationSubscriptions", State::CameraOpen, "flags and options off their lists",
         [](Context& c)
         {
             return C::SetImageEnumerationSubscriptions(c.camera,
                                                        static_cast<C::EnumSetSubscriptionFlags>(0xFFFFFFFF),
                                                        static_cast<C::EnumSubscriptionOptions>(99));
         },
         Success});
    const std::tuple<const char*, Form, std::function<ErrorCode(int, std::uint32_t)>> imageRequests[] = {
        {"RequestBasicImageInfo", Form::C,
         [](int id, std::uint32_t image) { return C::RequestBasicImageInfo(id, image); }},
        {"RequestMetadata", Form::B,
         [](int id, std::uint32_t image) { return C::RequestMetadata(id, image); }},
        {"RateImage", Form::B, [](int id, std::uint32_t image) { return C::RateImage(id, image, 3); }},
        {"DeleteImage", Form::B, [](int id, std::uint32_t image) { return C::DeleteImage(id, image); }},
        {"RequestPreview", Form::B,
         [](int id, std::uint32_t image)
         {
             C::ImageBufferRequestInfo request;
             request.imageId = image;
             request.field9 = 2;
             return C::RequestPreview(id, request);
         }},
        {"RequestTile", Form::B,
         [](int id, std::uint32_t image)
         {
             C::ImageBufferRequestInfo request;
             request.imageId = image;
             request.field2 = request.field3 = 16;
             request.field9 = 4;
             return C::RequestTile(id, request);
         }},
    };
    for (const auto& [function, form, call] : imageRequests)
    {
        NoSdkRows(rows, function, form, [call = call](Context&) { return call(1, 1); });
        CameraIdRows(
            rows, function, [call = call](int id, Context&) { return call(id, 1); }, CameraNotOpen, kNotOpen);
        rows.push_back({function, State::CameraOpen, "unknown image id",
                        [call = call](Context& c) { return call(c.camera, 0xFFFFFFF0); }, Success});
    }
    rows.push_back({"RateImage", State::CameraOpen, "rating off its list",
                    [](Context& c) { return C::RateImage(c.camera, 0xFFFFFFF0, 0xFFFFFFFF); }, Success});
    rows.push_back({"RequestPreview", State::CameraOpen, "format code off its list",
                    [](Context& c)
                    {
                        C::ImageBufferRequestInfo request;
                        request.imageId = 1;
                        request.field9 = 0xFFFF;
                        return C::RequestPreview(c.camera, request);
                    },
                    Success});
    CallRows(
        rows, "RequestImage", Form::B, [](int id, Context&) { return C::RequestImage(id, 1); }, CameraNotOpen,
        kNotOpen);
    rows.push_back({"RequestImage", State::CameraOpen, "receiving not enabled",
                    [](Context& c) { return C::RequestImage(c.camera, 0xFFFFFFF0); },
                    ImageReceivingNotEnabled, "You must enable image receiving, before requesting images"});
    CallRows(
        rows, "EnableImageReceiving", Form::A,
        [](int id, Context&) { return C::EnableImageReceiving(id, true); }, CameraNotOpen, kNotOpen);
    rows.push_back({"EnableImageReceiving", State::CameraOpen, "disabled twice",
                    [](Context& c)
                    {
                        const ErrorCode first = C::EnableImageReceiving(c.camera, false);
                        return first == Success ? C::EnableImageReceiving(c.camera, false) : first;
                    },
                    Success});
    CallRows(
        rows, "SetHostStorageCapacity", Form::A,
        [](int id, Context&) { return C::SetHostStorageCapacity(id, 500); }, CameraNotOpen, kNotOpen);
    for (const unsigned int capacity : {0U, 0xFFFFFFFFU})
    {
        rows.push_back({"SetHostStorageCapacity", State::CameraOpen, "capacity " + std::to_string(capacity),
                        [capacity](Context& c) { return C::SetHostStorageCapacity(c.camera, capacity); },
                        Success});
    }
    CallRows(
        rows, "SetReceiveBufferLimits", Form::A,
        [](int id, Context&) { return C::SetReceiveBufferLimits(id, 1ULL << 30, 1ULL << 26); }, CameraNotOpen,
        kNotOpen);
    for (const unsigned long long bytes : {0ULL, ~0ULL})
    {
        rows.push_back({"SetReceiveBufferLimits", State::CameraOpen, "limits " + std::to_string(bytes),
                        [bytes](Context& c) { return C::SetReceiveBufferLimits(c.camera, bytes, bytes); },
                        Success});
    }
    // ---- live view
    const std::pair<const char*, std::function<ErrorCode(int)>> liveView[] = {
        {"EnableLiveView", [](int id) { return C::EnableLiveView(id); }},
        {"DisableLiveView", [](int id) { return C::DisableLiveView(id); }},
        {"GetLiveViewCrop",
         [](int id)
         {
             ValueRect crop;
             return C::GetLiveViewCrop(id, crop);
         }},
        {"SetLiveViewCrop",
         [](int id) {
             return C::SetLiveViewCrop(id, ValueRect{1, 2, 3, 4});
         }},
        {"GetLiveViewFormat",
         [](int id)
         {
             ImageFormat format{};
             return C::GetLiveViewFormat(id, format);
         }},
        {"SetLiveViewFormat", [](int id) { return C::SetLiveViewFormat(id, ImageFormat::JPEG); }},
        {"GetLiveViewFullImageSize",
         [](int id)
         {
             unsigned int width = 0;
             unsigned int height = 0;
             return C::GetLiveViewFullImageSize(id, &width, &height);
         }},
        {"GetLiveViewLightness",
         [](int id)
         {
             float lightness = 0;
             return C::GetLiveViewLightness(id, lightness);
         }},
        {"SetLiveViewLightness", [](int id) { return C::SetLiveViewLightness(id, 0.5F); }},
        {"GetLiveViewPreferredMaxDimension",
         [](int id)
         {
             unsigned int dimension = 0;
             return C::GetLiveViewPreferredMaxDimension(id, dimension);
         }},
        {"SetLiveViewPreferredMaxDimension",
         [](int id) { return C::SetLiveViewPreferredMaxDimension(id, 640); }},
        {"SetLiveViewWhiteBalancePoint",
         [](int id) {
             return C::SetLiveViewWhiteBalancePoint(id, ValuePoint{1, 2});
         }},
        {"GetLiveViewCapabilities",
         [](int id)
         {
             const auto read = C::GetLiveViewCapabilities(id);
             return read.second.has_value() ? kWrongOutput : read.first;
         }},
    };
    for (const auto& [function, call] : liveView)
    {
        NoSdkRows(rows, function, std::string(function) == "GetLiveViewCapabilities" ? Form::C : Form::A,
                  [call = call](Context&) { return call(1); });
        CameraIdRows(
            rows, function, [call = call](int id, Context&) { return call(id); }, CameraNotOpen, kNotOpen);
    }
    rows.push_back({"GetLiveViewFullImageSize", State::CameraOpen, "null width",
                    [](Context& c)
                    {
                        unsigned int height = 0;
                        return C::GetLiveViewFullImageSize(c.camera, nullptr, &height);
                    },
                    GeneralError, "The width pointer is null"});
    rows.push_back({"GetLiveViewFullImageSize", State::NoCamera, "null height",
                    [](Context&)
                    {
                        unsigned int width = 0;
                        return C::GetLiveViewFullImageSize(99, &width, nullptr);
                    },
                    GeneralError, "The height pointer is null"});
    CallRows(
        rows, "SetSubscriptionNotificationCallback", Form::A,
        [](int id, Context&) { return C::SetSubscriptionNotificationCallback(id, [](auto, auto&&) {}); },
        CameraNotOpen, kNotOpen);
    rows.push_back({"SetSubscriptionNotificationCallback", State::CameraOpen, "empty callback",
                    [](Context& c) { return C::SetSubscriptionNotificationCallback(c.camera, {}); },
                    Success});
    return rows;
}

// ---------------------------------------------------------------- running rows

std::string RowName(const Row& row)
{
    return row.function + " (" + StateName(row.state) + ", " + row.misuse + ")";
}

// The transfer events the listener got since the last call, by name.
std::vector<std::string> TakeEvents(std::uint32_t listener)
{
    std::vector<std::string> names;
    while (true)
    {
        ErrorCode code = Success;
        const auto event = C::WaitForNotification(listener, code, 1);
        if (!event)
        {
            return names;
        }
        names.push_back(event->Type().name);
    }
}

void RunRow(const Row& row, Context& context, std::optional<std::uint32_t> listener)
{
    const std::size_t uploadsBefore = context.store ? context.store->Counters().uploadsBegun : 0;
    ErrorCode code = Success;
    try
    {
        code = row.call(context);
    }
    catch (...)
    {
        ADD_FAILURE() << RowName(row) << ": an exception left the function";
        return;
    }
    EXPECT_EQ(code, row.code) << RowName(row) << ": " << C::GetErrorMessage();
    if (row.message != nullptr)
    {
        EXPECT_STREQ(C::GetErrorMessage(), row.message) << RowName(row);
    }
    if (listener)
    {
        const std::vector<std::string> events = TakeEvents(*listener);
        if (row.event != nullptr)
        {
            EXPECT_NE(std::find(events.begin(), events.end(), row.event), events.end())
                << RowName(row) << ": no " << row.event;
        }
    }
    if (context.store)
    {
        // An upload the agent refuses opens channel 1.0 but begins no transfer.
        EXPECT_EQ(context.store->Counters().uploadsBegun - uploadsBefore, row.sends ? 1U : 0U)
            << RowName(row) << ": what reached the camera";
    }
}

void RunRows(State state, Context& context, std::optional<std::uint32_t> listener = std::nullopt)
{
    std::size_t count = 0;
    for (const Row& row : Rows())
    {
        if (row.state == state && !row.createsSdk)
        {
            RunRow(row, context, listener);
            ++count;
        }
    }
    EXPECT_GT(count, 0U);
}

std::uint32_t CatchAllListener()
{
    std::uint32_t id = 0;
    EXPECT_EQ(C::RegisterListener(id), Success);
    EXPECT_EQ(C::EnableCatchAllNotifications(id), Success);
    return id;
}

// Catches: a function that needs the SDK before it was opened, or that crashes
// or throws without one.
TEST(FlatRobustnessTest, BeforeOpenSdk)
{
    InOwnProcess(
        []
        {
            Context context;
            RunRows(State::BeforeOpen, context);
            EXPECT_FALSE(C::IsSdkOpen()) << "a row created the instance";
        });
}

// Catches: rows that create the instance giving something else than a
// working SDK (each runs alone, from a fresh start).
TEST(FlatRobustnessTest, RowsThatCreateTheInstance)
{
    for (const Row& row : Rows())
    {
        if (row.createsSdk)
        {
            SCOPED_TRACE(RowName(row));
            InOwnProcess(
                [&]
                {
                    Context context;
                    RunRow(row, context, std::nullopt);
                    EXPECT_TRUE(C::IsSdkOpen());
                });
        }
    }
}

// Catches: a function that reaches a closed SDK's bridge, or reopens it.
TEST(FlatRobustnessTest, AfterCloseSdk)
{
    InOwnProcess(
        []
        {
            ASSERT_EQ(C::OpenSdk(), Success);
            ASSERT_EQ(C::RegisterDefaultFactory(), Success);
            ASSERT_EQ(C::CloseSdk(true), Success);
            Context context;
            RunRows(State::AfterClose, context);
        });
}

// Catches: camera ids and arguments that crash, throw or give the wrong code
// with an open SDK and no camera.
TEST(FlatRobustnessTest, NoCamera)
{
    InOwnProcess(
        []
        {
            ASSERT_EQ(C::OpenSdk(), Success);
            ASSERT_EQ(C::RegisterDefaultFactory(), Success);
            Context context;
            RunRows(State::NoCamera, context, CatchAllListener());
        });
}

// Catches: misused arguments on an open camera that crash, throw, give the
// wrong code, reach the camera, or post no end event.
TEST(FlatRobustnessTest, CameraOpen)
{
    InOwnProcess(
        []
        {
            Context context;
            context.store = std::make_shared<Q7::Sim::ProgrammingStore>();
            SimulatedCamera camera;
            Q7::Sim::SimProperty longGroup;
            longGroup.id = kLongGroupProperty;
            longGroup.valueType = 6;
            longGroup.descriptor.name = "Long group";
            longGroup.descriptor.group = "{0}" + std::string(30000, 'A') + "\\{1}";
            longGroup.descriptor.group += std::string(65535 - longGroup.descriptor.group.size(), 'b');
            longGroup.value = Q7::Sim::SimValue::U32(1);
            camera.model->AddProperty(longGroup);
            camera.sim->SetChannelHandler({1, 0}, Q7::Sim::ProgrammingHandler::Factory(context.store));
            camera.Listen(Loopback(198));
            ASSERT_EQ(C::OpenSdk(), Success);
            ASSERT_EQ(C::RegisterDefaultFactory(), Success);
            ASSERT_EQ(C::OpenIpCamera(context.closed, Loopback(198).c_str(), nullptr, 5), Success);
            ASSERT_EQ(C::CloseCamera(context.closed), Success);
            ASSERT_EQ(C::OpenIpCamera(context.camera, Loopback(198).c_str(), nullptr, 5), Success);
            const std::uint32_t listener = CatchAllListener();
            TakeEvents(listener);
            RunRows(State::CameraOpen, context, listener);
        });
}

// Catches: an exported flat function without rows (every free function of the
// flat namespace the library exports), and rows naming no exported function.
TEST(FlatRobustnessTest, EveryExportedFunctionHasRows)
{
    std::FILE* nm = ::popen("nm -DC --defined-only " TAVRIN_LIBRARY_PATH, "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> exported;
    const std::regex freeFunction(R"( T Q7::TavrinC::([A-Za-z_][A-Za-z0-9_]*)\()");
    char line[4096];
    while (std::fgets(line, sizeof line, nm) != nullptr)
    {
        std::cmatch match;
        if (std::regex_search(line, match, freeFunction))
        {
            exported.insert(match[1].str());
        }
    }
    ASSERT_EQ(::pclose(nm), 0);
    ASSERT_GE(exported.size(), 40U) << "the library's symbols were not read";

    std::set<std::string> covered;
    for (const Row& row : Rows())
    {
        covered.insert(row.function);
    }
    for (const std::string& function : exported)
    {
        EXPECT_TRUE(covered.count(function) == 1) << function << " has no rows";
    }
    for (const std::string& function : covered)
    {
        EXPECT_TRUE(exported.count(function) == 1) << function << " has rows but is not exported";
    }
}

} // namespace
