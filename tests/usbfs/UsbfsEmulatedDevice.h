#pragma once
// A USB device emulated in a umockdev testbed, answering the usbfs ioctls that
// libusb sends on its device node, so that the library's real libusb backend
// runs against it unchanged.
//
// What the host sees: sysfs entries (device, interfaces, endpoints, the
// "descriptors" attribute) and uevents as the kernel gives them, and a device
// node whose ioctls behave as usbfs's: capabilities, connection information,
// standard control requests (descriptors, configuration), claim and release,
// alternate settings, clear-halt, and asynchronous bulk URBs (submit, reap,
// discard). An URB stays pending until the device's side moves data for it;
// reaping an URB writes its status, length and (IN) bytes back to the caller.
//
// What the device's firmware sees (FunctionEndpoint, one per bulk endpoint
// pair): as on the virtual bus, each Send is one transfer of the device, cut
// into packets of the maximum packet size, the last one short, a whole number
// of packets followed by a zero-length packet; an IN URB ends on a full buffer,
// a short or a zero-length packet, and a packet larger than the URB's room ends
// it with -EOVERFLOW (the packet is lost). OUT URBs end once the firmware took
// every byte.
//
// Faults a test can cause: end a pending URB (or the next one) with any status
// (-EPROTO, -EPIPE, -EOVERFLOW, -ENODEV...), halt an endpoint (every URB ends
// with -EPIPE until a clear-halt), a slow endpoint (the firmware takes and
// gives data in small steps with pauses), and removal with URBs in flight
// (they end with -ESHUTDOWN, or a status of the test's choice, and can still
// be reaped; every later call answers ENODEV).
//
// Limits of the emulation: the node is a regular file, so libusb's poll always
// finds it ready and its event thread reaps in a loop while a handle is open.
// At a removal, once the URBs in flight ended, each of the process's open
// files on the node is replaced (same number, so the preload still hands its
// ioctls to the handler) by one whose poll reports POLLERR, as usbfs's poll
// does for a disconnected device: libusb then takes its disconnect path (reap
// what is left, end the rest as "no device", stop polling the file). The
// file's link names the testbed, so libusb gets the address from CONNECTINFO
// and bus number 0 for a wrapped handle. umockdev's preload serialises the
// ioctls of one file, so a reap with nothing to give answers EAGAIN at once
// (held, it would stall the submits of other threads). Every URB is one
// transfer: the capabilities offered are those of an xHCI host (no split
// URBs).

