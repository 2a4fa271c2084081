// The flat interface's properties: ids, specifications with their group path,
// values, and the checks a value passes before it is sent.

#include "FlatFunction.h"
#include "KpxLibTransport.h"
#include "SdkLog.h"

#include <TavrinCpp/TavrinC.h>

#include <cmath>
#include <string>
#include <string_view>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;

namespace
{

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Word characters, white space, '-' and '/': what a group level's name holds.
bool IsGroupNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_' || c == ' ' ||
           c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '-' || c == '/';
}

constexpr double kSnapDistance = 1e-6;

} // namespace

std::string RewritePropertyGroup(std::string_view group)
{
    // Levels are written "{<digits>}<name>", each optionally ended by a
    // backslash; anything else between them is skipped. One pass, left to
    // right, without recursion: camera texts run up to 65,535 bytes.
    std::string path;
    bool first = true;
    std::size_t position = 0;
    while (position < group.size())
    {
        if (group[position] == '{')
        {
            std::size_t digits = position + 1;
            while (digits < group.size() && IsDigit(group[digits]))
            {
                ++digits;
            }
            if (digits > position + 1 && digits < group.size() && group[digits] == '}')
            {
                const std::size_t nameStart = digits + 1;
                std::size_t nameEnd = nameStart;
                while (nameEnd < group.size() && IsGroupNameCharacter(group[nameEnd]))
                {
                    ++nameEnd;
                }
                if (nameEnd > nameStart)
                {
                    if (!first)
                    {
                        path += "::";
                    }
                    first = false;
                    path.append(group.substr(nameStart, nameEnd - nameStart));
                    position = nameEnd < group.size() && group[nameEnd] == '\\' ? nameEnd + 1 : nameEnd;
                    continue;
                }
            }
        }
        ++position;
    }
    return path;
}

ErrorCode GetPropertyIds(int cameraId, std::vector<unsigned int>& ids)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetPropertyIds";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().GetPropertyIds(cameraId, ids); });
}

ErrorCode GetPropertySpecification(int cameraId, unsigned int propertyId,
                                   PropertySpecification& specification)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetPropertySpecification";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        if (sdk.Factory() == nullptr)
                        {
                            return SetLastErrorInfo(SdkNoFactory, "", kSource);
                        }
                        const ErrorCode read =
                            sdk.Transport().GetProperty(cameraId, propertyId, specification);
                        if (read != Success)
                        {
                            return read;
                        }
                        specification.group = RewritePropertyGroup(specification.group);
                        return Success;
                    });
}

ErrorCode GetPropertyValue(int cameraId, unsigned int propertyId, Q7::Tavrin::PropertyValue& value)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetPropertyValue";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    {
                        if (sdk.Factory() == nullptr)
                        {
                            return SetLastErrorInfo(SdkNoFactory, "", kSource);
                        }
                        const ErrorCode read = sdk.Transport().GetPropertyValue(cameraId, propertyId, value);
                        if (read != Success)
                        {
                            return read;
                        }
                        return SetLastErrorInfo(Success, "", kSource);
                    });
}

ErrorCode SetPropertyValue(int cameraId, unsigned int propertyId, Q7::Tavrin::PropertyValue value)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetPropertyValue";
    return FlatCall(
        kSource, NoSdk::Report,
        [&](Sdk& sdk)
        {
            if (sdk.Factory() == nullptr)
            {
                return SetLastErrorInfo(SdkNoFactory, "No object factory has been initialized", kSource);
            }
            KpxLibTransport& bridge = sdk.Transport();
            if (propertyId == KpxLibTransport::kExpertModeProperty)
            {
                return bridge.SetProperty(cameraId, propertyId, value);
            }
            PropertySpecification specification;
            if (const ErrorCode read = GetPropertySpecification(cameraId, propertyId, specification);
                read != Success)
            {
                return read;
            }
            if (value.type != specification.value.type && value.type != specification.defaultValue.type)
            {
                return SetLastErrorInfo(PropertyWrongType,
                                        "PropertyValue is not the same Type as the Property", kSource);
            }
            if (specification.readOnly)
            {
                return SetLastErrorInfo(PropertyReadOnly, "Property is marked as read-only", kSource);
            }
            if (!specification.enabled)
            {
                return SetLastErrorInfo(PropertyDisabled, "Property is disabled", kSource);
            }
            if (value.type == PropertyType::Float64)
            {
                // The camera takes a double only as one of its listed values: a
                // value within 1e-6 of an entry goes as that entry's exact bytes.
                for (const Q7::Tavrin::PropertyValue& entry : specification.valueList)
                {
                    if (entry.type != PropertyType::Float64)
                    {
                        SdkLog(2,
                               "SetProperty discovered an inconsistency in ValueList for property (%d) %s!",
                               static_cast<int>(propertyId), specification.name.c_str());
                        break;
                    }
                    const double difference = std::fabs(entry.doubleValue - value.doubleValue);
                    SdkLog(5, "SetProperty abs(Diff): %f\n", difference);
                    if (difference < kSnapDistance)
                    {
                        SdkLog(5, "SetProperty adjusting: %f to %f\n", value.doubleValue, entry.doubleValue);
                        value.doubleValue = entry.doubleValue;
                        break;
                    }
                }
            }
            return bridge.SetProperty(cameraId, propertyId, value);
        });
}

} // namespace Q7::TavrinC
