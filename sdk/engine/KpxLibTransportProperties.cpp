// The camera bridge's properties: reads from the camera's property cache,
// writes through its device-control agent, the values converted by
// KpxLibTypeConverter, properties above the user's level hidden unless the
// camera is in expert mode, and the SDK-side switch of that mode.

#include "KpxLibTransport.h"

#include "KpxLibTypeConverter.h"
#include "LastError.h"
#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <utility>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalError;

namespace
{

// Levels every user sees; the others only in expert mode.
bool IsOpenLevel(std::uint32_t level)
{
    return level == 0 || level == 10 || level == 11;
}

// A call on a camera that closed (or lost its link) while the call ran.
ErrorCode GoneError(const char* source)
{
    return SetLastErrorInfo(CameraNotOpen, "The camera is not open", source);
}

} // namespace

bool KpxLibTransport::IsPropertyAccessible(int cameraId, const Property& record)
{
    if (IsOpenLevel(record.descriptor.userLevel))
    {
        return true;
    }
    SingleLockGuard lock(m_cameraLock);
    const auto found = m_cameras.find(cameraId);
    return found != m_cameras.end() && found->second.expertMode;
}

ErrorCode KpxLibTransport::GetKpxProperty(int cameraId, std::uint32_t propertyId, Property& record)
{
    static constexpr const char* kSource = "KpxLibTransport::GetKpxProperty";
    std::shared_ptr<Camera> camera;
    if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
    {
        return found;
    }
    try
    {
        // A camera that closes or loses its link meanwhile empties its cache:
        // that is the camera going, not the property.
        if (!camera->GetProperty(propertyId, record))
        {
            return FailOrGone(cameraId, *camera, PropertyNotOnCamera,
                              "Could not find property with provided id", kSource);
        }
        if (!IsPropertyAccessible(cameraId, record))
        {
            return FailOrGone(cameraId, *camera, PropertyNotFound, "Could not find property with provided id",
                              kSource);
        }
        return Success;
    }
    catch (const ModuleError& error)
    {
        return IsGone(cameraId, *camera) ? GoneError(kSource)
                                         : HandleModuleError(error, "Error while getting Property");
    }
    catch (const UniversalError& error)
    {
        return IsGone(cameraId, *camera)
                   ? GoneError(kSource)
                   : HandleUniversalError(error, "Internal error while getting Property");
    }
}

ErrorCode KpxLibTransport::GetPropertyValue(int cameraId, std::uint32_t propertyId,
                                            Q7::Tavrin::PropertyValue& value)
{
    if (propertyId == kExpertModeProperty)
    {
        return GetSdkCameraProperty(cameraId, propertyId, value);
    }
    Property record;
    if (const ErrorCode found = GetKpxProperty(cameraId, propertyId, record); found != Success)
    {
        return found;
    }
    // A fresh value: nothing of what value held before (another type's member,
    // an earlier display text) survives into this one.
    Q7::Tavrin::PropertyValue converted;
    try
    {
        const ErrorCode result = KpxLibTypeConverter::FromKpxValue(record.state.value, converted, false);
        if (result != Success)
        {
            return result;
        }
    }
    catch (const ModuleError& error)
    {
        return HandleModuleError(error, "Error while getting Property");
    }
    value = std::move(converted);
    return Success;
}

ErrorCode KpxLibTransport::GetSdkCameraProperty(int cameraId, std::uint32_t propertyId,
                                                Q7::Tavrin::PropertyValue& value)
{
    static constexpr const char* kSource = "KpxLibTransport::GetSdkCameraProperty";
    if (propertyId != kExpertModeProperty)
    {
        return SetLastErrorInfo(PropertyNotFound, "Property Id not found", kSource);
    }
    {
        SingleLockGuard lock(m_cameraLock);
        if (m_cameras.find(cameraId) == m_cameras.end())
        {
            // As its write: a switch of a camera that is not open does not exist.
            return SetLastErrorInfo(CameraNotOpen, "The camera is not open", kSource);
        }
    }
    Q7::Tavrin::PropertyValue off;
    off.type = PropertyType::UInt32;
    value = std::move(off);
    return Success;
}

