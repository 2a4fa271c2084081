// Stored images through the flat interface and their handles, end to end
// against a simulated camera: the image list as handles, the image-list
// events carrying handles, the handles' waits returning the camera's bytes, a
// rating cut to five stars, and a closed camera's handle.

#include "BridgeTestSupport.h"

#include "SimImageEnumerationHandler.h"
#include "SimImageStore.h"

#include <TavrinCpp/StoredImageHandle.h>

#include <future>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
namespace C = Q7::TavrinC;

std::vector<std::uint8_t> Bytes(const std::shared_ptr<const IImageBuffer>& image)
{
    const std::shared_ptr<const std::uint8_t> data = image->Data();
    return {data.get(), data.get() + image->Size()};
}

std::size_t ListenerCount()
{
    Sdk* sdk = Sdk::GetInstance(false);
    const std::lock_guard<std::recursive_mutex> lock(sdk->Mutex());
    return sdk->Listeners().size();
}

struct ImageRig
{
    explicit ImageRig(int address)
    {
        images = camera.sim->Images().AddGenerated(3);
        camera.model->SetShutterReleaseHook([this] { camera.sim->Images().Capture(); });
        camera.Listen(Loopback(address));
        EXPECT_EQ(C::RegisterDefaultFactory(), Success);
        EXPECT_EQ(C::OpenIpCamera(id, Loopback(address).c_str(), nullptr, 5), Success)
            << C::GetErrorMessage();
        EXPECT_NE(listener.WaitFor(EventType::CameraImageNewList, id), nullptr);
    }

    Listener listener;
    SimulatedCamera camera;
    std::vector<Q7::Sim::SimImage> images;
    int id = 0;
};

// Catches: a list that misses or reorders the camera's images, handles with
// the wrong id, name, word or mask, and a list not emptied before filling.
TEST(FlatImagesE2eTest, TheImageListComesAsHandles)
{
    InOwnProcess(
        []
        {
            ImageRig rig(221);
            std::vector<std::shared_ptr<IStoredImageHandle>> handles(2);
            ASSERT_EQ(C::GetImageEnumeration(rig.id, handles), Success) << C::GetErrorMessage();
            ASSERT_EQ(handles.size(), rig.images.size());
            for (std::size_t i = 0; i < handles.size(); ++i)
            {
                ASSERT_NE(handles[i], nullptr);
                EXPECT_EQ(handles[i]->Id(), rig.images[i].id);
                EXPECT_EQ(handles[i]->FileName(), rig.images[i].name.substr(0, 13));
                EXPECT_EQ(handles[i]->ItemWord(), rig.images[i].attribute);
                EXPECT_EQ(handles[i]->DeviceMask(), rig.images[i].attribute23);
            }
        });
}

// Catches: answers not awaited or taken from the wrong event, bytes that
// differ from the camera's, a rating above five reaching the camera, events of
// capture, rating and deletion without their handle, and a wait that leaves
// its listener behind.
TEST(FlatImagesE2eTest, HandlesWaitForTheCamerasAnswersAndEditsComeBackAsEvents)
{
    InOwnProcess(
        []
        {
            ImageRig rig(222);
            std::vector<std::shared_ptr<IStoredImageHandle>> handles;
            ASSERT_EQ(C::GetImageEnumeration(rig.id, handles), Success);
            ASSERT_EQ(handles.size(), 3U);
            const IStoredImageHandle& second = *handles[1];
            const Q7::Sim::SimImage& image = rig.images[1];
            const std::size_t listeners = ListenerCount();

            const auto info = second.GetBasicInfo(10000);
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(info->ImageId(), image.id);
            EXPECT_EQ(info->FileName(), image.info.fileName);
            EXPECT_EQ(info->ImageSize(), image.info.imageSize);

            const auto preview = second.GetPreview(ImageFormat::RGB24, 10000);
            ASSERT_NE(preview, nullptr);
            EXPECT_EQ(Bytes(preview), image.PreviewBytes(Q7::Sim::kImageFormatRgb24));
            const auto jpeg = second.GetPreview(ImageFormat::JPEG, 10000);
            ASSERT_NE(jpeg, nullptr);
            EXPECT_EQ(Bytes(jpeg), image.PreviewBytes(Q7::Sim::kImageFormatJpeg));

            const TileRequest request{8, 4, 16, 12, 1.0F, ImageFormat::RGB24};
            const auto tile = second.GetTile(request, 10000);
            ASSERT_NE(tile, nullptr);
            EXPECT_EQ(Bytes(tile), image.TileBytes(Q7::Sim::kImageFormatRgb24, 8, 4, 16, 12));
            EXPECT_EQ(ListenerCount(), listeners) << "a wait left its listener";

            // A capture, a rating and a deletion, each back as its event with a handle.
            rig.listener.Rest(100ms);
            ASSERT_EQ(C::TriggerCapture(rig.id), Success);
            const Event added = rig.listener.WaitFor(EventType::CameraImageAdded, rig.id);
            ASSERT_NE(added, nullptr);
            ASSERT_NE(added->StoredImage(), nullptr);
            const std::uint32_t captured = added->StoredImage()->Id();
            EXPECT_TRUE(rig.camera.sim->Images().Find(captured).has_value());

            EXPECT_EQ(second.Rate(9), Success);
            const Event edited = rig.listener.WaitFor(EventType::CameraImageEdited, rig.id);
            ASSERT_NE(edited, nullptr);
            ASSERT_NE(edited->StoredImage(), nullptr);
            EXPECT_EQ(edited->StoredImage()->Id(), image.id);
            EXPECT_EQ(rig.camera.sim->Images().Find(image.id)->info.rating, 5U);

            EXPECT_EQ(added->StoredImage()->Delete(), Success);
            const Event removed = rig.listener.WaitFor(EventType::CameraImageRemoved, rig.id);
            ASSERT_NE(removed, nullptr);
            ASSERT_NE(removed->StoredImage(), nullptr);
            EXPECT_EQ(removed->StoredImage()->Id(), captured);
            EXPECT_FALSE(rig.camera.sim->Images().Find(captured).has_value());
        });
}

