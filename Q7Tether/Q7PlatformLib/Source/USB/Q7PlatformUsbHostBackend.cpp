#include "Q7PlatformUsbHostBackend.h"

#include "Q7PlatformUsbHostBackend_Libusb.h"
#include "Q7UniversalError.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <thread>

namespace Q7::Platform::Usb
{

using Q7::Universal::ModuleError;

// ---------------------------------------------------------------- locations and paths

std::string HostDeviceLocation::PortPath() const
{
    std::string text = std::to_string(busNumber);
    for (std::size_t i = 0; i < portNumbers.size(); ++i)
    {
        text += i == 0 ? '-' : '.';
        text += std::to_string(portNumbers[i]);
    }
    return text;
}

std::string FormatDevicePath(const HostDeviceLocation& location, std::uint8_t interfaceNumber)
{
    return location.PortPath() + '@' + std::to_string(location.deviceAddress) + ':' +
           std::to_string(interfaceNumber);
}

namespace
{

// Reads a decimal number in [minimum, maximum] at the start of text, without a
// sign or leading zeros, and moves text past it.
bool TakeNumber(std::string_view& text, unsigned minimum, unsigned maximum, unsigned& value)
{
    if (text.empty() || (text.size() > 1 && text[0] == '0' && text[1] >= '0' && text[1] <= '9'))
    {
        return false;
    }
    const char* const end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || next == text.data() || value < minimum || value > maximum)
    {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(next - text.data()));
    return true;
}

// Takes the separator at the start of text.
bool TakeChar(std::string_view& text, char separator)
{
    if (text.empty() || text[0] != separator)
    {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

} // namespace

std::optional<DevicePathParts> ParseDevicePath(std::string_view path)
{
    DevicePathParts parts;
    unsigned value = 0;
    if (!TakeNumber(path, 1, 255, value) || !TakeChar(path, '-'))
    {
        return std::nullopt;
    }
    parts.location.busNumber = static_cast<std::uint8_t>(value);
    do
    {
        if (parts.location.portNumbers.size() == kMaxPortDepth || !TakeNumber(path, 1, 255, value))
        {
            return std::nullopt;
        }
        parts.location.portNumbers.push_back(static_cast<std::uint8_t>(value));
    } while (TakeChar(path, '.'));
    if (!TakeChar(path, '@') || !TakeNumber(path, 1, 127, value))
    {
        return std::nullopt;
    }
    parts.location.deviceAddress = static_cast<std::uint8_t>(value);
    if (!TakeChar(path, ':') || !TakeNumber(path, 0, 255, value) || !path.empty())
    {
        return std::nullopt;
    }
    parts.interfaceNumber = static_cast<std::uint8_t>(value);
    return parts;
}

const char* HostStatusText(HostStatus status) noexcept
{
    switch (status)
    {
    case HostStatus::kSuccess:
        return "success";
    case HostStatus::kNoDevice:
        return "no device";
    case HostStatus::kAccessDenied:
        return "access denied";
    case HostStatus::kBusy:
        return "busy";
    case HostStatus::kNotFound:
        return "not found";
    case HostStatus::kNoMemory:
        return "out of memory";
    case HostStatus::kIoError:
        return "I/O error";
    case HostStatus::kCancelled:
        return "cancelled";
    case HostStatus::kStall:
        return "stall";
    case HostStatus::kOverflow:
        return "overflow";
    }
    return "unknown status";
}

int HostStatusErrno(HostStatus status) noexcept
{
    switch (status)
    {
    case HostStatus::kSuccess:
        return 0;
    case HostStatus::kNoDevice:
        return ENODEV;
    case HostStatus::kAccessDenied:
        return EACCES;
    case HostStatus::kBusy:
        return EBUSY;
    case HostStatus::kNotFound:
        return ENOENT;
    case HostStatus::kNoMemory:
        return ENOMEM;
    case HostStatus::kIoError:
        return EIO;
    case HostStatus::kCancelled:
        return ECANCELED;
    case HostStatus::kStall:
        return EPIPE;
    case HostStatus::kOverflow:
        return EOVERFLOW;
    }
    return EIO;
}

// ---------------------------------------------------------------- backend

HostDeviceHandle::~HostDeviceHandle() = default;

HostTransferListener::~HostTransferListener() = default;

HostBulkTransfer::~HostBulkTransfer() = default;

HostChangeListener::~HostChangeListener() = default;

struct HostBackend::ListenerEntry
{
    HostChangeListener* listener = nullptr;
    bool removed = false;
    std::vector<std::thread::id> callers; // threads inside the listener's call now
};

HostBackend::HostBackend() = default;

HostBackend::~HostBackend() = default;

void HostBackend::Start()
{
    std::lock_guard<std::mutex> lock(m_startMutex);
    if (m_startCount == 0)
    {
        DoStart();
    }
    ++m_startCount;
}

void HostBackend::Stop() noexcept
{
    std::lock_guard<std::mutex> lock(m_startMutex);
    if (m_startCount == 0)
    {
        return;
    }
    if (--m_startCount == 0)
    {
        DoStop();
    }
}

void HostBackend::ShutDown() noexcept
{
    std::lock_guard<std::mutex> lock(m_startMutex);
    if (m_startCount != 0)
    {
        m_startCount = 0;
        DoStop();
    }
}

std::uint32_t HostBackend::GetStartCount() const
{
    std::lock_guard<std::mutex> lock(m_startMutex);
    return m_startCount;
}

void HostBackend::RequireStarted() const
{
    if (GetStartCount() == 0)
    {
        throw ModuleError(Q7::Universal::kError_InvalidState, L"USB host backend not started.");
    }
}

void HostBackend::AddListener(HostChangeListener& listener)
{
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    for (const auto& entry : m_listeners)
    {
        if (entry->listener == &listener)
        {
            return;
        }
    }
    auto entry = std::make_shared<ListenerEntry>();
    entry->listener = &listener;
    m_listeners.push_back(std::move(entry));
}

void HostBackend::RemoveListener(HostChangeListener& listener)
{
    std::unique_lock<std::mutex> lock(m_listenerMutex);
    const auto found = std::find_if(m_listeners.begin(), m_listeners.end(),
                                    [&](const auto& entry) { return entry->listener == &listener; });
    if (found == m_listeners.end())
    {
        return;
    }
    const std::shared_ptr<ListenerEntry> entry = *found;
    entry->removed = true;
    m_listeners.erase(found);
    const std::thread::id self = std::this_thread::get_id();
    m_listenerIdle.wait(lock,
                        [&]
                        {
                            return std::all_of(entry->callers.begin(), entry->callers.end(),
                                               [&](std::thread::id caller) { return caller == self; });
                        });
}

void HostBackend::Report(const HostChange& change) noexcept
{
    std::vector<std::shared_ptr<ListenerEntry>> listeners;
    {
        std::lock_guard<std::mutex> lock(m_listenerMutex);
        listeners = m_listeners;
    }
    const std::thread::id self = std::this_thread::get_id();
    for (const auto& entry : listeners)
    {
        {
            std::lock_guard<std::mutex> lock(m_listenerMutex);
            if (entry->removed)
            {
                continue;
            }
            entry->callers.push_back(self);
        }
        entry->listener->OnHostChange(change);
        {
            std::lock_guard<std::mutex> lock(m_listenerMutex);
            entry->callers.erase(std::find(entry->callers.begin(), entry->callers.end(), self));
        }
        m_listenerIdle.notify_all();
    }
}

ScopedHostBackendStart::ScopedHostBackendStart(HostBackend& backend) : m_backend(backend)
{
    m_backend.Start();
}

ScopedHostBackendStart::~ScopedHostBackendStart()
{
    m_backend.Stop();
}

// ---------------------------------------------------------------- the process's choice

namespace
{

struct BackendChoice
{
    std::mutex mutex;               // guards backend
    HostBackend* backend = nullptr; // owned; lives until the process ends
};

// Never destroyed: monitors and devices of other static objects may use the
// backend until the process ends.
BackendChoice& TheChoice()
{
    static BackendChoice* const choice = new BackendChoice;
    return *choice;
}

} // namespace

void InstallHostBackend(std::unique_ptr<HostBackend> backend)
{
    if (!backend)
    {
        Q7::Universal::ThrowModuleError(
            ModuleError(Q7::Universal::kError_InvalidParameter, L"No USB host backend given."));
    }
    BackendChoice& choice = TheChoice();
    std::lock_guard<std::mutex> lock(choice.mutex);
    if (choice.backend != nullptr)
    {
        Q7::Universal::ThrowModuleError(
            ModuleError(Q7::Universal::kError_AlreadyInitialized, L"USB host backend already chosen."));
    }
    choice.backend = backend.release();
}

HostBackend& GetHostBackend()
{
    BackendChoice& choice = TheChoice();
    std::lock_guard<std::mutex> lock(choice.mutex);
    if (choice.backend == nullptr)
    {
        choice.backend = new HostBackend_Libusb();
    }
    return *choice.backend;
}

} // namespace Q7::Platform::Usb