ErrorCode KpxLibTransport::SetSdkCameraProperty(int cameraId, std::uint32_t propertyId,
                                                const Q7::Tavrin::PropertyValue& value)
{
    static constexpr const char* kSource = "KpxLibTransport::SetSdkCameraProperty";
    SingleLockGuard lock(m_cameraLock);
    const auto found = m_cameras.find(cameraId);
    if (found == m_cameras.end())
    {
        return SetLastErrorInfo(CameraNotOpen, "The camera is not open", kSource);
    }
    if (propertyId != kExpertModeProperty)
    {
        SdkLog(6, "KpxLibTransport: Unhandled SDK-Camera property given\n");
        return SetLastErrorInfo(PropertyNotFound, "", kSource);
    }
    switch (value.type)
    {
    case PropertyType::UInt32:
        found->second.expertMode = value.IntegerAsU32() > 0;
        return Success;
    case PropertyType::UInt64:
        found->second.expertMode = value.IntegerAsU64() > 0;
        return Success;
    default:
        SdkLog(6, "KpxLibTransport: Incorrect property-type\n");
        return SetLastErrorInfo(PropertyNotFound, "", kSource);
    }
}

ErrorCode KpxLibTransport::GetProperty(int cameraId, std::uint32_t propertyId,
                                       PropertySpecification& specification)
{
    static constexpr const char* kSource = "KpxLibTransport::GetProperty";
    Property record;
    if (const ErrorCode found = GetKpxProperty(cameraId, propertyId, record); found != Success)
    {
        return found;
    }
    const auto& descriptor = record.descriptor;
    PropertySpecification fresh;
    // Whatever was converted is handed over, also after a failure.
    const auto handOver = [&](ErrorCode code)
    {
        specification = std::move(fresh);
        return code;
    };
    try
    {
        fresh.id = record.id;
        fresh.readOnly = (record.state.flags & 0x2) != 0;
        fresh.enabled = (record.state.flags & 0x4) == 0;
        fresh.userLevel = KpxLibTypeConverter::UserLevel(descriptor.userLevel);
        fresh.selectOnly = (descriptor.flags & 0x1) != 0;
        fresh.displayAsHex = (descriptor.flags & 0x2) != 0;
        fresh.refreshRequired = (descriptor.flags & 0x4) != 0;
        fresh.displayIndex = descriptor.displayIndex;
        fresh.name = KpxLibTypeConverter::FromKpxString(descriptor.name);
        fresh.group = KpxLibTypeConverter::FromKpxString(descriptor.group);
        fresh.unit = KpxLibTypeConverter::FromKpxString(descriptor.unit);
        fresh.description = KpxLibTypeConverter::FromKpxString(descriptor.description);

        ErrorCode result = KpxLibTypeConverter::FromKpxValue(record.state.value, fresh.value, false);
        if (result != Success)
        {
            SdkLog(1, "Failed to convert (current) propertyValue for property: %s", fresh.name.c_str());
            return handOver(
                SetLastErrorInfo(result, "Failed to convert (current) value field of PropertySpec", kSource));
        }
        result = KpxLibTypeConverter::FromKpxValue(descriptor.defaultValue, fresh.defaultValue, true);
        if (result != Success)
        {
            SdkLog(1, "Failed to convert (default) propertyValue for property: %s", fresh.name.c_str());
            return handOver(
                SetLastErrorInfo(result, "Failed to convert default value field of PropertySpec", kSource));
        }
        result = KpxLibTypeConverter::FromKpxRange(descriptor.minimum, descriptor.maximum, fresh.range);
        if (result != Success)
        {
            SdkLog(1, "Failed to convert range (min,max) values for property: %s", fresh.name.c_str());
            return handOver(SetLastErrorInfo(
                result, "Failed to convert range value (min,max) field of PropertySpec", kSource));
        }
        fresh.valueList.reserve(descriptor.valueList.size());
        for (const auto& entry : descriptor.valueList)
        {
            Q7::Tavrin::PropertyValue listed;
            result = KpxLibTypeConverter::FromKpxValue(entry, listed, false);
            if (result != Success)
            {
                SdkLog(1, "Failed to convert a KPX selection list value for %s property", fresh.name.c_str());
                return handOver(SetLastErrorInfo(
                    result, "Failed to convert a value in the PropertySpec selection list", kSource));
            }
            fresh.valueList.push_back(std::move(listed));
        }
    }
    catch (const ModuleError& error)
    {
        return handOver(HandleModuleError(error, "Error while getting Property"));
    }
    return handOver(Success);
}

