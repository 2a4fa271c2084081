// Channel 2.0 of the simulated camera: a property model that outlives each
// open of the channel, and the handler that serves it as a camera does.
//
// The camera answers GetPropList, GetPropDesc and GetPropState; applies
// SetPropValue when the property allows it (answering with the new state) and
// refuses it otherwise (state unchanged, no answer); restores defaults,
// refreshes states and executes commands (shutter releases are counted).
// While the host has events enabled on an open channel, every change the test
// makes to the model is pushed as a camera pushes it: a value or flag change
// as a state, a descriptor change as a descriptor, an addition, removal or
// reordering as a new property list. Tests can also make the camera push its
// descriptors and states before its list reply, ignore requests for some ids,
// stay silent, or push malformed replies.
//
// Typical use in a test:
//
//   auto model = std::make_shared<Q7::Sim::DeviceControlModel>(properties);
//   camera.SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
//   ... start the host's agent ...
//   model->ChangeValue(7, Q7::Sim::SimValue::U32(400));
#pragma once

#include "SimMessageChannelHandler.h"

#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace Q7::Sim
{

// Message types of the device-control class (0x66).
inline constexpr std::uint8_t kDcGetPropList = 2;
inline constexpr std::uint8_t kDcGetPropDesc = 3;
inline constexpr std::uint8_t kDcGetPropState = 4;
inline constexpr std::uint8_t kDcSetPropValue = 5;
inline constexpr std::uint8_t kDcRestorePropValue = 6;
inline constexpr std::uint8_t kDcRefreshProp = 7;
inline constexpr std::uint8_t kDcExecuteCmd = 10;
inline constexpr std::uint8_t kDcPropListReply = 130;
inline constexpr std::uint8_t kDcPropDescReply = 131;
inline constexpr std::uint8_t kDcPropStateReply = 132;

inline constexpr std::size_t kDcPropListHeaderSize = 20;
inline constexpr std::size_t kDcPropDescHeaderSize = 52;
inline constexpr std::size_t kDcPropStateHeaderSize = 32;
inline constexpr std::size_t kDcAttributeHeaderSize = 8;

// The id that names every property in RefreshProp and RestorePropValue.
inline constexpr std::uint32_t kAllProperties = 0xFFFFFFFFu;
// CommonError ids the camera sends on channel 2.0.
inline constexpr std::uint32_t kErrorIdUnknownProperty = 0x66000001u;

// State flag bits.
inline constexpr std::uint32_t kPropFlagged = 0x1;
inline constexpr std::uint32_t kPropReadOnly = 0x2;
inline constexpr std::uint32_t kPropDisabled = 0x4;
// Descriptor flag bit: only the listed values may be set.
inline constexpr std::uint32_t kPropSelectOnly = 0x1;

// The byte size of a value type code; 0 for the variable-length codes 0 and
// 20 and for codes the camera does not know. Reentrant.
std::size_t ValueTypeSize(std::uint8_t type);
// True for the codes with a size (and 0 and 20). Reentrant.
bool IsKnownValueType(std::uint8_t type);

// A value as the camera holds it: type code, little-endian bytes, its display
// text and the word that may follow the text on the wire.
struct SimValue
{
    std::uint8_t type = 0;
    std::vector<std::uint8_t> bytes;
    std::string text;
    std::optional<std::uint32_t> extra;

    bool operator==(const SimValue&) const = default;

    // A number: its type code follows from its C++ type (i8 1, u8 2, i16 3,
    // u16 4, i32 5, u32 6, i64 7, u64 8, f32 9, f64 10), its bytes are
    // little-endian.
    template <typename T>
    static SimValue Number(T v, std::string text = {});

    static SimValue I8(std::int8_t v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue U8(std::uint8_t v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue I16(std::int16_t v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue U16(std::uint16_t v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue I32(std::int32_t v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue U32(std::uint32_t v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue I64(std::int64_t v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue U64(std::uint64_t v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue F32(float v, std::string text = {}) { return Number(v, std::move(text)); }
    static SimValue F64(double v, std::string text = {}) { return Number(v, std::move(text)); }
    // A value of any type given as u32 words (records such as areas, ranges, colours).
    static SimValue Words(std::uint8_t type, std::vector<std::uint32_t> words, std::string text = {});
    // A text value: code 20 carries the text as it is, codes 21 to 23 pad it
    // with zeros to their field size (32, 80, 256).
    static SimValue Text(std::uint8_t type, std::string_view value);
    // Raw bytes of any code.
    static SimValue Raw(std::uint8_t type, std::vector<std::uint8_t> bytes, std::string text = {});
};

template <typename T>
SimValue SimValue::Number(T v, std::string text)
{
    static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>, "a number");
    constexpr std::uint8_t kCodes[] = {0, 1, 3, 0, 5, 0, 0, 0, 7};
    std::uint8_t type = 0;
    if constexpr (std::is_same_v<T, float>)
        type = 9;
    else if constexpr (std::is_same_v<T, double>)
        type = 10;
    else
        type = static_cast<std::uint8_t>(kCodes[sizeof(T)] + (std::is_unsigned_v<T> ? 1 : 0));
    std::uint64_t raw = 0;
    if constexpr (std::is_floating_point_v<T>)
    {
        using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
        raw = std::bit_cast<Bits>(v);
    }
    else
    {
        raw = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(v));
    }
    std::vector<std::uint8_t> bytes(sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = static_cast<std::uint8_t>(raw >> (8 * i));
    return Raw(type, std::move(bytes), std::move(text));
}

// What the camera tells about a property.
struct SimPropertyDescriptor
{
    std::uint32_t flags = 0;
    std::uint8_t userLevel = 0;
    std::uint32_t displayIndex = 0;
    std::string name;
    std::string secondText;
    std::string group;
    std::string unit;
    std::string description;
    std::vector<SimValue> valueList; // sent as kind-1 attributes
    std::optional<SimValue> defaultValue;
    std::optional<SimValue> minimum;
    std::optional<SimValue> maximum;
    std::optional<std::uint32_t> kind5Word; // sent as a kind-5 attribute of type 6

    bool operator==(const SimPropertyDescriptor&) const = default;
};

// One property of the camera.
struct SimProperty
{
    std::uint32_t id = 0;
    std::uint8_t valueType = 0;
    SimPropertyDescriptor descriptor;
    std::uint32_t stateFlags = 0; // kPropReadOnly, kPropDisabled, ...
    SimValue value;

    bool operator==(const SimProperty&) const = default;
};

// Malformed replies the camera can push; each is complete on the wire (as
// many bytes as its messageSize) while a count, size or offset inside it
// lies. The comment names what the host must refuse.
enum class MalformedReply
{
    ListCountWraps,            // list: propertyCount 0x40000001 (4 x count wraps to 4 in 32 bits), 1 id
    AttributeSizeBelow8,       // descriptor: attributeSize 4
    AttributeSizeOverrun,      // descriptor: attributeSize 4096 beyond the message
    AttributeValueSizeInvalid, // descriptor: a u32 attribute with valueSize 2
    AttributeTextSizeOverrun,  // descriptor: valueStringSize 200 beyond its attribute
    AttributesOverrunMessage,  // descriptor: attributeCount 3, one attribute present
    TextOffsetTooSmall,        // descriptor: the name at offset 20, inside the fixed part
    TextOffsetTooLarge,        // descriptor: the name ending at 1000, beyond messageSize
    StateValueSizeInvalid,     // state: valueSize 8, 4 bytes present
    StateTextSizeOverrun,      // state: valueStringSize 50, 2 bytes present
    CommonErrorTextOverrun,    // CommonError: errorStringSize 100, 5 bytes present
    HeaderSizeTooSmall,        // a 16-byte state whose messageHeaderSize is 15
    MessageSizeBelowHeader,    // a 16-byte state whose messageHeaderSize is 32
};

// Every kind, in declaration order.
std::vector<MalformedReply> AllMalformedReplies();
// A stable name ("ListCountWraps", ...).
const char* MalformedReplyName(MalformedReply kind);

// Reply builders (reentrant).
std::vector<std::uint8_t> BuildPropertyListReply(std::span<const std::uint32_t> ids);
std::vector<std::uint8_t> BuildPropertyDescriptorReply(const SimProperty& property);
std::vector<std::uint8_t> BuildPropertyStateReply(const SimProperty& property);
// A malformed reply about `property` (its id and type where one is needed).
std::vector<std::uint8_t> BuildMalformedReply(MalformedReply kind, const SimProperty& property);

// One command the camera executed.
struct ExecutedCommand
{
    std::uint32_t command = 0;
    std::uint32_t subCommand = 0;
    std::uint32_t parameter = 0;

    bool operator==(const ExecutedCommand&) const = default;
};

// One request the camera has handled (answered, refused or ignored).
struct HandledRequest
{
    std::uint8_t type = 0;
    std::uint32_t id = 0; // the property id, 0 for requests without one
};

// What the camera did on channel 2.0, over all opens.
struct DeviceControlStats
{
    std::uint64_t setsApplied = 0;
    std::uint64_t setsRefused = 0;
    std::uint64_t restores = 0;
    std::uint64_t refreshes = 0;
    std::uint64_t shutterReleases = 0;
    std::vector<ExecutedCommand> commands;
    std::vector<HandledRequest> handled; // in order of arrival

    // Number of handled requests of `type` (for `id` when given).
    std::size_t CountHandled(std::uint8_t type, std::optional<std::uint32_t> id = std::nullopt) const;
};

class DeviceControlHandler;

// The camera's properties and its channel-2.0 behaviour. Shared by the
// handlers of every open; thread-safe. Replies and pushes are sent under the
// model's lock, so the host receives them in the order the model changed.
class DeviceControlModel
{
public:
    explicit DeviceControlModel(std::vector<SimProperty> properties = {});
    ~DeviceControlModel();
    DeviceControlModel(const DeviceControlModel&) = delete;
    DeviceControlModel& operator=(const DeviceControlModel&) = delete;

    // A camera's worth of properties covering the value types in use: numbers
    // with ranges and value lists, texts, records, read-only and disabled ones.
    static std::vector<SimProperty> DefaultProperties();

    // ---- behaviour (applies to requests after the call)

    // Answer nothing on channel 2.0 (EnableEvents and CommonErrors still go
    // to the common handling).
    void SetSilent(bool silent);
    // On GetPropList, while events are enabled, push every descriptor and
    // state before the list reply.
    void SetPushBeforeListReply(bool push);
    // Requests for these ids go unanswered, and they are left out of the
    // pushes before the list reply.
    void SetIgnoredIds(std::set<std::uint32_t> ids);
    // Called after each shutter release (ExecuteCmd 1), on the channel's
    // receive thread, outside the model's lock (for example to capture an
    // image into the camera's store). Empty: none.
    void SetShutterReleaseHook(std::function<void()> hook);

    // ---- the properties (each change is pushed while events are enabled)

    std::vector<SimProperty> Properties() const;
    std::optional<SimProperty> Find(std::uint32_t id) const;
    // Appends a property (replacing one with the same id); pushes the list.
    void AddProperty(SimProperty property);
    // Removes a property; pushes the list. False when it is unknown.
    bool RemoveProperty(std::uint32_t id);
    // Puts the properties in the order of `ids` (unnamed ones keep their
    // order behind them); pushes the list.
    void Reorder(const std::vector<std::uint32_t>& ids);
    // Changes a value (and the flags, when given); pushes the state.
    bool ChangeValue(std::uint32_t id, SimValue value,
                     std::optional<std::uint32_t> stateFlags = std::nullopt);
    // Changes the state flags; pushes the state.
    bool ChangeStateFlags(std::uint32_t id, std::uint32_t stateFlags);
    // Replaces a descriptor; pushes it.
    bool ChangeDescriptor(std::uint32_t id, SimPropertyDescriptor descriptor);

    // ---- pushes of faults and raw messages

    // Pushes a malformed reply about the first property on every open channel
    // whose host enabled events; answers the number of channels reached.
    std::size_t PushMalformed(MalformedReply kind);
    // Pushes bytes as they stand (for example an unknown message or a
    // CommonError); answers the number of channels reached.
    std::size_t PushRaw(std::span<const std::uint8_t> bytes);

    // ---- observations

    DeviceControlStats Stats() const;
    void ClearStats();
    // Waits until the predicate holds over the stats (it runs under the
    // model's lock and must not call the model); true when it does.
    bool WaitUntil(const std::function<bool(const DeviceControlStats&)>& predicate,
                   std::chrono::milliseconds timeout) const;
    // Number of open channels whose host enabled events.
    std::size_t Listeners() const;

private:
    friend class DeviceControlHandler;

    struct Subscriber
    {
        DeviceControlHandler* handler;
        ChannelContext* context;
    };

    void Attach(DeviceControlHandler& handler, ChannelContext& context);
    void Detach(DeviceControlHandler& handler);
    // Handles one device-control request; false for a type the camera does not know.
    bool HandleRequest(ChannelContext& context, const MessageHeader& header,
                       std::span<const std::uint8_t> message, bool eventsEnabled);

    // With m_mutex held.
    SimProperty* FindLocked(std::uint32_t id);
    std::vector<std::uint32_t> IdsLocked() const;
    void PushLocked(std::span<const std::uint8_t> bytes, std::size_t* reached = nullptr);
    bool SetValueLocked(ChannelContext& context, const MessageHeader& header,
                        std::span<const std::uint8_t> message);
    void RestoreLocked(SimProperty& property);
    void RecordLocked(std::uint8_t type, std::uint32_t id);

    mutable std::mutex m_mutex; // guards everything below; held while sending
    mutable std::condition_variable m_changed;
    std::vector<SimProperty> m_properties;
    bool m_silent = false;
    bool m_pushBeforeListReply = false;
    std::set<std::uint32_t> m_ignoredIds;
    std::function<void()> m_shutterHook;
    DeviceControlStats m_stats;
    std::vector<Subscriber> m_subscribers; // every open channel
};

// The handler of one open of channel 2.0, serving a shared model.
class DeviceControlHandler : public MessageChannelHandler
{
public:
    explicit DeviceControlHandler(std::shared_ptr<DeviceControlModel> model);
    ~DeviceControlHandler() override;

    void OnOpen(ChannelContext& context) override;
    void OnClose(ChannelContext& context) override;

    // A factory whose handlers all serve `model`.
    static ChannelHandlerFactory Factory(std::shared_ptr<DeviceControlModel> model);

protected:
    bool OnMessage(ChannelContext& context, const MessageHeader& header,
                   std::span<const std::uint8_t> message) override;

private:
    std::shared_ptr<DeviceControlModel> m_model;
    bool m_attached = false; // receive thread only
};

} // namespace Q7::Sim