// Catches: a wait on a closed camera's handle that runs into its time-out (or
// for ever with 0) although nothing was asked, and the listener it leaves.
TEST(FlatImagesE2eTest, AClosedCamerasHandleReturnsAtOnceLeavingNoListener)
{
    InOwnProcess(
        []
        {
            ImageRig rig(223);
            std::vector<std::shared_ptr<IStoredImageHandle>> handles;
            ASSERT_EQ(C::GetImageEnumeration(rig.id, handles), Success);
            ASSERT_FALSE(handles.empty());
            ASSERT_EQ(C::CloseCamera(rig.id), Success);
            const std::size_t listeners = ListenerCount();
            auto waited = std::async(std::launch::async,
                                     [&]
                                     {
                                         return handles[0]->GetPreview(ImageFormat::JPEG, 0) == nullptr &&
                                                handles[0]->GetBasicInfo(0) == nullptr &&
                                                handles[0]->GetTile(TileRequest{}, 0) == nullptr;
                                     });
            ASSERT_EQ(waited.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(waited.get());
            EXPECT_EQ(ListenerCount(), listeners);
            EXPECT_EQ(handles[0]->Rate(1), CameraNotOpen);
            EXPECT_FALSE(handles[0]->RequestImage());
        });
}

// Fault: an image list whose reply stalled after its first fragment, or was
// refused, reached the application as a complete, shorter list. The list
// that arrived is still handed over, and GetImageEnumeration says it may be
// partial (-1).
TEST(FlatImagesE2eTest, AListThatStallsOrIsRefusedIsHandedOverWithAnError)
{
    struct Case
    {
        const char* name;
        Q7::Sim::ImageEnumerationFault fault;
        int address;
        std::size_t handed;
    };
    constexpr std::size_t kImages = 150;
    constexpr std::size_t kFirstFragment = 64; // items in the first message
    const Case cases[] = {
        {"stalls after its first fragment",
         {.kind = Q7::Sim::ImageEnumerationFaultKind::FirstFragmentOnly, .requestType = Q7::Sim::kIeGetImageList},
         137,
         kFirstFragment},
        {"refused",
         {.kind = Q7::Sim::ImageEnumerationFaultKind::CommonErrorReply, .requestType = Q7::Sim::kIeGetImageList},
         138,
         0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        InOwnProcess(
            [&]
            {
                SimulatedCamera camera;
                camera.sim->Images().AddGenerated(kImages);
                camera.sim->ImageEnumeration().SetFragmentSize(kFirstFragment * Q7::Sim::kIeListItemSize);
                camera.sim->ImageEnumeration().AddFault(c.fault);
                camera.Listen(Loopback(c.address));
                ASSERT_EQ(C::OpenSdk(), Success);
                ASSERT_EQ(C::RegisterDefaultFactory(), Success);
                int id = 0;
                ASSERT_EQ(C::OpenIpCamera(id, Loopback(c.address).c_str(), nullptr, 5), Success)
                    << C::GetErrorMessage();
                std::vector<std::shared_ptr<IStoredImageHandle>> handles;
                EXPECT_EQ(C::GetImageEnumeration(id, handles), GeneralError);
                EXPECT_STREQ(C::GetErrorMessage(),
                             "The camera's image list is incomplete: its reply failed or did not end in time.");
                EXPECT_EQ(handles.size(), c.handed);
            });
    }
}

} // namespace

namespace
{

// Catches: a crop or maximum dimension equal to the current one sent to the
// camera again, a changed one not sent, and a close that fails on live view.
TEST(FlatLiveViewE2eTest, AnUnchangedCropOrDimensionSendsNothing)
{
    InOwnProcess(
        []
        {
            SimulatedCamera camera;
            camera.Listen(Loopback(186));
            ASSERT_EQ(C::OpenSdk(), Success);
            ASSERT_EQ(C::RegisterDefaultFactory(), Success);
            int id = 0;
            ASSERT_EQ(C::OpenIpCamera(id, Loopback(186).c_str(), nullptr, 5), Success)
                << C::GetErrorMessage();
            ValueRect crop{};
            ASSERT_EQ(C::GetLiveViewCrop(id, crop), Success) << C::GetErrorMessage();
            unsigned int dimension = 0;
            ASSERT_EQ(C::GetLiveViewPreferredMaxDimension(id, dimension), Success);
            const std::uint64_t before = camera.sim->LiveView().Counters().setConfigurations;
            EXPECT_EQ(C::SetLiveViewCrop(id, crop), Success);
            EXPECT_EQ(C::SetLiveViewPreferredMaxDimension(id, dimension), Success);
            EXPECT_EQ(camera.sim->LiveView().Counters().setConfigurations, before);

            EXPECT_EQ(C::SetLiveViewPreferredMaxDimension(id, dimension == 320 ? 240 : 320), Success);
            EXPECT_TRUE(camera.sim->LiveView().WaitUntil(
                [&](const Q7::Sim::LiveViewCounters& c) { return c.setConfigurations > before; }, 10s));
            EXPECT_EQ(C::CloseCamera(id), Success);
        });
}

} // namespace
