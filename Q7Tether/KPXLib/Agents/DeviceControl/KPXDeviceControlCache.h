// The property cache of the device-control agent: the camera's properties in
// the order of its last property list, kept current by merging the list,
// descriptor and state replies; the rule that makes a property complete; the
// all-descriptors event that the agent's Start waits for; and the queue of
// property notifications (added, removed, descriptor changed, state changed)
// with the batching of "added" during Start.
//
// The cache has no thread and does no I/O: the agent's receive thread merges
// what it read, application threads read through the getters, the agent's
// notify thread pops notifications. Every member is thread-safe.
//
// Lock order: the cache lock, then the collect lock, then the notification
// queue lock; a merge queues notifications under the cache lock (the list
// merge after it), so the queue holds them in the order the merges made them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "Agents/DeviceControl/KPXDeviceControlRecords.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalString.h"
#include "Transport/KPXTransport.h"

namespace Q7::KPX::DeviceControl
{

/// One queued notification: what happened to which properties.
struct PropertyNotification
{
    EnumPropertyNotify kind = kPropertyNotify_Added;
    std::vector<std::uint32_t> ids;

    friend bool operator==(const PropertyNotification&, const PropertyNotification&) = default;
};

/// A camera text (narrow, any bytes) for a wide log format (%ls): bytes that
/// are no valid UTF-8 become U+FFFD instead of spoiling the line. Reentrant.
Universal::UniversalString WideLogText(const std::string& text);

/// The checks and completions of a received descriptor before it is merged:
/// an id of 0 or 0xFFFFFFFF or a type of 0 log an error ("KPX ch2 property
/// descriptor with invalid id = %u. [%hs]", "... (id=%u) has undefined type.
/// [%hs]") and answer false (the descriptor is dropped); unknown flags and user
/// levels log warnings; a display index of 0 becomes the id; the attributes
/// fill the value list (kind 1), the default, minimum and maximum (kinds 2 to
/// 4, the first usable one each) and the kind-5 word (kind 5 of type 6), every
/// other attribute logging the warning "... ignoring attribute %lu (type=%u).
/// [%hs]". Reentrant.
bool PrepareDescriptor(PropertyDescriptor& descriptor);

/// The checks of a received state before it is merged (`name`: the cached name,
/// for the log lines): invalid ids and a type of 0 log an error and answer
/// false; unknown flag bits log a warning; flag bit 0 sets the value's flag
/// byte. Reentrant.
bool PrepareState(PropertyState& state, const std::string& name);

class PropertyCache
{
public:
    /// An empty cache with a property-list reply pending and no batching.
    PropertyCache();
    ~PropertyCache();

    PropertyCache(const PropertyCache&) = delete;
    PropertyCache& operator=(const PropertyCache&) = delete;

    /// The channel reset: empties the list and the id map, clears the
    /// all-descriptors event and drops the ids gathered for a batch, without
    /// any notification. Queued notifications stay.
    void Reset();

    /// Marks a property-list reply as pending (a GetPropList was queued).
    void SetListPending();

    /// Merges a property list: drops ids 0 ("KPX ch2 ignoring undefined ids in
    /// property list.") and later copies of an id ("KPX ch2 ignoring duplicate
    /// id (%u) in property list.", once per id); erases the properties the list
    /// no longer names (one "removed" notification with those that were
    /// complete and already announced; one still gathered for the "added"
    /// batch leaves the batch instead); puts the cache into the list's order, adding an empty record
    /// for every new id; then clears the list-pending flag and re-evaluates
    /// the all-descriptors event. Answers the ids of the incomplete properties
    /// in list order, whose descriptor and state are to be requested.
    std::vector<std::uint32_t> MergePropertyList(std::vector<std::uint32_t> ids);

    /// Merges a received descriptor (see PrepareDescriptor): a complete
    /// property with another descriptor stores it and notifies "descriptor
    /// changed"; one of another type is refused ("KPX ch2 property descriptor
    /// (id=%u) type mismatch. [%hs]"); an incomplete one stores it and may
    /// become complete; an unknown id is appended at the end of the list.
    void MergePropertyDescriptor(PropertyDescriptor descriptor);

    /// Merges a received state (see PrepareState): a complete property notifies
    /// "state changed" when the state differs or a set marked it; one of another
    /// type is refused ("KPX ch2 property state (id=%u) type mismatch. [%hs]");
    /// an incomplete one stores it and may become complete; an unknown id is
    /// appended at the end of the list.
    void MergePropertyState(PropertyState state);

