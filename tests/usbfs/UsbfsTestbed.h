#pragma once
// A umockdev testbed for the USB tests: an emulated sysfs and /dev for this
// process, with the root hub of bus 1, in which EmulatedDevice plugs devices.
// The process must run under umockdev's preload library (umockdev-wrapper, or
// LD_PRELOAD=libumockdev-preload.so.0): only then do libusb and the library
// see the testbed instead of the machine.
//
// Make the testbed before anything of the library touches USB (libusb's
// hotplug monitor binds to the testbed alive when its context starts) and
// destroy it last, once every libusb context of the tests ended.

#include <cstdint>
#include <mutex>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace Usbfs
{

class Testbed
{
public:
    /// Sets up the testbed with the root hub of bus 1. Raises
    /// std::runtime_error when the process does not run under the preload.
    /// Call before the process starts threads of its own (umockdev sets the
    /// environment variable that points the preload at the testbed).
    Testbed();
    ~Testbed();

    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    /// The bus all devices attach to and the sysfs path of its root hub.
    static constexpr std::uint8_t kBusNumber = 1;
    const std::string& RootHubPath() const { return m_rootHub; }

    /// The next device address of the bus (2 to 127, then 2 again), as the
    /// kernel gives one to each new attachment. Thread-safe.
    std::uint8_t NextAddress();

    /// The testbed's root folder (its dev/ holds the device nodes).
    const std::string& RootDir() const { return m_rootDir; }

    /// The testbed, for calls made under Lock().
    UMockdevTestbed* Get() const { return m_testbed; }
    /// Serialises the calls on the testbed made from several threads.
    std::mutex& Lock() { return m_mutex; }

private:
    UMockdevTestbed* m_testbed = nullptr;
    std::string m_rootDir;
    std::string m_rootHub;
    std::mutex m_mutex; // guards the testbed's calls and m_lastAddress
    std::uint8_t m_lastAddress = 1;
};

} // namespace Usbfs
