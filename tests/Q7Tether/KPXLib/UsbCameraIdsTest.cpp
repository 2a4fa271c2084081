// The udev rule that gives users access to the cameras must name exactly the
// ids of the cameras' USB filter.

#include "KPXUsbCameraIds.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <utility>

namespace
{

// Catches a camera id added to (or changed in) the filter but not to the udev
// rule, whose users then cannot open that camera without root, and a rule
// that leaves out the group mode (users without a seat: ssh, services).
TEST(UsbCameraIdsTest, UdevRuleGrantsAccessToExactlyTheFilteredIds)
{
    std::set<std::pair<unsigned, unsigned>> filtered;
    for (const auto& id : Q7::KPX::UsbIds::kCameraUsbIds)
    {
        filtered.emplace(id.vendorId, id.productId);
    }

    std::ifstream rules(TAVRIN_UDEV_RULES_PATH);
    ASSERT_TRUE(rules.is_open()) << TAVRIN_UDEV_RULES_PATH;
    const std::regex rule(R"re(^SUBSYSTEM=="usb", ENV\{DEVTYPE\}=="usb_device", )re"
                          R"re(ATTR\{idVendor\}=="([0-9a-f]{4})", ATTR\{idProduct\}=="([0-9a-f]{4})", )re"
                          R"re(MODE="0660", GROUP="plugdev", TAG\+="uaccess"$)re");
    std::set<std::pair<unsigned, unsigned>> granted;
    std::string line;
    while (std::getline(rules, line))
    {
        if (line.empty() || line[0] == '#')
        {
            continue;
        }
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, rule)) << line;
        granted.emplace(std::stoul(match[1], nullptr, 16), std::stoul(match[2], nullptr, 16));
    }
    EXPECT_EQ(granted, filtered);
}

} // namespace
