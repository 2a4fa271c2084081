#include "Agents/DeviceControl/KPXDeviceControlCache.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

namespace Q7::KPX::DeviceControl
{
namespace
{

using Universal::LogErrorText;
using Universal::LogWarning;

bool IsKnownUserLevel(std::uint32_t level) noexcept
{
    return level == 0 || level == 10 || level == 11 || level == 20;
}

// The value type code of a u32 (the only type a kind-5 attribute may have).
constexpr std::uint32_t kValueType_UInt32 = 6;

} // namespace

Universal::UniversalString WideLogText(const std::string& text)
{
    return Universal::DecodeText(text.c_str(), Universal::kEncoding_SystemAnsi);
}

bool PrepareDescriptor(PropertyDescriptor& descriptor)
{
    const Universal::UniversalString name = WideLogText(descriptor.name);
    if (descriptor.id == kPropertyId_Undefined || descriptor.id == kPropertyId_All)
    {
        LogErrorText(L"KPX ch2 property descriptor with invalid id = %u. [%ls]", descriptor.id, name.c_str());
        return false;
    }
    if (descriptor.valueType == 0)
    {
        LogErrorText(L"KPX ch2 property descriptor (id=%u) has undefined type. [%ls]", descriptor.id,
                     name.c_str());
        return false;
    }
    if (descriptor.flags > kDescriptorFlag_AllKnown)
        LogWarning(L"KPX ch2 property descriptor (id=%u) has unknown flags (0x%X). [%ls]", descriptor.id,
                   descriptor.flags, name.c_str());
    if (!IsKnownUserLevel(descriptor.userLevel))
        LogWarning(L"KPX ch2 property descriptor (id=%u) has unknown user level (%u). [%ls]", descriptor.id,
                   descriptor.userLevel, name.c_str());
    if (descriptor.displayIndex == 0)
        descriptor.displayIndex = descriptor.id;

    for (std::size_t index = 0; index < descriptor.attributes.size(); ++index)
    {
        const PropertyAttribute& attribute = descriptor.attributes[index];
        const bool typeMatches = attribute.value.value.GetType() == descriptor.valueType;
        ValueWithText* target = nullptr;
        switch (attribute.kind)
        {
        case kAttribute_ValueListItem:
            if (typeMatches)
            {
                descriptor.valueList.push_back(attribute.value);
                continue;
            }
            break;
        case kAttribute_Default:
            target = &descriptor.defaultValue;
            break;
        case kAttribute_Minimum:
            target = &descriptor.minimum;
            break;
        case kAttribute_Maximum:
            target = &descriptor.maximum;
            break;
        case kAttribute_Kind5Word:
            if (attribute.value.value.GetType() == kValueType_UInt32 && descriptor.kind5Word == 0)
            {
                attribute.value.value.GetUInt32(descriptor.kind5Word);
                continue;
            }
            break;
        default:
            break;
        }
        // The first usable attribute of each kind fills its target; a target
        // whose value carries the flag byte may be replaced.
        if (target != nullptr && typeMatches &&
            (target->value.GetType() == 0 || GetValueFlagByte(target->value) != 0))
        {
            *target = attribute.value;
            continue;
        }
        LogWarning(L"KPX ch2 property descriptor (id=%u) ignoring attribute %lu (type=%u). [%ls]",
                   descriptor.id, static_cast<unsigned long>(index), attribute.kind, name.c_str());
    }
    return true;
}

bool PrepareState(PropertyState& state, const std::string& name)
{
    const Universal::UniversalString wideName = WideLogText(name);
    if (state.id == kPropertyId_Undefined || state.id == kPropertyId_All)
    {
        LogErrorText(L"KPX ch2 property state with invalid id = %u. [%ls]", state.id, wideName.c_str());
        return false;
    }
    if (state.valueType == 0)
    {
        LogErrorText(L"KPX ch2 property state (id=%u) has undefined type. [%ls]", state.id, wideName.c_str());
        return false;
    }
    if ((state.flags & ~std::uint32_t{kStateFlag_AllKnown}) != 0)
        LogWarning(L"KPX ch2 property state (id=%u) has unknown flags (0x%X). [%ls]", state.id, state.flags,
                   wideName.c_str());
    if ((state.flags & kStateFlag_Flagged) != 0)
        state.value.value.SetSecondWord((state.value.value.GetSecondWord() & ~0xFFu) | 1u);
    return true;
}

// ---------------------------------------------------------------------------

PropertyCache::PropertyCache()
{
    m_allDescriptors.Reset();
    m_notifyEvent.Reset();
}

PropertyCache::~PropertyCache() = default;

void PropertyCache::Reset()
{
    {
        Platform::ScopedLock lock(m_cacheLock);
        m_properties.clear();
        m_ids.clear();
        m_allDescriptors.Reset();
    }
    Platform::ScopedLock lock(m_collectLock);
    m_collected.clear();
}

void PropertyCache::SetListPending()
{
    Platform::ScopedLock lock(m_cacheLock);
    m_listPending = true;
}

std::vector<std::uint32_t> PropertyCache::MergePropertyList(std::vector<std::uint32_t> ids)
{
    if (std::erase(ids, kPropertyId_Undefined) > 0)
        LogWarning(L"KPX ch2 ignoring undefined ids in property list.");

    // Later copies of an id go, with one warning per id, in list order.
    std::unordered_map<std::uint32_t, unsigned> copies;
    for (const std::uint32_t id : ids)
        ++copies[id];
    std::unordered_set<std::uint32_t> listed;
    std::vector<std::uint32_t> unique;
    unique.reserve(copies.size());
    for (const std::uint32_t id : ids)
    {
        if (!listed.insert(id).second)
            continue;
        unique.push_back(id);
        if (copies[id] > 1)
            LogWarning(L"KPX ch2 ignoring duplicate id (%u) in property list.", id);
    }

    std::vector<std::uint32_t> removed;
    {
        Platform::ScopedLock lock(m_cacheLock);
        for (auto it = m_properties.begin(); it != m_properties.end();)
        {
            if (listed.contains(it->id))
            {
                ++it;
                continue;
            }
            if (it->IsComplete())
                removed.push_back(it->id);
            m_ids.erase(it->id);
            it = m_properties.erase(it);
        }
        // A property gathered for the "added" batch was never announced: it
        // leaves the batch, and no "removed" is notified for it.
        if (!removed.empty())
        {
            Platform::ScopedLock collectLock(m_collectLock);
            std::erase_if(removed,
                          [&](std::uint32_t id)
                          {
                              const auto gathered = std::find(m_collected.begin(), m_collected.end(), id);
                              if (gathered == m_collected.end())
                                  return false;
                              m_collected.erase(gathered);
                              return true;
                          });
        }

        // Everything in front of `position` is in list order already; every
        // cached property behind it is named further on in the list.
        auto position = m_properties.begin();
        for (const std::uint32_t id : unique)
        {
            const auto found = m_ids.find(id);
            if (found == m_ids.end())
            {
                m_allDescriptors.Reset();
                Property property;
                property.id = id;
                const auto inserted = m_properties.insert(position, std::move(property));
                m_ids.emplace(id, Entry{inserted, false});
            }
            else if (found->second.property == position)
            {
                Q7_ASSERT(position != m_properties.end());
                ++position;
            }
            else
            {
                m_properties.splice(position, m_properties, found->second.property);
            }
        }
    }
    if (!removed.empty())
        QueuePropertyNotify(kPropertyNotify_Removed, std::move(removed));

    // The reply is merged: the flag goes first, so that a list whose properties
    // were all complete already leaves the cache complete.
    Platform::ScopedLock lock(m_cacheLock);
    m_listPending = false;
    UpdateAllDescriptorsEvent();
    std::vector<std::uint32_t> incomplete;
    FindIncompleteLocked(&incomplete);
    return incomplete;
}

void PropertyCache::MergePropertyDescriptor(PropertyDescriptor descriptor)
{
    if (!PrepareDescriptor(descriptor))
        return;
    Platform::ScopedLock lock(m_cacheLock);
    const auto found = m_ids.find(descriptor.id);
    if (found == m_ids.end())
    {
        Property property;
        property.id = descriptor.id;
        property.descriptor = std::move(descriptor);
        AppendProperty(std::move(property));
        return;
    }
    Property& property = *found->second.property;
    Q7_ASSERT(property.id == descriptor.id);
    if (!property.IsComplete())
    {
        property.descriptor = std::move(descriptor);
        CheckDescriptorStateType(property);
        return;
    }
    if (descriptor.valueType != property.valueType)
    {
        LogErrorText(L"KPX ch2 property descriptor (id=%u) type mismatch. [%ls]", descriptor.id,
                     WideLogText(descriptor.name).c_str());
        return;
    }
    if (descriptor == property.descriptor)
        return;
    property.descriptor = std::move(descriptor);
    QueuePropertyNotify(kPropertyNotify_DescriptorChanged, {property.id});
}

void PropertyCache::MergePropertyState(PropertyState state)
{
    if (!PrepareState(state, GetPropertyName(state.id)))
        return;
    Platform::ScopedLock lock(m_cacheLock);
    const auto found = m_ids.find(state.id);
    if (found == m_ids.end())
    {
        Property property;
        property.id = state.id;
        property.state = std::move(state);
        AppendProperty(std::move(property));
        return;
    }
    const bool notifyNextState = std::exchange(found->second.notifyNextState, false);
    Property& property = *found->second.property;
    Q7_ASSERT(property.id == state.id);
    if (!property.IsComplete())
    {
        property.state = std::move(state);
        CheckDescriptorStateType(property);
        return;
    }
    if (state.valueType != property.valueType)
    {
        LogErrorText(L"KPX ch2 property state (id=%u) type mismatch. [%ls]", state.id,
                     WideLogText(property.descriptor.name).c_str());
        return;
    }
    if (!notifyNextState && state == property.state)
        return;
    property.state = std::move(state);
    QueuePropertyNotify(kPropertyNotify_StateChanged, {property.id});
}

bool PropertyCache::FindIncompleteProperties(std::vector<std::uint32_t>* ids) const
{
    Platform::ScopedLock lock(m_cacheLock);
    return FindIncompleteLocked(ids);
}

void PropertyCache::SetCollectAddedIds(bool on)
{
    Platform::ScopedLock lock(m_collectLock);
    if (m_collect == on)
        return;
    m_collect = on;
    if (!on && !m_collected.empty())
        QueuePropertyNotify(kPropertyNotify_Added, std::exchange(m_collected, {}));
}

bool PropertyCache::PopPropertyNotify(PropertyNotification& notification, const WaitObjectList& waitList)
{
    // The wait list first, so that a stop wins over a notification that
    // arrives at the same moment.
    std::vector<Platform::BaseWaitObject*> objects(waitList.begin(), waitList.end());
    objects.push_back(&m_notifyEvent);
    const auto stopCount = static_cast<std::uint32_t>(waitList.size());
    for (;;)
    {
        {
            Platform::ScopedLock lock(m_notifyLock);
            if (!m_notifications.empty())
            {
                notification = std::move(m_notifications.front());
                m_notifications.pop_front();
                if (m_notifications.empty())
                    m_notifyEvent.Reset();
                return true;
            }
        }
        std::uint32_t index = Platform::kNoSignalledIndex;
        Platform::WaitForObjects(&index, static_cast<std::uint32_t>(objects.size()), objects.data(), false,
                                 Platform::kInfinite);
        if (index < stopCount)
            return false;
    }
}

void PropertyCache::DropNotifications()
{
    Platform::ScopedLock lock(m_notifyLock);
    m_notifications.clear();
    m_notifyEvent.Reset();
}

std::size_t PropertyCache::GetNotifyCount() const
{
    Platform::ScopedLock lock(m_notifyLock);
    return m_notifications.size();
}

bool PropertyCache::GetProperty(std::uint32_t id, Property& property) const
{
    Platform::ScopedLock lock(m_cacheLock);
    const Property* found = FindComplete(id);
    if (found == nullptr)
        return false;
    property = *found;
    return true;
}

bool PropertyCache::GetPropertyDescriptor(std::uint32_t id, PropertyDescriptor& descriptor) const
{
    Platform::ScopedLock lock(m_cacheLock);
    const Property* found = FindComplete(id);
    if (found == nullptr)
        return false;
    descriptor = found->descriptor;
    return true;
}

bool PropertyCache::GetPropertyState(std::uint32_t id, PropertyState& state) const
{
    Platform::ScopedLock lock(m_cacheLock);
    const Property* found = FindComplete(id);
    if (found == nullptr)
        return false;
    state = found->state;
    return true;
}

std::vector<std::uint32_t> PropertyCache::GetPropertyIds() const
{
    Platform::ScopedLock lock(m_cacheLock);
    std::vector<std::uint32_t> ids;
    for (const Property& property : m_properties)
    {
        if (property.IsComplete())
            ids.push_back(property.id);
    }
    return ids;
}

std::list<Property> PropertyCache::GetPropertyList() const
{
    Platform::ScopedLock lock(m_cacheLock);
    std::list<Property> properties;
    for (const Property& property : m_properties)
    {
        if (property.IsComplete())
            properties.push_back(property);
    }
    return properties;
}

std::uint32_t PropertyCache::GetPropertyType(std::uint32_t id) const
{
    Platform::ScopedLock lock(m_cacheLock);
    const Property* found = FindComplete(id);
    return found != nullptr ? found->valueType : 0;
}

bool PropertyCache::HasProperty(std::uint32_t id) const
{
    Platform::ScopedLock lock(m_cacheLock);
    return FindComplete(id) != nullptr;
}

std::string PropertyCache::GetPropertyName(std::uint32_t id) const
{
    Platform::ScopedLock lock(m_cacheLock);
    return NameLocked(id);
}

bool PropertyCache::PrepareSet(std::uint32_t id, std::uint32_t valueType,
                               const std::function<void()>& queueRequests)
{
    Platform::ScopedLock lock(m_cacheLock);
    const auto found = m_ids.find(id);
    if (found == m_ids.end() || !found->second.property->IsComplete())
        return false;
    const Property& property = *found->second.property;
    if (valueType != property.valueType)
        throw Universal::ModuleError(Universal::kError_InvalidDataType, L"KPX device control set property.");
    if ((property.state.flags & kStateFlag_Disabled) != 0)
    {
        LogWarning(L"KPX ch2 Ignoring attempt to set disabled property (id=%u)", id);
        return false;
    }
    if ((property.state.flags & kStateFlag_ReadOnly) != 0)
    {
        LogWarning(L"KPX ch2 Ignoring attempt to set read-only property (id=%u)", id);
        return false;
    }
    found->second.notifyNextState = true;
    queueRequests();
    return true;
}

// ---------------------------------------------------------------------------

const Property* PropertyCache::FindComplete(std::uint32_t id) const
{
    const auto found = m_ids.find(id);
    if (found == m_ids.end() || !found->second.property->IsComplete())
        return nullptr;
    return &*found->second.property;
}

std::string PropertyCache::NameLocked(std::uint32_t id) const
{
    const auto found = m_ids.find(id);
    return found != m_ids.end() ? found->second.property->descriptor.name : std::string();
}

void PropertyCache::AppendProperty(Property property)
{
    m_allDescriptors.Reset();
    const std::uint32_t id = property.id;
    const auto appended = m_properties.insert(m_properties.end(), std::move(property));
    m_ids.emplace(id, Entry{appended, false});
}

void PropertyCache::CheckDescriptorStateType(Property& property)
{
    if (property.IsComplete() || property.state.valueType == 0 || property.descriptor.valueType == 0)
        return;
    if (property.state.valueType != property.descriptor.valueType)
    {
        LogErrorText(L"KPX ch2 property (id=%u) state/descriptor type mismatch (%u!=%u).", property.id,
                     property.state.valueType, property.descriptor.valueType);
        return;
    }
    property.valueType = property.state.valueType;
    PropertyComplete(property.id);
    UpdateAllDescriptorsEvent();
}

void PropertyCache::UpdateAllDescriptorsEvent()
{
    if (FindIncompleteLocked(nullptr))
        m_allDescriptors.Reset();
    else
        m_allDescriptors.Set();
}

bool PropertyCache::FindIncompleteLocked(std::vector<std::uint32_t>* ids) const
{
    if (ids != nullptr)
        ids->clear();
    if (m_properties.empty())
        return true;
    bool incomplete = false;
    for (const Property& property : m_properties)
    {
        if (property.IsComplete())
            continue;
        incomplete = true;
        if (ids == nullptr)
            break;
        ids->push_back(property.id);
    }
    return incomplete || m_listPending;
}

void PropertyCache::PropertyComplete(std::uint32_t id)
{
    Platform::ScopedLock lock(m_collectLock);
    if (m_collect)
        m_collected.push_back(id);
    else
        QueuePropertyNotify(kPropertyNotify_Added, {id});
}

void PropertyCache::QueuePropertyNotify(EnumPropertyNotify kind, std::vector<std::uint32_t> ids)
{
    Platform::ScopedLock lock(m_notifyLock);
    m_notifications.push_back({kind, std::move(ids)});
    m_notifyEvent.Set();
}

} // namespace Q7::KPX::DeviceControl
