// The image-enumeration agent and the camera object against the simulated
// camera's channel 3.0: a recorder of the records they deliver and helpers
// that compare them with what the simulator holds.
#pragma once

#include "Agents/ImageEnumeration/KPXImageEnumeration.h"
#include "Camera/KPXCamera.h"
#include "SimImageStore.h"
#include "Wire/KPXByteCursor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace E2e
{

using namespace std::chrono_literals;
namespace Ie = Q7::KPX::ImageEnumeration;

// A preview request of the image in the wire format.
inline Ie::ImageBufferRequestInfo PreviewOf(std::uint32_t id, std::uint32_t format)
{
    Ie::ImageBufferRequestInfo info;
    info.imageId = id;
    info.field8 = 1.0F;
    info.field9 = format;
    info.field10 = 100;
    return info;
}

// A tile as the stored-image handle asks for it: x, y, width, height, at the scale.
inline Ie::ImageBufferRequestInfo TileOf(std::uint32_t id, std::uint32_t format, std::uint32_t x,
                                         std::uint32_t y, std::uint32_t width, std::uint32_t height,
                                         float scale = 1.0F)
{
    Ie::ImageBufferRequestInfo info = PreviewOf(id, format);
    info.field6 = x;
    info.field7 = y;
    info.field3 = width;
    info.field2 = height;
    info.field8 = scale;
    return info;
}

// The records delivered, in order, by kind (the agent's kinds 1 to 10, or the
// camera's notification ids). The recorder keeps every record. Thread-safe.
class RecordRecorder
{
public:
    struct Entry
    {
        std::uint32_t kind = 0;
        std::shared_ptr<const void> record;
    };

    void Add(std::uint32_t kind, std::shared_ptr<const void> record)
    {
        {
            std::lock_guard lock(m_mutex);
            m_entries.push_back({kind, std::move(record)});
        }
        m_changed.notify_all();
    }

    // The agent's receiver.
    Q7::KPX::ImageEnumerationAgent::NotifyReceiver Receiver()
    {
        return Q7::KPX::ImageEnumerationAgent::NotifyReceiver(this, &RecordRecorder::OnAgentNotify);
    }

    // The camera's notify sink.
    Q7::KPX::Camera::NotifyFunction Sink()
    {
        return [this](Q7::KPX::Camera::EnumNotify id, const Q7::KPX::Camera::NotifyPayload& payload)
        { Add(id, payload); };
    }

    std::size_t Count(std::uint32_t kind) const
    {
        std::lock_guard lock(m_mutex);
        return CountLocked(kind);
    }

    // Waits until at least `count` records of `kind` arrived.
    bool WaitFor(std::uint32_t kind, std::size_t count, std::chrono::milliseconds timeout = 10s) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return CountLocked(kind) >= count; });
    }

    // The records of `kind` from the `from`th on, in order.
    template <typename Record>
    std::vector<Record> Records(std::uint32_t kind, std::size_t from = 0) const
    {
        std::lock_guard lock(m_mutex);
        std::vector<Record> found;
        std::size_t index = 0;
        for (const Entry& entry : m_entries)
        {
            if (entry.kind != kind)
                continue;
            if (index++ >= from)
                found.push_back(entry.record ? *static_cast<const Record*>(entry.record.get()) : Record{});
        }
        return found;
    }

    // The kinds in order of arrival.
    std::vector<std::uint32_t> Kinds() const
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::uint32_t> kinds;
        for (const Entry& entry : m_entries)
            kinds.push_back(entry.kind);
        return kinds;
    }

private:
    void OnAgentNotify(Ie::ImageEnumNotify kind, Ie::RecordPtr record) { Add(kind, std::move(record)); }

    std::size_t CountLocked(std::uint32_t kind) const
    {
        std::size_t n = 0;
        for (const Entry& entry : m_entries)
            n += entry.kind == kind;
        return n;
    }

    mutable std::mutex m_mutex; // guards m_entries
    mutable std::condition_variable m_changed;
    std::vector<Entry> m_entries;
};

// A list item as the host holds it for a stored image (the name cut to 13
// characters and zero-padded).
inline Ie::ImageListItem ExpectedItem(const Q7::Sim::SimImage& image)
{
    const std::vector<std::uint8_t> bytes = image.ListItemBytes();
    return *Q7::KPX::ReadRecord<Ie::ImageListItem>(bytes);
}

inline std::vector<Ie::ImageListItem> ExpectedItems(const std::vector<Q7::Sim::SimImage>& images)
{
    std::vector<Ie::ImageListItem> items;
    for (const auto& image : images)
        items.push_back(ExpectedItem(image));
    return items;
}

// The 76 bytes of a basic-information record, as the wire carried them.
inline std::vector<std::uint8_t> BodyBytes(const Ie::BasicImageInfo& info)
{
    std::vector<std::uint8_t> bytes(Ie::BasicImageInfoBody::kEncodedSize);
    Q7::KPX::ByteWriter writer(bytes);
    Q7::KPX::WriteFields(info.body, writer);
    return bytes;
}

inline std::string ItemName(const Ie::ImageListItem& item)
{
    return reinterpret_cast<const char*>(item.name.data());
}

} // namespace E2e

namespace Q7::KPX::ImageEnumeration
{
// Test output of a list item.
inline void PrintTo(const ImageListItem& item, std::ostream* out)
{
    *out << "{" << item.imageId << ", attribute " << item.attribute << ", \""
         << reinterpret_cast<const char*>(item.name.data()) << "\"}";
}
} // namespace Q7::KPX::ImageEnumeration