ErrorCode KpxLibTransport::GetPropertyIds(int cameraId, std::vector<std::uint32_t>& ids)
{
    static constexpr const char* kSource = "KpxLibTransport::GetPropertyIds";
    std::shared_ptr<Camera> camera;
    if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
    {
        return found;
    }
    std::vector<std::uint32_t> accessible;
    try
    {
        const std::list<Property> properties = camera->GetPropertyList();
        accessible.reserve(properties.size());
        for (const Property& property : properties)
        {
            if (property.id != kExpertModeProperty && IsPropertyAccessible(cameraId, property))
            {
                accessible.push_back(property.id);
            }
        }
    }
    catch (const ModuleError& error)
    {
        return IsGone(cameraId, *camera)
                   ? GoneError(kSource)
                   : HandleModuleError(error, "Error while while getting property list");
    }
    catch (const UniversalError& error)
    {
        return IsGone(cameraId, *camera)
                   ? GoneError(kSource)
                   : HandleUniversalError(error, "Internal error while getting property list");
    }
    // A list read while the camera closed may be cut short or empty: not the
    // camera's list.
    if (IsGone(cameraId, *camera))
    {
        return GoneError(kSource);
    }
    ids = std::move(accessible);
    return Success;
}

ErrorCode KpxLibTransport::SetProperty(int cameraId, std::uint32_t propertyId,
                                       const Q7::Tavrin::PropertyValue& value)
{
    static constexpr const char* kSource = "KpxLibTransport::SetProperty";
    std::shared_ptr<Camera> camera;
    if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
    {
        return found;
    }
    if (propertyId == kExpertModeProperty)
    {
        return SetSdkCameraProperty(cameraId, propertyId, value);
    }
    std::uint32_t type = 0;
    try
    {
        Property record;
        if (!camera->GetProperty(propertyId, record))
        {
            return FailOrGone(cameraId, *camera, PropertyNotFound, "Could not find the provided property Id",
                              kSource);
        }
        if (!IsPropertyAccessible(cameraId, record))
        {
            return FailOrGone(cameraId, *camera, PropertyNotFound, "Could not find the provided property Id",
                              kSource);
        }
        type = camera->GetPropertyType(propertyId);
    }
    catch (const ModuleError& error)
    {
        return IsGone(cameraId, *camera)
                   ? GoneError(kSource)
                   : HandleModuleError(error, "Error while checking the property type value");
    }
    catch (const UniversalError& error)
    {
        return IsGone(cameraId, *camera)
                   ? GoneError(kSource)
                   : HandleUniversalError(error, "Internal error while checking the property type value");
    }
    if (type == 0)
    {
        SdkLog(2, "Cannot find the correct KPX type for propertyId: %d", static_cast<int>(propertyId));
    }
    Q7::KPX::Value kpxValue;
    if (const ErrorCode converted = KpxLibTypeConverter::ToKpxValue(value, kpxValue, type);
        converted != Success)
    {
        // The converter's reason (a value that does not fit, a text too long)
        // stays in the message.
        std::string message = "Failed to convert the new property value into internal representation";
        if (const char* reason = GetErrorMessage(); reason != nullptr && *reason != '\0')
        {
            message = message + ": " + reason;
        }
        return SetLastErrorInfo(converted, message.c_str(), kSource);
    }
    try
    {
        if (!camera->SetPropertyValue(propertyId, kpxValue))
        {
            // The agent refuses every value once the camera closes.
            return FailOrGone(cameraId, *camera, PropertySetFailed,
                              "Property was not set because it might not exist, is read only, disabled, etc.",
                              kSource);
        }
        return Success;
    }
    catch (const ModuleError& error)
    {
        return IsGone(cameraId, *camera) ? GoneError(kSource)
                                         : HandleModuleError(error, "Error while setting property");
    }
    catch (const UniversalError& error)
    {
        return IsGone(cameraId, *camera)
                   ? GoneError(kSource)
                   : HandleUniversalError(error, "Internal error while setting property");
    }
}

std::vector<std::uint32_t> KpxLibTransport::PropertyFilter(int cameraId, const std::vector<unsigned int>& ids,
                                                           bool keepMissing)
{
    std::vector<std::uint32_t> kept;
    // The camera lock only: a look-up through GetCamera would consume the
    // camera's pending error here, on a library thread, where the application
    // never sees it.
    const std::shared_ptr<Camera> camera = FindCamera(cameraId);
    if (!camera)
    {
        return kept;
    }
    kept.reserve(ids.size());
    for (const std::uint32_t id : ids)
    {
        if (id == kExpertModeProperty)
        {
            continue;
        }
        Property record;
        if (!camera->GetProperty(id, record))
        {
            if (keepMissing)
            {
                // Gone from the camera: its level can no longer be read.
                kept.push_back(id);
            }
            else
            {
                SdkLog(2, "PropertyFilter: Failed to get property id: %d, for camera %d",
                       static_cast<int>(id), cameraId);
            }
            continue;
        }
        if (IsPropertyAccessible(cameraId, record))
        {
            kept.push_back(id);
        }
    }
    return kept;
}

} // namespace Q7::TavrinC