#include "Q7PlatformUsbHostBackend.h"
#include "UsbfsTestbed.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace Usbfs
{

struct DeviceCore;

/// How the device appears.
struct DeviceOptions
{
    std::uint8_t port = 1; ///< port of the root hub
    /// Bytes of URBs in flight (submitted, not yet reaped) the host may hold, as
    /// usbfs caps them (16 MiB by default); a submit beyond answers ENOMEM.
    std::uint64_t transferMemoryLimit = 16u * 1024 * 1024;
};

/// How a removal ends the URBs in flight.
struct UnplugOptions
{
    int urbStatus = -108; ///< -ESHUTDOWN, as the host controller ends them
};

/// What the emulation saw, for tests to check the host's use of usbfs.
struct DeviceCounters
{
    std::uint64_t submitted = 0; ///< URBs accepted by SUBMITURB
    std::uint64_t reaped = 0;    ///< URBs handed back by REAPURB(NDELAY)
    std::uint64_t discarded = 0; ///< URBs ended by DISCARDURB
    /// URBs still in flight when their file was closed (the host let go of a
    /// handle with transfers not yet ended).
    std::uint64_t abandoned = 0;
    std::uint64_t inFlight = 0; ///< URBs submitted and not yet reaped or abandoned
    /// ioctl requests the emulation does not know, in order.
    std::vector<unsigned long> unknownRequests;
    /// Bulk URBs on an interface the file had not claimed (usbfs claims it
    /// then, with a kernel warning).
    std::uint64_t unclaimedUse = 0;
};

/// The firmware's side of one bulk endpoint pair (OUT and IN of one number).
/// Thread-safe: one thread may send while another receives. May outlive the
/// device's attachment (every call then fails).
class FunctionEndpoint
{
public:
    /// Made by EmulatedDevice::GetFunctionEndpoint for the current attachment.
    FunctionEndpoint(std::shared_ptr<DeviceCore> core, std::uint8_t number, std::uint64_t generation);
    FunctionEndpoint(const FunctionEndpoint&) = delete;
    FunctionEndpoint& operator=(const FunctionEndpoint&) = delete;

    /// Sends the pieces, joined, as one transfer of the device on the IN
    /// endpoint. Blocks until the host's URBs took every packet; false (the
    /// rest dropped) when the device is removed or Wake was called. On a slow
    /// endpoint each packet waits for the pause first.
    bool Send(std::span<const std::span<const std::uint8_t>> pieces);

    /// Waits for bytes of the host's OUT URBs and takes up to buffer.size()
    /// (at least one); 0 when the device is removed, Wake was called, or the
    /// buffer is empty.
    std::size_t Receive(std::span<std::uint8_t> buffer);

    /// Ends blocked and later Send and Receive calls at once.
    void Wake();

    std::uint8_t Number() const { return m_number; }

private:
    const std::shared_ptr<DeviceCore> m_core;
    const std::uint8_t m_number;
    const std::uint64_t m_generation; // the attachment it belongs to
    bool m_woken = false;             // guarded by the core's lock
};

/// One emulated device in a testbed. Thread-safe.
class EmulatedDevice
{
public:
    /// Nothing is plugged yet. The testbed must outlive the device.
    EmulatedDevice(Testbed& testbed, Q7::Platform::Usb::HostDeviceDescription description,
                   DeviceOptions options = {});
    /// Unplugs. Every file the host opened on the device must be closed.
    ~EmulatedDevice();
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;

    /// Attaches the device with a new address: sysfs entries, the device node
    /// and its usbfs handler, then the "add" uevent (once everything is in
    /// place, as udev announces it). Answers the location. Raises
    /// std::logic_error when plugged, std::runtime_error when the testbed
    /// refuses the entries.
    Q7::Platform::Usb::HostDeviceLocation Plug();

    /// Removes the device: usbfs calls answer ENODEV from now on, the
    /// interfaces go, the device's "remove" uevent goes out, its sysfs entry
    /// and node go, then the URBs in flight end with the options' status (the
    /// host can still reap them), the host's files on the node report POLLERR
    /// and the firmware's calls are woken. Nothing when not plugged. Not while
    /// the host closes a file on the node (its number could be reused).
    void Unplug(const UnplugOptions& options = {});

    bool IsPlugged() const;
    /// The location of the latest Plug.
    Q7::Platform::Usb::HostDeviceLocation Location() const;
    /// The device path of an interface (FormatDevicePath) at the latest Plug.
    std::string DevicePath(std::uint8_t interfaceNumber) const;
    const Q7::Platform::Usb::HostDeviceDescription& Description() const;

    /// The firmware's side of the bulk pair with this number; null when the
    /// description has no bulk OUT and IN endpoint of that number.
    std::shared_ptr<FunctionEndpoint> GetFunctionEndpoint(std::uint8_t number);

    // ---- faults (endpoint addresses carry the direction bit)

    /// Ends the oldest pending URB of the endpoint now with status (and the
    /// bytes it moved so far); false when none is pending.
    bool EndPendingUrb(std::uint8_t endpointAddress, int status);
    /// The next URB of the endpoint ends with status: the oldest pending one
    /// at once, else the next one submitted, as soon as it is submitted.
    void FailNextUrb(std::uint8_t endpointAddress, int status);
    /// Halts the endpoint: its pending and later URBs end with -EPIPE until the
    /// host clears the halt.
    void Halt(std::uint8_t endpointAddress);
    bool IsHalted(std::uint8_t endpointAddress) const;
    /// A slow endpoint pair: each IN packet and each take of OUT bytes (at most
    /// bytesPerStep of them; 0: no limit) waits for the pause first (zero
    /// pause and 0 bytes: full speed again).
    void SetPace(std::uint8_t number, std::chrono::milliseconds pause, std::size_t bytesPerStep);

    // ---- observations

    /// Waits until at least count URBs are pending on the endpoint.
    bool WaitForPendingUrbs(std::uint8_t endpointAddress, std::size_t count,
                            std::chrono::milliseconds timeout) const;
    /// Waits until no URB is in flight (every one reaped or abandoned).
    bool WaitUntilNoUrbInFlight(std::chrono::milliseconds timeout) const;
    DeviceCounters Counters() const;

private:
    const std::shared_ptr<DeviceCore> m_core;
};

} // namespace Usbfs
