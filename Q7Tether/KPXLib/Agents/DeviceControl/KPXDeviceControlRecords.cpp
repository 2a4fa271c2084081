#include "Agents/DeviceControl/KPXDeviceControlRecords.h"

namespace Q7::KPX::DeviceControl
{

bool operator==(const PropertyDescriptor& a, const PropertyDescriptor& b)
{
    // The display index and the kind-5 word take no part: a descriptor that
    // differs only in them is no change.
    return a.id == b.id && a.valueType == b.valueType && a.flags == b.flags && a.userLevel == b.userLevel &&
           a.name == b.name && a.secondText == b.secondText && a.group == b.group && a.unit == b.unit &&
           a.description == b.description && a.valueList == b.valueList && a.defaultValue == b.defaultValue &&
           a.minimum == b.minimum && a.maximum == b.maximum && a.attributes == b.attributes;
}

} // namespace Q7::KPX::DeviceControl
