#include "TextStream.h"

#include <TavrinCpp/Descriptions.h>

#include <algorithm>
#include <iomanip>
#include <ostream>

namespace Q7::Tavrin
{

const CameraInfo CameraInfo::Invalid{};

std::string PropertyRange::ToString() const
{
    if (!valid)
    {
        return "-";
    }
    return "(" + min.StringValue() + ", " + max.StringValue() + ")";
}

std::string PropertySpecification::ToString() const
{
    const auto truth = [](bool flag) { return flag ? "True" : "False"; };
    Detail::TextStream text;
    text << "PropertySpecification:";
    text << "\n  ID:               " << id;
    text << "\n  Name/String:      " << name;
    text << "\n  Value:            " << value.StringValue();
    text << "\n  Type:             " << value.TypeString();
    text << "\n  Group:            " << group;
    text << "\n  Read Only:        " << truth(readOnly);
    text << "\n  Description:      " << description;
    text << "\n  Enabled:          " << truth(enabled);
    text << "\n  User Level:       " << userLevel;
    text << "\n  Select Only:      " << truth(selectOnly);
    text << "\n  DisplayAsHex:     " << truth(displayAsHex);
    text << "\n  Refresh Required: " << truth(refreshRequired);
    text << "\n  Unit:             " << unit;
    text << "\n  Display Index:    " << displayIndex;
    text << "\n  Default:          " << defaultValue.ToString();
    text << "\n  Range:            " << range.ToString();
    text << "\n  ValueList:        " << valueList.size() << " entr" << (valueList.size() == 1 ? "y" : "ies");
    if (!valueList.empty())
    {
        std::size_t column = 25;
        for (const PropertyValue& entry : valueList)
        {
            column = std::max(column, entry.ToString().size());
        }
        text << " {\n" << std::left;
        for (const PropertyValue& entry : valueList)
        {
            text << "\t* " << std::setw(static_cast<int>(column)) << entry.ToString() << " ( "
                 << entry.IntegerAsI64() << " )\n";
        }
        text << std::right << " }";
    }
    return text.str();
}

std::ostream& operator<<(std::ostream& out, const PropertyRange& range)
{
    return out << range.ToString();
}

std::ostream& operator<<(std::ostream& out, const PropertySpecification& specification)
{
    return out << specification.ToString();
}

std::ostream& operator<<(std::ostream& out, const CameraListElement& camera)
{
    if (camera.open)
    {
        out << "[OPEN] ";
    }
    out << camera.name << " (" << camera.serialNumber << ")";
    if (camera.connection == TetherConnection::Tcp)
    {
        out << ", " << camera.address;
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const Version& version)
{
    return out << version.major << "." << version.minor << "." << version.patch;
}

} // namespace Q7::Tavrin
