// Fuzzes the basic information of a stored image as an application reads it,
// with input = the 76-byte body a camera sends followed by the status block's
// three words: through the object's Table and FileName and its event's
// Description. Each gives a text or throws std::out_of_range (a code without a
// name); the name never runs past its 16-byte field (asan reports a read
// outside the record).
#include "FuzzEntry.h"

#include "ImageObjectsImpl.h"
#include "ImagePayloads.h"
#include "Wire/KPXByteCursor.h"

#include <TavrinCpp/EventTypes.h>

#include <memory>
#include <span>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace Q7::Tavrin;
    const std::span<const std::uint8_t> bytes(data, size);
    const auto body = Q7::KPX::ReadRecord<Q7::KPX::ImageEnumeration::BasicImageInfoBody>(bytes);
    if (!body)
    {
        return 0;
    }
    auto record = std::make_shared<KpxBasicImageInfo>();
    record->body = *body;
    Q7::KPX::ByteReader status(bytes.subspan(Q7::KPX::ImageEnumeration::BasicImageInfoBody::kEncodedSize));
    record->status.status = status.ReadU32();
    record->status.assemblyError = status.ReadU32();
    record->status.carried = status.ReadU32();

    const auto event = BuildImageEvent(EventType::CameraImageBasicImageInfo, 1, record);
    const auto info = event->BasicInfo();
    TAVRIN_FUZZ_CHECK(info != nullptr);
    TAVRIN_FUZZ_CHECK(info->FileName().size() <= 16);
    bool tabled = false;
    try
    {
        const std::string table = info->Table();
        TAVRIN_FUZZ_CHECK(table.find(info->FileName()) != std::string::npos);
        tabled = true;
    }
    catch (const std::out_of_range&)
    {
    }
    try
    {
        const std::string description = event->Description();
        TAVRIN_FUZZ_CHECK(tabled && description.find("+- Parameter") != std::string::npos);
    }
    catch (const std::out_of_range&)
    {
        TAVRIN_FUZZ_CHECK(!tabled);
    }
    return 0;
}
