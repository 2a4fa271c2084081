// Helpers of the tests of the application's callbacks (log handler, message
// printer, notification filters, subscription callback) run on the library's
// own threads: a simulated camera reached over TCP or the virtual USB bus, an
// application's own filter event, the calling thread's name, and bounded
// waits that end a hung case instead of blocking the run.
#pragma once

#include "BridgeTestSupport.h"
#include "SimImageEnumerationHandler.h"
#include "SimImageStore.h"
#include "SimLiveViewHandler.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>

namespace CallbackTest
{

using namespace std::chrono_literals;

enum class Link
{
    Tcp,
    Usb,
};

inline const char* LinkName(Link link)
{
    return link == Link::Tcp ? "Tcp" : "Usb";
}

inline void PrintTo(Link link, std::ostream* out)
{
    *out << LinkName(link);
}

/// The name of a case run over a link.
inline std::string LinkCaseName(const ::testing::TestParamInfo<Link>& param)
{
    return LinkName(param.param);
}

/// The name of a case of a row (with a name) run over a link.
template <typename Row>
std::string RowLinkCaseName(const ::testing::TestParamInfo<std::tuple<Row, Link>>& param)
{
    return std::string(std::get<0>(param.param).name) + "_" + LinkName(std::get<1>(param.param));
}

/// The OS name of the calling thread (the library names its threads "KPX
/// ..." and "USB ...").
inline std::string ThreadName()
{
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

/// Whether the calling thread is one of a camera's.
inline bool OnCameraThread()
{
    return ThreadName().rfind("KPX ch", 0) == 0;
}

/// Ends a case that hangs: the failure goes to standard error and the process
/// ends at once (a normal exit would close the SDK, and wait on what hangs).
[[noreturn]] inline void Hung(const std::string& what)
{
    std::fprintf(stderr, "Failure: %s did not end in time\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(3);
}

/// The future's value, or Hung after bound.
template <typename T>
T Within(std::future<T>& future, std::chrono::milliseconds bound, const std::string& what)
{
    if (future.wait_for(bound) != std::future_status::ready)
    {
        Hung(what);
    }
    return future.get();
}

/// A simulated camera with four stored images and live view, reached over the
/// link: over TCP at 127.0.0.<address>:7381, on USB on the process's virtual
/// bus (plugged before the SDK opens). The SDK is opened with its default
/// object factory, as the C++ interface opens it.
struct Rig
{
    Rig(Link over, int address) : link(over)
    {
        camera.sim->Images().AddGenerated(4);
        if (link == Link::Tcp)
        {
            addressText = BridgeTest::Loopback(address);
            camera.Listen(addressText);
        }
        else
        {
            camera.Plug(BridgeTest::InstallVirtualBus(), 1);
        }
        BridgeTest::Bridge(); // the process's own initialisation lock folder
        Q7::Tavrin::EnsureOpen();
    }

    /// Opens the camera through the C++ interface.
    Q7::Tavrin::Camera Open()
    {
        return link == Link::Tcp ? Q7::Tavrin::Camera::OpenIpCamera(addressText, "callback test", 5)
                                 : Q7::Tavrin::Camera::OpenUsbCamera(Serial(), "callback test");
    }

    /// Opens the camera through the flat interface; its id, or 0.
    int OpenFlat()
    {
        int id = 0;
        const Q7::Tavrin::ErrorCode code =
            link == Link::Tcp ? Q7::TavrinC::OpenIpCamera(id, addressText.c_str(), "callback test", 5)
                              : Q7::TavrinC::OpenUsbCamera(id, Serial().c_str(), "callback test");
        EXPECT_EQ(code, Q7::Tavrin::Success) << Q7::TavrinC::GetErrorMessage();
        return code == Q7::Tavrin::Success ? id : 0;
    }

    std::string Serial() const { return camera.sim->Description().serialNumber; }

    const Link link;
    BridgeTest::SimulatedCamera camera;
    std::string addressText;
};

/// An application's own notification filter: a prototype the library built,
/// whose comparison is the application's function.
class AppFilter final : public Q7::Tavrin::INotificationEvent
{
public:
    using Equals = std::function<bool(const INotificationEvent& prototype, const INotificationEvent& event)>;

    AppFilter(std::shared_ptr<const INotificationEvent> prototype, Equals equals)
        : m_prototype(std::move(prototype)), m_equals(std::move(equals))
    {
    }

    bool operator==(const INotificationEvent& other) const override { return m_equals(*m_prototype, other); }
    bool operator!=(const INotificationEvent& other) const override { return !(*this == other); }
    const Q7::Tavrin::BaseEventType& Type() const override { return m_prototype->Type(); }
    bool HasText() const override { return m_prototype->HasText(); }
    std::uint32_t SubjectId() const override { return m_prototype->SubjectId(); }
    bool HasCamera() const override { return m_prototype->HasCamera(); }
    std::int32_t CameraId() const override { return m_prototype->CameraId(); }
    std::uint32_t Id() const override { return m_prototype->Id(); }
    bool IsCameraEvent() const override { return m_prototype->IsCameraEvent(); }
    bool IsSdkEvent() const override { return m_prototype->IsSdkEvent(); }
    bool IsPropertyEvent() const override { return m_prototype->IsPropertyEvent(); }
    bool IsTransferEvent() const override { return m_prototype->IsTransferEvent(); }
    bool IsImageBufferEvent() const override { return m_prototype->IsImageBufferEvent(); }
    std::shared_ptr<const Q7::Tavrin::IImageFileBasicInfo> BasicInfo() const override
    {
        return m_prototype->BasicInfo();
    }
    std::shared_ptr<const Q7::Tavrin::IPreview> Preview() const override { return m_prototype->Preview(); }
    std::shared_ptr<const Q7::Tavrin::ITile> Tile() const override { return m_prototype->Tile(); }
    std::shared_ptr<const Q7::Tavrin::ILiveView> LiveView() const override { return m_prototype->LiveView(); }
    std::shared_ptr<const Q7::Tavrin::IFullImage> FullImage() const override
    {
        return m_prototype->FullImage();
    }
    std::shared_ptr<const Q7::Tavrin::IStoredImageHandle> StoredImage() const override
    {
        return m_prototype->StoredImage();
    }
    const Q7::Tavrin::CameraInfo& GetCameraInfo() const override { return m_prototype->GetCameraInfo(); }
    std::uint8_t TransferProgress() const override { return m_prototype->TransferProgress(); }
    std::string Text() const override { return m_prototype->Text(); }
    std::string Description() const override { return m_prototype->Description(); }
    std::uint32_t Value() const override { return m_prototype->Value(); }

private:
    std::shared_ptr<const INotificationEvent> m_prototype;
    Equals m_equals;
};

} // namespace CallbackTest