    /// Whether the cache is incomplete: an empty list, a property without a
    /// type, or a property-list reply still pending. With `ids`, fills them
    /// (emptied first) with every property without a type, in list order.
    bool FindIncompleteProperties(std::vector<std::uint32_t>* ids) const;

    /// Switches the batching of "added" notifications: while on, properties
    /// that become complete are gathered; switching it off queues them as one
    /// notification (none when nothing was gathered).
    void SetCollectAddedIds(bool on);

    /// Set exactly while the cache is complete (for waiting).
    [[nodiscard]] Platform::EventStatus& GetAllDescriptorsEvent() noexcept { return m_allDescriptors; }

    /// Takes the oldest notification, waiting without limit while none is
    /// queued. Answers false, with `notification` untouched, when an object of
    /// `waitList` is signalled first. Blocks.
    bool PopPropertyNotify(PropertyNotification& notification, const WaitObjectList& waitList);

    /// Drops every queued notification (the agent stops: what its receiver has
    /// not been given by then belongs to the run that ends).
    void DropNotifications();

    /// Number of queued notifications.
    [[nodiscard]] std::size_t GetNotifyCount() const;

    // Getters: an incomplete property counts as absent. Copies are made under
    // the cache lock.
    bool GetProperty(std::uint32_t id, Property& property) const;
    bool GetPropertyDescriptor(std::uint32_t id, PropertyDescriptor& descriptor) const;
    bool GetPropertyState(std::uint32_t id, PropertyState& state) const;
    /// The ids of the complete properties, in list order.
    [[nodiscard]] std::vector<std::uint32_t> GetPropertyIds() const;
    /// Copies of the complete properties, in list order.
    [[nodiscard]] std::list<Property> GetPropertyList() const;
    /// The value type of a complete property; 0 when unknown or incomplete.
    [[nodiscard]] std::uint32_t GetPropertyType(std::uint32_t id) const;
    /// The id is cached and complete.
    [[nodiscard]] bool HasProperty(std::uint32_t id) const;
    /// The cached descriptor's name (of any cached property); empty for an
    /// unknown id. For log lines.
    [[nodiscard]] std::string GetPropertyName(std::uint32_t id) const;

    /// The cache's part of a set, under the cache lock: false for an unknown
    /// or incomplete id; ModuleError 0x650002 "KPX device control set
    /// property." (plain) when `valueType` is not the property's type; false
    /// with the warning "KPX ch2 Ignoring attempt to set disabled property
    /// (id=%u)" or "... read-only property (id=%u)" by the state's flags.
    /// Otherwise marks the property so that its next state notifies even when
    /// unchanged, runs `queueRequests` (still under the lock) and answers true.
    bool PrepareSet(std::uint32_t id, std::uint32_t valueType, const std::function<void()>& queueRequests);

private:
    struct Entry
    {
        std::list<Property>::iterator property;
        bool notifyNextState = false; // set by PrepareSet, read and cleared by the next state merge
    };

    // All with the cache lock held.
    const Property* FindComplete(std::uint32_t id) const;
    std::string NameLocked(std::uint32_t id) const;
    void AppendProperty(Property property);
    void CheckDescriptorStateType(Property& property);
    void UpdateAllDescriptorsEvent();
    bool FindIncompleteLocked(std::vector<std::uint32_t>* ids) const;

    void PropertyComplete(std::uint32_t id);
    void QueuePropertyNotify(EnumPropertyNotify kind, std::vector<std::uint32_t> ids);

    // Guards m_properties, m_ids and m_listPending, and keeps m_allDescriptors
    // in step with them.
    mutable Platform::Mutex_Posix m_cacheLock;
    std::list<Property> m_properties; // in the order of the camera's last list
    std::map<std::uint32_t, Entry> m_ids;
    Platform::EventCondition_Posix m_allDescriptors;
    bool m_listPending = true;

    Platform::Mutex_Posix m_collectLock; // guards m_collect and m_collected
    bool m_collect = false;
    std::vector<std::uint32_t> m_collected;

    // Guards m_notifications and keeps m_notifyEvent set exactly while it is
    // not empty.
    mutable Platform::Mutex_Posix m_notifyLock;
    Platform::EventCondition_Posix m_notifyEvent;
    std::deque<PropertyNotification> m_notifications;
};

} // namespace Q7::KPX::DeviceControl
