#include "UsbfsTestbed.h"

#include <umockdev.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace Usbfs
{

namespace
{

// A file only the testbed's sysfs has: seen under /sys only through the preload.
constexpr const char* kProbeName = "tavrin-usbfs-testbed";

// The root hub of a USB 2 bus.
constexpr const char* kRootHubRecord =
    "P: /devices/pci0000:00/0000:00:14.0/usb1\n"
    "E: SUBSYSTEM=usb\n"
    "E: DEVTYPE=usb_device\n"
    "E: DRIVER=usb\n"
    "E: DEVNAME=/dev/bus/usb/001/001\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=001\n"
    "E: PRODUCT=1d6b/2/606\n"
    "E: TYPE=9/0/1\n"
    "A: busnum=1\\n\n"
    "A: devnum=1\\n\n"
    "A: devpath=0\\n\n"
    "A: idVendor=1d6b\\n\n"
    "A: idProduct=0002\\n\n"
    "A: bcdDevice=0606\\n\n"
    "A: bDeviceClass=09\\n\n"
    "A: speed=480\\n\n"
    "A: maxchild=16\\n\n"
    "A: manufacturer=Linux 6.6.0 xhci-hcd\\n\n"
    "A: product=xHCI Host Controller\\n\n"
    "A: serial=0000:00:14.0\\n\n"
    "H: descriptors=12010002090001406B1D020006060302010109021900010100E0000904000001090000000705810304000C\n";

} // namespace

Testbed::Testbed() : m_testbed(umockdev_testbed_new())
{
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    m_rootDir = root;
    g_free(root);
    gchar* sys = umockdev_testbed_get_sys_dir(m_testbed);
    const std::string sysDir = sys;
    g_free(sys);
    std::ofstream(sysDir + "/" + kProbeName) << "1\n";
    if (::access((std::string("/sys/") + kProbeName).c_str(), F_OK) != 0)
    {
        g_object_unref(m_testbed);
        throw std::runtime_error("the USB tests must run under umockdev's preload "
                                 "(umockdev-wrapper, or LD_PRELOAD=libumockdev-preload.so.0)");
    }
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, kRootHubRecord, &error))
    {
        const std::string text = error->message;
        g_error_free(error);
        g_object_unref(m_testbed);
        throw std::runtime_error("the root hub cannot be added to the testbed: " + text);
    }
    m_rootHub = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
}

Testbed::~Testbed()
{
    g_object_unref(m_testbed);
}

std::uint8_t Testbed::NextAddress()
{
    std::lock_guard lock(m_mutex);
    m_lastAddress = m_lastAddress >= 127 ? 2 : static_cast<std::uint8_t>(m_lastAddress + 1);
    return m_lastAddress;
}

} // namespace Usbfs
